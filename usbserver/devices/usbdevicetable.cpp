#include "usbserver/devices/usbdevicetable.h"

#include <cstdio>
#include <pthread.h>

UsbDeviceRow usbDeviceTable[USB_TABLE_ROWS];
int32_t USB_MAXDEVS = 5;
int32_t usbHubLevelThreshold = 1;

namespace {
pthread_mutex_t usbTableMutex = PTHREAD_MUTEX_INITIALIZER;
}

void setUsbTableLimits(uint32_t usbtableProductId) {
  switch (usbtableProductId) {
    case 346:
    case 357:
      USB_MAXDEVS = 6;
      usbHubLevelThreshold = 2;
      break;
    case 347:
    case 366:
    case 367:
      USB_MAXDEVS = 12;
      usbHubLevelThreshold = 0;
      break;
    case 353:
      USB_MAXDEVS = 40;
      usbHubLevelThreshold = 2;
      break;
    case 356:
      USB_MAXDEVS = 16;
      usbHubLevelThreshold = 2;
      break;
    case 365:
      USB_MAXDEVS = 10;
      usbHubLevelThreshold = 0;
      break;
    default:
      USB_MAXDEVS = 5;
      break;
  }
}

int usbRowIndexOf(const UsbDeviceRow* row) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(row);
  const uintptr_t first = reinterpret_cast<uintptr_t>(&usbDeviceTable[0]);
  if (p < first) return -1;
  const uintptr_t offset = p - first;
  if (offset % sizeof(UsbDeviceRow) != 0 || offset / sizeof(UsbDeviceRow) >= USB_TABLE_ROWS) return -1;
  return static_cast<int>(offset / sizeof(UsbDeviceRow));
}

int lockUsbDeviceTable(int lock) {
  const int rc = lock ? pthread_mutex_lock(&usbTableMutex) : pthread_mutex_unlock(&usbTableMutex);
  return rc == 0 ? 1 : 0;
}

int isUsbRowIndexValid(int row) { return row >= 0 && row < USB_MAXDEVS ? 1 : 0; }

int isUsbDevicePresentOnPort(int row, int port) {
  if (!isUsbRowIndexValid(row)) return 0;
  const UsbDeviceRow& r = usbDeviceTable[row];
  // The state first: the port is written before a row becomes present.
  return r.isPresent() && r.port == port ? 1 : 0;
}

int muxIn(int row) {
  if (row < 0 || row >= USB_TABLE_ROWS) return 0;
  const int rc = pthread_mutex_lock(&usbDeviceTable[row].mutex);
  if (rc != 0) {
    std::fprintf(stderr, "%s error:0x%x", "muxIn", rc);
    return 0;
  }
  return 1;
}

void unlockUsbDeviceRow(int row) {
  if (row < 0 || row >= USB_TABLE_ROWS) return;
  pthread_mutex_unlock(&usbDeviceTable[row].mutex);
}

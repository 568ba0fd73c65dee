#include "usbserver/discovery/usbscan.h"

#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/onoffparam.h"
#include "platform/usb/usbhost.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbhooks.h"
#include "usbserver/discovery/usbsysfs.h"
#include "usbserver/discovery/usbvendornames.h"

namespace {

pthread_mutex_t usbRescanMutex = PTHREAD_MUTEX_INITIALIZER;

constexpr int kClassHub = 9;
constexpr int kClassHid = 3;
constexpr int64_t kRescanRetryCs = 20;

const char* baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

bool hidSwitchedOff() {
  OnOffParam* hid = paramStore.findOnOff("zov_hid");
  return hid && hid->value() == 0;
}

// An interface directory "<device>:<c>.<i>" of exactly this device with
// interface class HID.
bool hasHidInterface(const char* device, const std::vector<std::string>& paths) {
  const size_t length = std::strlen(device);
  for (const std::string& path : paths) {
    const char* name = baseName(path);
    const char* colon = std::strchr(name, ':');
    if (!colon || static_cast<size_t>(colon - name) != length) continue;
    if (std::strncmp(name, device, length) != 0) continue;
    if (readSysfsInterfaceClass(path) == kClassHid) return true;
  }
  return false;
}

void setStateLocked(UsbDeviceRow& row, UsbRowState state) {
  lockUsbDeviceTable(1);
  if (state == UsbRowState::REMOVED) row.removalTick = static_cast<uint32_t>(uptimeCs());
  row.rescanMark = 0;
  row.setRowState(state);
  lockUsbDeviceTable(0);
}

}  // namespace

int addUsbDevice(UsbDeviceRow& candidate) {
  int freeRow = -1;
  for (int i = 0; i < USB_MAXDEVS; ++i) {
    UsbDeviceRow& row = usbDeviceTable[i];
    if (row.rowState() == UsbRowState::FREE) {
      if (freeRow < 0) freeRow = i;
      continue;
    }
    if (row.isSameDevice(candidate)) return 0;
  }
  if (freeRow < 0) return -1;

  // The row stays FREE, and so unseen by readers, until it is complete.
  UsbDeviceRow& row = usbDeviceTable[freeRow];
  lockUsbDeviceTable(1);
  row.copyIdentityFrom(candidate);
  row.rescanMark = 0;
  row.transfers.clear();
  lockUsbDeviceTable(0);

  if (!row.probe()) {
    row.recycle();
    return -1;
  }
  if (!row.manufacturer[0] || !row.product[0])
    lookupUsbIdNames(row.idVendor, row.idProduct, row.manufacturer, row.product, USB_NAME_SIZE);
  row.applyStartConfigQuirk();
  setStateLocked(row, UsbRowState::PRESENT);
  publishUsbDeviceAdded(freeRow);
  return 1;
}

int scanSysfsUsbDevices() {
  UsbDeviceRow candidate;
  const bool hidOff = hidSwitchedOff();
  std::vector<std::string> paths;
  if (usbHost().listSysfsDevices(paths) < 0) paths.clear();

  int added = 0;
  for (const std::string& path : paths) {
    const char* name = baseName(path);
    if (std::strchr(name, ':')) continue;  // an interface directory
    candidate.recycle();
    readSysfsDeviceClass(path, candidate);
    if (candidate.deviceClass == kClassHub && candidate.deviceSubClass == 0) continue;
    if (hidOff && (candidate.deviceClass == kClassHid || hasHidInterface(name, paths))) continue;
    if (!readSysfsUsbDevice(path, candidate)) continue;
    candidate.makeDeviceNode();
    candidate.setRowState(UsbRowState::PRESENT);
    if (addUsbDevice(candidate) == 1) ++added;
  }
  return added;
}

int rescanUsbDevices() {
  if (pthread_mutex_trylock(&usbRescanMutex) != 0) {
    // Another thread is scanning: wait for it, then leave, since its scan
    // has just done this caller's work.
    Task* task = currentTask();
    if (task) {
      do task->wait(kRescanRetryCs);
      while (pthread_mutex_trylock(&usbRescanMutex) != 0);
    } else {
      pthread_mutex_lock(&usbRescanMutex);
    }
    pthread_mutex_unlock(&usbRescanMutex);
    return 0;
  }

  const uint32_t now = static_cast<uint32_t>(uptimeCs());
  for (int i = 0; i < USB_MAXDEVS; ++i) {
    UsbDeviceRow& row = usbDeviceTable[i];
    if (row.rowState() == UsbRowState::REMOVED &&
        now - row.removalTick >= static_cast<uint32_t>(USB_REMOVED_QUARANTINE_CS))
      row.recycle();
  }
  for (int i = 0; i < USB_MAXDEVS; ++i) usbDeviceTable[i].rescanMark = usbDeviceTable[i].isPresent() ? 1 : 0;

  const int added = scanSysfsUsbDevices();

  for (int i = 0; i < USB_MAXDEVS; ++i) {
    UsbDeviceRow& row = usbDeviceTable[i];
    if (!row.rescanMark || !row.isPresent()) continue;
    publishUsbDeviceRemoved(i);
    row.revokeFromOwner();
    setStateLocked(row, UsbRowState::REMOVED);
  }
  pthread_mutex_unlock(&usbRescanMutex);
  return added;
}

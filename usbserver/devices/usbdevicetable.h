// The table of plugged USB devices, its size per model and its locks.
//
// Lock order: usbRescanMutex, then a row mutex, then usbTableMutex. The
// table mutex is innermost: it is held only for short copies and state
// changes, never across device I/O, and nothing else is locked under it
// (a reader holding it must not take a row mutex).
#ifndef USBSERVER_DEVICES_USBDEVICETABLE_H
#define USBSERVER_DEVICES_USBDEVICETABLE_H

#include <cstdint>

#include "usbserver/devices/usbdevicerow.h"

constexpr int USB_TABLE_ROWS = 40;

extern UsbDeviceRow usbDeviceTable[USB_TABLE_ROWS];
// Rows in use on this model (5 .. 40) and the hub level above which a
// renumbered device keeps its row. Set once at the service's start.
extern int32_t USB_MAXDEVS;
extern int32_t usbHubLevelThreshold;

// Sets USB_MAXDEVS and usbHubLevelThreshold for the identity's
// usbtable_product_id; an unknown id gives 5 rows and leaves the threshold.
void setUsbTableLimits(uint32_t usbtableProductId);

// The index of a row of usbDeviceTable, -1 for any other row.
int usbRowIndexOf(const UsbDeviceRow* row);

// 1 locks, 0 unlocks usbTableMutex (readers of rows outside the USB tasks).
// Returns 1, or 0 when the mutex call failed.
int lockUsbDeviceTable(int lock);
// 0 <= row < USB_MAXDEVS.
int isUsbRowIndexValid(int row);
// A valid row on that port in state PRESENT or IN_USE.
int isUsbDevicePresentOnPort(int row, int port);
// The row mutex: a failure is reported on standard error and the caller
// goes on without the lock. muxIn returns 1 when locked.
int muxIn(int row);
void unlockUsbDeviceRow(int row);

// Holds a row mutex for a scope.
class RowMutex {
 public:
  explicit RowMutex(int row) : row_(row), locked_(muxIn(row) == 1) {}
  ~RowMutex() {
    if (locked_) unlockUsbDeviceRow(row_);
  }
  RowMutex(const RowMutex&) = delete;
  RowMutex& operator=(const RowMutex&) = delete;

 private:
  int row_;
  bool locked_;
};

#endif

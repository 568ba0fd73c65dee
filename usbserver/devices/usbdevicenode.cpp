// The row's usbfs device node and its handle.
#include <cerrno>

#include "platform/usb/usbhost.h"
#include "runtime/task/uptime.h"
#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/devices/usbhooks.h"
#include "usbserver/transfers/urbbuffers.h"

int UsbDeviceRow::makeDeviceNode() {
  return usbHost().makeDeviceNode(busnum, devnum, deviceMajor, deviceMinor) == 1 ? 1 : 0;
}

int UsbDeviceRow::removeDeviceNode() {
  return usbHost().removeDeviceNode(busnum, devnum) == 1 ? 1 : 0;
}

int UsbDeviceRow::openDevice(int flags, int32_t* out) {
  if (!out && usbfsHandle >= 0) return 0;
  const int handle = usbHost().openDevice(busnum, devnum, flags);
  if (handle >= 0) {
    if (out) *out = handle;
    else usbfsHandle = handle;
    return 1;
  }
  const int index = usbRowIndexOf(this);
  // A device in use leaves its owner the normal way first (DEVICE_GONE, its
  // handle closed on its own task, the release published), so no removed
  // row keeps an owner.
  if (index >= 0 && rowState() == UsbRowState::IN_USE) revokeRowFromOwner(index);
  if (index >= 0 && isPresent()) {
    publishUsbDeviceRemoved(index);
    lockUsbDeviceTable(1);
    removalTick = static_cast<uint32_t>(uptimeCs());
    setRowState(UsbRowState::REMOVED);
    lockUsbDeviceTable(0);
  }
  errno = -handle;
  return 0;
}

int UsbDeviceRow::closeDevice() {
  const int32_t handle = usbfsHandle;
  if (handle < 0) return 0;
  usbfsHandle = -1;
  dropUrbBuffers(handle);
  usbHost().closeDevice(handle);
  return 1;
}

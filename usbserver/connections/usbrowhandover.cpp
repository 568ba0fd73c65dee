#include "usbserver/connections/usbrowhandover.h"

#include <time.h>

#include <memory>

#include "platform/usb/usbhost.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbengine.h"

namespace {

// Wakes the owner's task; its loop serves the handover.
void wakeOwner(int32_t taskId, int row) {
  TaskMessage msg{0, MSG_USB_HANDOVER, row, 0};
  postToTaskId(taskId, msg);
}

void waitUntilDone(const UsbHandover& handover) {
  const int64_t deadline = uptimeCs() + USB_HANDOVER_WAIT_CS;
  Task* self = currentTask();
  while (!handover.done.load() && uptimeCs() < deadline) {
    if (self) {
      self->wait(1);
    } else {
      const timespec pause{0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
}

}  // namespace

int revokeRowFromOwner(int row) {
  if (!isUsbRowIndexValid(row)) return 0;
  UsbDeviceRow& r = usbDeviceTable[row];
  muxIn(row);
  UsbConnection* owner = r.owner;
  if (r.rowState() != UsbRowState::IN_USE || !owner) {
    unlockUsbDeviceRow(row);
    return 0;
  }
  auto handover = std::make_shared<UsbHandover>();
  handover->kind = UsbHandoverKind::Revoked;
  handover->row = row;
  handover->port = r.port;
  handover->handle = r.usbfsHandle;
  handover->source = r.eventSource;
  // The device is free at once, even while the owner's task is stuck (a
  // client that stops reading): its claims go and nothing it submitted
  // reaches the device after the new owner's. The owner's task closes the
  // number when it serves the handover.
  if (r.usbfsHandle >= 0) {
    dropUrbBuffers(r.usbfsHandle);
    usbHost().revokeHandle(r.usbfsHandle);
  }
  // The requests are not completed to anyone: their device is gone.
  for (UrbLink* l = r.transfers.first(); l; l = r.transfers.after(l)) urbRequestOf(l)->flags |= URB_ABORT;
  moveUrbList(r.transfers, handover->transfers);
  r.usbfsHandle = -1;
  r.eventSource = nullptr;
  // The configuration was the old handle's: the next owner sets its own.
  r.currentConfigIndex = -1;
  publishUsbDeviceReleased(row);
  r.owner = nullptr;
  r.setRowState(UsbRowState::PRESENT);
  Task* ownerTask = owner->ownerTask;
  const int32_t ownerId = ownerTask ? ownerTask->id : -1;
  owner->queueHandover(handover);
  unlockUsbDeviceRow(row);

  wakeOwner(ownerId, row);
  if (ownerTask != currentTask()) waitUntilDone(*handover);
  return 1;
}

int disableUsbPort(int port) {
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    UsbDeviceRow& r = usbDeviceTable[row];
    if (r.rowState() == UsbRowState::FREE || r.port != port) continue;
    muxIn(row);
    int32_t ownerId = -1;
    if (r.rowState() != UsbRowState::FREE && r.port == port) {
      publishUsbDeviceReleased(row);
      r.resetPending = 1;
      if (UsbConnection* owner = r.owner) {
        auto handover = std::make_shared<UsbHandover>();
        handover->kind = UsbHandoverKind::PortDisabled;
        handover->row = row;
        handover->port = port;
        owner->queueHandover(handover);
        ownerId = owner->ownerTask ? owner->ownerTask->id : -1;
      }
    }
    unlockUsbDeviceRow(row);
    if (ownerId >= 0) wakeOwner(ownerId, row);
  }
  return 1;
}

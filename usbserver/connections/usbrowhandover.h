// Acting on a row that another connection's task owns.
//
// The caller changes the row under its mutex (owner, state, flags) and
// hands what only the owner's task may touch (the usbfs handle, the event
// source in its epoll set, the transfer requests, writes to its client) to
// that task in a UsbHandover, then wakes it with MSG_USB_HANDOVER. Where the
// order matters (a device taken over is gone from the old owner before the
// new one gets it) the caller waits, bounded, until the owner has finished.
#ifndef USBSERVER_CONNECTIONS_USBROWHANDOVER_H
#define USBSERVER_CONNECTIONS_USBROWHANDOVER_H

#include <atomic>
#include <cstdint>

#include "usbserver/transfers/urblist.h"

class UsbEventSource;

enum class UsbHandoverKind {
  Revoked,       // DEVICE_GONE; close the handle, destroy the source, free the transfers
  PortDisabled,  // PORT_DISABLED only
};

struct UsbHandover {
  UsbHandoverKind kind = UsbHandoverKind::Revoked;
  int32_t row = -1;
  int32_t port = 0;
  int32_t handle = -1;
  UsbEventSource* source = nullptr;
  UrbList transfers;
  std::atomic<bool> done{false};
};

// How long a caller waits for the owner's task to finish a handover (1/100 s).
constexpr int64_t USB_HANDOVER_WAIT_CS = 300;

// Takes an IN_USE row from its owner: the row is PRESENT without owner on
// return, the owner gets DEVICE_GONE [row, port], its handle is closed and
// its transfers freed without completion. From another thread the call
// waits (at most USB_HANDOVER_WAIT_CS, serving the caller's messages) until
// the owner's task has done so. 1 when the row was in use, else 0.
int revokeRowFromOwner(int row);

// The web start page's port disable: each row not FREE on port is
// announced released and flagged for reset; its owner gets PORT_DISABLED
// [row, port] and resets and closes the device within a second. 1.
int disableUsbPort(int port);

#endif

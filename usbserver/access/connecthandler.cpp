#include "usbserver/access/connecthandler.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/usb/usbhost.h"
#include "runtime/task/task.h"
#include "usbserver/access/accesscontrol.h"
#include "usbserver/access/accesskey.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/transfers/urbengine.h"

namespace {

// The pre-reset gives the device this long to come back (1/100 s).
constexpr int64_t kPreResetPauseCs = 100;

int32_t errnoOr(int32_t fallback) { return errno > 0 ? errno : fallback; }

// Sleeps serving the task's messages (a handover to this connection may
// arrive meanwhile).
void pause(int64_t cs) {
  if (Task* task = currentTask()) task->wait(cs);
  else usleep(static_cast<useconds_t>(cs * 10000));
}

// Empties the row's transfer list; its handle is closed.
void emptyTransferList(int row) {
  const int locked = muxIn(row);
  freeUrbList(usbDeviceTable[row].transfers);
  if (locked) unlockUsbDeviceRow(row);
}

// Opens the row's device read-write into its handle, and with pre-reset
// resets it first: 0; the errno of the open that failed; or -1 when
// another request opened the row's handle meanwhile (left alone). The row
// mutex is not held across the opens (a failed open takes the table mutex).
int32_t openForClient(int row, bool preReset) {
  UsbDeviceRow& r = usbDeviceTable[row];
  int32_t handle = -1;
  if (!r.openDevice(O_RDWR, &handle)) return errnoOr(ENODEV);
  if (preReset) {
    usbHost().reset(handle);
    usbHost().closeDevice(handle);
    pause(kPreResetPauseCs);
    rescanUsbDevices();
    if (!r.openDevice(O_RDWR, &handle)) return errnoOr(ENODEV);
  }
  const int locked = muxIn(row);
  const bool taken = r.usbfsHandle >= 0;
  if (!taken) r.usbfsHandle = handle;
  if (locked) unlockUsbDeviceRow(row);
  if (taken) usbHost().closeDevice(handle);
  return taken ? -1 : 0;
}

}  // namespace

int32_t usbConnectRefusal(const UsbConnection& connection, int row, int port) {
  if (!isUsbPortAccessAllowed(row, port)) return USB_REFUSED_NOT_ALLOWED;
  if (isPortKeyed(port)) {
    UsbKeyAnswers answers;
    if (!keptUsbKeyAnswers(currentTaskId(), &answers) || !checkKeptAccessKeyAnswers(port, answers))
      return USB_REFUSED_NOT_ALLOWED;
  }
  if (!isPortVisibleOnConnectionVlan(port, &connection)) return USB_REFUSED_NOT_ALLOWED;
  if (isUsbPortUnavailable(port)) return USB_REFUSED_NOT_ALLOWED;
  if (isPortSecureOnly(port) && !isConnectionSecure(connection)) return USB_REFUSED_TLS;
  return 0;
}

int connectUsbDevice(UsbConnection& connection, const UsbRequestHeader& header) {
  uint8_t body[2 + USB_CLIENT_NAME_SIZE];
  if (connection.readFully(body, sizeof body, USB_IO_TIMEOUT_MS) != static_cast<int>(sizeof body))
    return connection.sendStatus(header, USB_STATUS_FAILED, USB_ERR_NODEV) < 0 ? -1 : 0;
  const int row = body[0];
  const int port = body[1];
  char name[USB_CLIENT_NAME_SIZE + 1] = {};
  std::memcpy(name, body + 2, USB_CLIENT_NAME_SIZE);
  // The name is shown on pages and kept in the parameter file, where a line
  // break would start a new entry: control bytes become '?'.
  for (char* p = name; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) *p = '?';

  if (!isUsbDevicePresentOnPort(row, port))
    return connection.sendStatus(header, USB_STATUS_FAILED, USB_ERR_NODEV) < 0 ? -1 : 0;

  // Every check comes before the row is touched: a refused client leaves
  // the device and its owner alone.
  const int32_t refusal = usbConnectRefusal(connection, row, port);
  if (refusal) return connection.sendStatus(header, USB_STATUS_REFUSED, refusal) < 0 ? -1 : 0;

  UsbDeviceRow& r = usbDeviceTable[row];
  int locked = muxIn(row);
  const bool inUse = r.rowState() == UsbRowState::IN_USE;
  const bool alreadyMine = inUse && r.owner == &connection;
  if (locked) unlockUsbDeviceRow(row);
  if (inUse) {
    if (alreadyMine) {
      abortAllUrbs(row);
      if (sendAbortedCompletions(connection, row) < 0) return -1;
      connection.closeRowHandle(row);
    } else {
      // The old owner is sent DEVICE_GONE before this client's reply.
      revokeRowFromOwner(row);
    }
  }

  // The handle of a row this client does not own (a probe in progress)
  // is not this request's to close.
  locked = muxIn(row);
  const bool handleOpen = r.usbfsHandle >= 0;
  if (locked) unlockUsbDeviceRow(row);
  if (handleOpen) return connection.sendStatus(header, USB_STATUS_FAILED, USB_ERR_PROTO) < 0 ? -1 : 0;
  emptyTransferList(row);

  const int32_t failure = openForClient(row, isPortPreResetEnabled(port) && !alreadyMine);
  if (failure < 0) return connection.sendStatus(header, USB_STATUS_FAILED, USB_ERR_PROTO) < 0 ? -1 : 0;
  // A failed open installed no handle: the row's handle, if any, is another
  // request's (opened during the pre-reset pause) and stays open.
  if (failure) return connection.sendStatus(header, USB_STATUS_FAILED, failure) < 0 ? -1 : 0;
  if (!connection.watchRowHandle(row)) {
    connection.closeRowHandle(row);
    return connection.sendStatus(header, USB_STATUS_FAILED, USB_ERR_NOMEM) < 0 ? -1 : 0;
  }

  // The row is this client's before its OK goes out: a client told OK may
  // be followed at once by another client's CONNECT, which must see the
  // device in use (a takeover), not a handle it cannot tell from a probe.
  uint8_t peer[4];
  uint32_t ownerWord = 0;
  if (getConnectionPeerIpv4(connection, peer)) std::memcpy(&ownerWord, peer, sizeof ownerWord);
  noteUsbRowOwnerAddress(row, ownerWord);
  locked = muxIn(row);
  r.owner = &connection;
  r.setRowState(UsbRowState::IN_USE);
  // Published under the row mutex, so a takeover's release follows it.
  if (!alreadyMine) publishUsbDeviceConnected(row, name);
  if (locked) unlockUsbDeviceRow(row);

  // A failed reply ends the connection; its end gives the row back.
  return connection.sendStatus(header, USB_STATUS_OK, 0) < 0 ? -1 : 0;
}

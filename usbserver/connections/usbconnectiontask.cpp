// The connection task "UsbSrvdPrcs": its loop, the reset check and the
// release of a connection's devices at its end.
#include <cstdint>

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "platform/usb/usbhost.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlshandshake.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbengine.h"

namespace {

constexpr int kWaitMs = 1000;
constexpr int64_t kResetCheckCs = 100;
constexpr int kPowerCycleCs = 100;

int32_t intParam(const char* key, int32_t fallback) {
  IntParam* p = paramStore.findInt(key);
  return p ? p->value() : fallback;
}

bool powerSwitchModel() { return (static_cast<uint32_t>(intParam("sw_features", 0)) & FEATURE_POSWITCH) != 0; }

}  // namespace

UsbSrvdPrcs::UsbSrvdPrcs(TlsConnection* socket, bool handshake)
    : Task("UsbSrvdPrcs"), socket_(socket), handshake_(handshake) {
  // Counted from the accept until its socket is closed (uncount).
  usbConnectionCount.fetch_add(1);
  counted_ = true;
  source_ = new (std::nothrow) UsbConnection(socket, this);
  if (source_ && !source_->attachTo(this)) {
    delete source_;
    source_ = nullptr;
  }
  if (source_) source_->tlsNoted = 1;
}

UsbSrvdPrcs::~UsbSrvdPrcs() {
  // onEnd has run unless the task never started.
  if (source_) source_->serveHandovers(0);
  delete source_;
  if (socket_) {
    socket_->close();
    delete socket_;
  }
  uncount();
}

void UsbSrvdPrcs::uncount() {
  if (counted_) usbConnectionCount.fetch_sub(1);
  counted_ = false;
}

void UsbSrvdPrcs::onEnd() {
  // However the task ends (its loop, MSG_QUIT inside a wait), its devices
  // go back before the object does: no row may point at a gone connection.
  if (source_) {
    releaseConnectionDevices(*source_);
    source_->serveHandovers(0);
    // What is left of its row sources (a request cut short, a row
    // recycled under the connection) goes with the connection.
    source_->releaseRowSources();
  }
  endUsbEventSourcesOfThread();
  if (active_) usbActiveConnectionTasks.fetch_sub(1);
  active_ = false;
  // Uncounted just before the close: a client that sees its connection end
  // and reconnects at once finds its place free.
  uncount();
  if (socket_) socket_->close();
}

int UsbSrvdPrcs::onMessage(const TaskMessage& msg) {
  // The handover itself is served by the loop, between requests.
  if (msg.flags & MSG_USB_HANDOVER) return msg.flags & ~MSG_USB_HANDOVER;
  // A parameter change must not end a wait for the client's bytes: the
  // request would be cut short and the connection lost. The listener
  // re-reads the parameters; the connection reads them where it uses them.
  if (msg.flags & MSG_PARAMS_CHANGED) return msg.flags & ~MSG_PARAMS_CHANGED;
  return Task::onMessage(msg);
}

void UsbSrvdPrcs::run() {
  const int64_t limit = static_cast<int64_t>(intParam("zov_heartbeat", 180)) * 100;
  if (!source_) return;
  if (handshake_) {
    // Bounded by the handshake's own time-out; a failure ends the task.
    socket_->session = tlsServerHandshake(socket_);
    if (!socket_->session) return;
  }
  UsbConnection& c = *source_;
  if (socket_->session) c.tlsNoted = 0;
  c.enableInput();
  c.setHandler(usbDispatchRequest);
  usbActiveConnectionTasks.fetch_add(1);
  active_ = true;
  c.lastRequestTick = uptimeCs();

  int64_t lastResetCheck = INT64_MIN;
  for (;;) {
    const int r = c.waitEvents(kWaitMs);
    if (c.serveHandovers(1) < 0) break;
    const int64_t now = uptimeCs();
    if (lastResetCheck == INT64_MIN || now - lastResetCheck >= kResetCheckCs) {
      lastResetCheck = now;
      resetFlaggedUsbDevices(c);
    }
    if (r < 0) break;
    if (r == 0 && limit != 0) {
      const uint32_t idle = static_cast<uint32_t>(now) - static_cast<uint32_t>(c.lastRequestTick.load());
      if (idle > static_cast<uint64_t>(limit)) break;
    }
  }
  // onEnd gives the devices back and closes the socket.
}

void resetFlaggedUsbDevices(UsbConnection& connection) {
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    UsbDeviceRow& r = usbDeviceTable[row];
    if (!r.resetPending.load()) continue;
    if (r.rowState() != UsbRowState::IN_USE) {
      r.resetPending = 0;
      continue;
    }
    // A device in use is reset and closed only by its owner's task.
    muxIn(row);
    if (r.rowState() == UsbRowState::IN_USE && r.owner == &connection && r.resetPending.exchange(0)) {
      if (r.usbfsHandle >= 0) usbHost().reset(r.usbfsHandle);
      for (UrbLink* l = r.transfers.first(); l; l = r.transfers.after(l)) discardUrb(r, urbRequestOf(l));
      connection.closeRowHandle(row);
      // Closing the handle gave the transfers back: nothing will complete them.
      freeUrbList(r.transfers);
    }
    unlockUsbDeviceRow(row);
  }
}

void releaseConnectionDevices(UsbConnection& connection) {
  for (int row = 0; row < USB_MAXDEVS; ++row) {
    UsbDeviceRow& r = usbDeviceTable[row];
    muxIn(row);
    if (r.owner == &connection) {
      const bool inUse = r.rowState() == UsbRowState::IN_USE;
      if (inUse && r.usbfsHandle >= 0 && usbHost().reset(r.usbfsHandle) < 0 && powerSwitchModel())
        powerOffUsbPortFor(r.port - 1, kPowerCycleCs);
      connection.closeRowHandle(row);
      freeUrbList(r.transfers);
      if (inUse) publishUsbDeviceReleased(row);
      r.owner = nullptr;
      r.currentConfigIndex = -1;
      if (inUse) r.setRowState(UsbRowState::PRESENT);
    }
    unlockUsbDeviceRow(row);
  }
}

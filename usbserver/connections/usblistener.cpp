#include "usbserver/connections/usblistener.h"

#include <sys/epoll.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/parambase.h"
#include "params/types/paramflags.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlslistener.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usbeventsource.h"
#include "usbserver/devices/publishedparams.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"

std::atomic<int32_t> usbListenerTasks{0};

namespace {

constexpr int32_t kStackBytes = 20480;
constexpr int kPollMs = 5000;
constexpr int64_t kRescanCs = 100;
constexpr int64_t kBoardWaitCs = 25;

TaskEventRecord usbListenerSlots[USB_LISTENER_PAIRS][2];
std::atomic<bool (*)()> boardReady{nullptr};

int32_t intParam(const char* key, int32_t fallback) {
  IntParam* p = paramStore.findInt(key);
  return p ? p->value() : fallback;
}

void clearSlot(TaskEventRecord& slot) {
  slot.owner = nullptr;
  slot.callback = nullptr;
  slot.fd = -1;
}

// Per-row parameters of rows beyond this model's table vanish.
void hideUnusedRowParams() {
  int count = 0;
  Param** items = paramStore.items(&count);
  for (int i = 0; i < count; ++i) {
    Param* p = items[i];
    if (!p || !p->hasFlags(PF_PER_DEVICE_SLOT)) continue;
    const char* key = p->key();
    const char* end = key + std::strlen(key);
    const char* digits = end;
    while (digits > key && digits[-1] >= '0' && digits[-1] <= '9') --digits;
    if (digits == end) continue;
    if (std::atoi(digits) > USB_MAXDEVS) p->addFlags(PF_HIDDEN);
  }
}

// A client that closes and reconnects at once reaches the listener before
// its old connection's task has seen the close: at the limit, such a place
// is given a moment to come free before the new client is turned away.
bool connectionPlaceFree() {
  constexpr int kSteps = 10;
  const timespec step{0, 10 * 1000 * 1000};
  for (int i = 0; i < kSteps && usbConnectionCount.load() > USB_MAX_CONNECTIONS; ++i) nanosleep(&step, nullptr);
  return usbConnectionCount.load() <= USB_MAX_CONNECTIONS;
}

}  // namespace

void setUsbBoardReadyCheck(bool (*ready)()) { boardReady.store(ready); }

UsbSrvd::UsbSrvd(InterfaceView* iface) : Task("UsbSrvd"), iface_(iface ? iface : activeInterface) {
  usbListenerTasks.fetch_add(1);
  for (auto& pair : usbListenerSlots)
    for (TaskEventRecord& slot : pair) clearSlot(slot);
  umask(0);
  setUsbTableLimits(productParams().usbtable_product_id);
  prepareUsbDeviceFilesystem();
  hideUnusedRowParams();
  resetUsbPortUseCounters();
}

UsbSrvd::~UsbSrvd() {
  closeListeners();
  usbListenerTasks.fetch_sub(1);
}

void UsbSrvd::onEnd() {
  closeListeners();
  // Connection tasks end at the same time (MSG_QUIT reaches them all) and
  // give their rows back as they go; rows are recycled only once none is
  // left that could still use one. A connection that does not end in time
  // keeps the table as it is: left alone is better than freed under it.
  constexpr int kSteps = 500;
  const timespec step{0, 10 * 1000 * 1000};
  for (int i = 0; i < kSteps && usbConnectionCount.load() > 0; ++i) nanosleep(&step, nullptr);
  if (usbConnectionCount.load() > 0) {
    std::fprintf(stderr, "UsbSrvd: %d connections still open at the end, device rows kept\n",
                 static_cast<int>(usbConnectionCount.load()));
    return;
  }
  for (int row = 0; row < USB_MAXDEVS; ++row) usbDeviceTable[row].recycle();
}

int UsbSrvd::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) {
    reopen_ = 1;
    return msg.flags & ~MSG_PARAMS_CHANGED;
  }
  return msg.flags;
}

int UsbSrvd::openListeners() {
  listenerCount_ = static_cast<int32_t>(productParams().usb_ports_phy) + 2;
  if (listenerCount_ > USB_LISTENER_PAIRS) listenerCount_ = USB_LISTENER_PAIRS;
  const int ports[2] = {intParam("zov_port", 9200), intParam("zov_sslport", 9443)};
  for (int i = 0; i < listenerCount_; ++i) {
    for (int kind = 0; kind < 2; ++kind) {
      if (ports[kind] <= 0 || listeners_[i][kind]) continue;
      TlsConnection* l = openTcpListener(this, ports[kind], iface_, i);
      if (!l) continue;
      TaskEventRecord& slot = usbListenerSlots[i][kind];
      slot.owner = this;
      slot.callback = acceptOnUsbListener;
      slot.fd = l->fd;
      if (addEvent(&slot, EPOLLIN) != 0) {
        clearSlot(slot);
        l->close();
        delete l;
        continue;
      }
      listeners_[i][kind] = l;
    }
  }
  return 1;
}

void UsbSrvd::closeListeners() {
  for (int i = 0; i < USB_LISTENER_PAIRS; ++i) {
    for (int kind = 0; kind < 2; ++kind) {
      TlsConnection*& l = listeners_[i][kind];
      if (!l) continue;
      removeEvent(l->fd);
      l->close();
      delete l;
      l = nullptr;
      clearSlot(usbListenerSlots[i][kind]);
    }
  }
}

int UsbSrvd::openListenerCount() const {
  int n = 0;
  for (const auto& pair : listeners_) n += (pair[0] ? 1 : 0) + (pair[1] ? 1 : 0);
  return n;
}

int acceptOnUsbListener(TaskEventRecord* record, uint32_t) {
  if (!record || !record->owner) return -1;
  static_cast<UsbSrvd*>(record->owner)->acceptConnection(record->fd);
  return 0;
}

void UsbSrvd::acceptConnection(int fd) {
  TlsConnection* listener = nullptr;
  int tls = 0;
  for (int i = 0; i < USB_LISTENER_PAIRS && !listener; ++i)
    for (int kind = 0; kind < 2; ++kind)
      if (listeners_[i][kind] && listeners_[i][kind]->fd == fd) {
        listener = listeners_[i][kind];
        tls = kind;
        break;
      }
  if (!listener) return;
  // Accepted plainly: a TLS client's handshake runs on its own connection
  // task, so a client that never finishes it delays nobody else.
  TlsConnection* client = listener->accept(0);
  if (!client) return;
  // The connection limit, and room in the task table for the system's own
  // tasks: otherwise the client is closed without any data.
  if (!connectionPlaceFree() || !taskTableHasRoomForClient()) {
    client->close();
    delete client;
    return;
  }
  // Every wait on a client socket is a bounded poll: a client that stops
  // reading cannot hold its task inside a write.
  client->setNonBlocking();
  client->set_nagleon();
  const int maxseg = intParam("tcp_maxseg", 0);
  if (maxseg > 0) client->set_maxseg(maxseg);
  auto* task = new UsbSrvdPrcs(client, tls != 0);
  client->owner = task;
  if (task->start(kStackBytes) < 0) delete task;
}

void UsbSrvd::run() {
  while (bool (*ready)() = boardReady.load()) {
    if (ready()) break;
    wait(kBoardWaitCs);
  }
  openListeners();
  reopen_ = 0;
  int64_t lastScan = 0;
  for (;;) {
    pollOneTaskEvent(this, kPollMs);
    const int64_t now = uptimeCs();
    if (now - lastScan > kRescanCs) {
      lastScan = now;
      rescanUsbDevices();
    }
    if (reopen_) {
      closeListeners();
      openListeners();
      reopen_ = 0;
    }
  }
}

int startUsbListener(InterfaceView* iface) {
  auto* task = new UsbSrvd(iface);
  const int id = task->start(kStackBytes);
  if (id < 0) delete task;
  return id;
}

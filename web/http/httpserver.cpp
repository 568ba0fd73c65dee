#include "web/http/httpserver.h"

#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlslistener.h"
#include "web/http/httprequest.h"
#include "web/pages/sessionpagetable.h"
#include "web/sessions/sessiontable.h"

std::atomic<int32_t> webConnectionsRefused{0};

namespace {

// Port VLANs the interface knows (its VLAN slots 1 .. 20).
constexpr int kMaxPortVlans = kHttpListenerPairs - 2;

// The program's page table. Request tasks may still use it after the
// listener has ended (they finish alone), so it is never freed; a later
// listener reloads the sessions into it.
SessionPageTable* programTable = nullptr;

bool paramOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

int acceptOnHttpListener(TaskEventRecord* record, uint32_t) {
  if (record == nullptr || record->owner == nullptr) return -1;
  auto* server = static_cast<HttpServer*>(record->owner);
  for (int pair = 0; pair < kHttpListenerPairs; ++pair)
    for (int kind = 0; kind < 2; ++kind) {
      TlsConnection* l = server->listener(pair, kind);
      if (l != nullptr && l->fd == record->fd) {
        server->acceptConnection(pair, kind);
        return 0;
      }
    }
  return 0;
}

}  // namespace

HttpServer::HttpServer(int httpPort, int httpsPort, InterfaceView* iface, int kickOff)
    : Task("HTTPD"), httpPort_(httpPort), httpsPort_(httpsPort), iface_(iface) {
  for (auto& pair : records_)
    for (TaskEventRecord& record : pair) record = TaskEventRecord{nullptr, nullptr, -1};
  if (httpPort < 0 && httpsPort < 0) {
    std::perror("HTTPD stopps, no ports are specified?!");
    return;
  }
  if (programTable == nullptr)
    programTable = new SessionPageTable(kickOff);
  else
    sessionTable.load(kSessionFile, kickOff);
  pageTable = programTable;
}

HttpServer::~HttpServer() { closeListenSockets(); }

int HttpServer::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) {
    reinit_ = true;
    return msg.flags & ~MSG_PARAMS_CHANGED;
  }
  return msg.flags;
}

void HttpServer::openListenSockets() {
  const bool management = paramOn("ip4vlan_mgmt");
  const bool anyPort = paramOn("ip4vlan_mgmt_any");
  int ports = static_cast<int>(productParams().usb_ports_phy);
  if (ports > kMaxPortVlans) ports = kMaxPortVlans;
  if (ports < 0) ports = 0;
  entryCount_ = management || anyPort ? ports + 2 : 1;
  for (int pair = 0; pair < entryCount_; ++pair) {
    // The interface index of the pair: 0 the main interface, i the VLAN
    // of port i, ports + 1 the management VLAN.
    bool wanted;
    if (pair == 0)
      wanted = !management || paramOn("ip4vlan_mgmt_untag");
    else if (pair == entryCount_ - 1)
      wanted = management;
    else
      wanted = anyPort;
    if (!wanted) continue;
    const int port[2] = {httpPort_, httpsPort_};
    for (int kind = 0; kind < 2; ++kind) {
      TlsConnection* l = openTcpListener(this, port[kind], iface_, pair);
      if (l == nullptr) continue;
      TaskEventRecord& record = records_[pair][kind];
      record = TaskEventRecord{this, acceptOnHttpListener, l->fd};
      if (addEvent(&record, EPOLLIN) != 0) {
        record = TaskEventRecord{nullptr, nullptr, -1};
        l->close();
        delete l;
        continue;
      }
      listeners_[pair][kind] = l;
    }
  }
}

void HttpServer::closeListenSockets() {
  for (int pair = 0; pair < kHttpListenerPairs; ++pair)
    for (int kind = 0; kind < 2; ++kind) {
      TlsConnection*& l = listeners_[pair][kind];
      if (l == nullptr) continue;
      removeEvent(l->fd);
      l->close();
      delete l;
      l = nullptr;
      records_[pair][kind] = TaskEventRecord{nullptr, nullptr, -1};
    }
}

int HttpServer::openListenerCount() const {
  int count = 0;
  for (const auto& pair : listeners_) count += (pair[0] != nullptr ? 1 : 0) + (pair[1] != nullptr ? 1 : 0);
  return count;
}

void HttpServer::acceptConnection(int pair, int kind) {
  TlsConnection* l = listeners_[pair][kind];
  if (l == nullptr) return;
  // Accepted plainly: a TLS client's handshake runs on its own task, so a
  // silent client never holds up the others.
  TlsConnection* client = l->accept(0);
  if (client == nullptr) {
    // Out of descriptors the listener stays readable: pause instead of
    // spinning on it.
    if (errno == EMFILE || errno == ENFILE) wait(kHttpAcceptPauseCs);
    return;
  }
  if (!taskTableHasRoomForClient()) {
    webConnectionsRefused.fetch_add(1, std::memory_order_relaxed);
    client->close();
    delete client;
    return;
  }
  HttpRequest* request = new (std::nothrow) HttpRequest(client);
  if (request == nullptr) {
    std::fprintf(stderr, "%s:%d memerr\n", "httpd", __LINE__);
    client->close();
    delete client;
    return;
  }
  request->tlsHandshakePending = kind == 1 ? 1 : 0;
  if (request->start(kHttpFirstStack) < 0) delete request;  // closes the connection
}

void HttpServer::run() {
  if (pageTable == nullptr || (httpPort_ < 0 && httpsPort_ < 0)) {
    // Nothing to listen on: serve messages until told to quit.
    for (;;) receiveMessage();
  }
  setWebListenPorts(httpPort_, httpsPort_);
  openListenSockets();
  reinit_ = false;
  for (;;) {
    const int n = pollEvents(-1);
    if (n < 0 && errno != EINTR) {
      std::perror("HTTPD");
      return;
    }
    if (reinit_) {
      closeListenSockets();
      openListenSockets();
      reinit_ = false;
    }
  }
}

void HttpServer::onEnd() {
  closeListenSockets();
  const bool listened = httpPort_ >= 0 || httpsPort_ >= 0;
  if (listened && programTable != nullptr) programTable->saveSessions();
}

int startHttpListener(int httpPort, int httpsPort, InterfaceView* iface, int kickOff) {
  auto* server = new HttpServer(httpPort, httpsPort, iface, kickOff);
  const int id = server->start(kHttpServerStack);
  if (id < 0) delete server;
  return id;
}

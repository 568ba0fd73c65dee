// The web listener task "HTTPD": listening pairs (HTTP, HTTPS) on the main
// interface, the per-port VLANs and the management VLAN; every connection
// goes to a new request task "HTTP_1", which also runs the TLS handshake.
// The listener creates the program's page table (which loads the saved
// sessions) and saves the sessions when it ends.
#ifndef WEB_HTTP_HTTPSERVER_H
#define WEB_HTTP_HTTPSERVER_H

#include <atomic>
#include <cstdint>

#include "runtime/task/task.h"

class InterfaceView;
class TlsConnection;

// Pair 0 the main interface, 1 .. 20 the VLANs of the USB ports, then the
// management VLAN: as many as the USB listener holds.
constexpr int kHttpListenerPairs = 22;
// Stack of the listener task.
constexpr int32_t kHttpServerStack = 20480;
// After the process ran out of descriptors, accepting pauses this long.
constexpr int64_t kHttpAcceptPauseCs = 10;

class HttpServer : public Task {
 public:
  // kickOff: the start counter of the program ("KickOff"; 0 a first start,
  // which drops saved sessions). Both ports negative: no listener and no
  // page table.
  HttpServer(int httpPort, int httpsPort, InterfaceView* iface, int kickOff);
  ~HttpServer() override;

  void run() override;
  // MSG_PARAMS_CHANGED asks for a rebuild of the listeners.
  int onMessage(const TaskMessage& msg) override;
  // Closes the listeners and saves the sessions.
  void onEnd() override;

  // Builds the listener pairs of the current parameters; closes them all.
  void openListenSockets();
  void closeListenSockets();
  // Accepts the client waiting on listener (pair, kind 0 HTTP, 1 HTTPS).
  void acceptConnection(int pair, int kind);
  // Pairs in use and listeners open now.
  int entryCount() const { return entryCount_; }
  int openListenerCount() const;
  // The listener of a pair and kind, or null.
  TlsConnection* listener(int pair, int kind) const { return listeners_[pair][kind]; }

 private:
  int32_t httpPort_;
  int32_t httpsPort_;
  InterfaceView* iface_;
  int32_t entryCount_ = 0;
  bool reinit_ = false;
  TlsConnection* listeners_[kHttpListenerPairs][2] = {};
  TaskEventRecord records_[kHttpListenerPairs][2];
};

// Connections closed at once because the task table had no room to spare.
extern std::atomic<int32_t> webConnectionsRefused;

// Starts "HTTPD": its task id, or -1.
int startHttpListener(int httpPort, int httpsPort, InterfaceView* iface, int kickOff);

#endif

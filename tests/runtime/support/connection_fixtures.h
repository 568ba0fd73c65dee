// Shared pieces of the connection tests: an interface stand-in, loopback
// connection pairs and the thread's CPU time.
#ifndef TESTS_RUNTIME_SUPPORT_CONNECTION_FIXTURES_H
#define TESTS_RUNTIME_SUPPORT_CONNECTION_FIXTURES_H

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <string>

#include "runtime/socket/connection.h"
#include "runtime/socket/interfaceview.h"
#include "runtime/socket/ipaddress.h"

namespace conntest {

// An interface with a fixed name and, optionally, a fixed IPv4 address.
class FakeInterface : public InterfaceView {
 public:
  explicit FakeInterface(const char* name, const char* address = nullptr)
      : name_(name), address_(address != nullptr ? address : "") {}
  const char* name() const override { return name_.c_str(); }
  int getAddress(IpAddress& out, const char*, int vid) override {
    lastVid = vid;
    ++calls;
    if (address_.empty()) return 0;
    parseIpAddress(out, address_.c_str());
    return 1;
  }
  int lastVid = -100;
  int calls = 0;

 private:
  std::string name_;
  std::string address_;
};

inline IpAddress address(const char* text, int port) {
  IpAddress a;
  parseIpAddress(a, text);
  a.setPort(static_cast<uint16_t>(port));
  return a;
}

// A TCP listener on 127.0.0.1 with a port of the kernel's choice.
inline bool listenOnLoopback(Connection& listener) {
  return listener.open(AF_INET, SOCK_STREAM, 0) && listener.bindLoopback(0) && listener.listen(8);
}

// client connected to server through a fresh loopback listener.
inline bool connectPair(Connection& client, Connection& server) {
  Connection listener(nullptr, nullptr, -1);
  if (!listenOnLoopback(listener)) return false;
  if (!client.open(AF_INET, SOCK_STREAM, 0)) return false;
  client.peer = address("127.0.0.1", listener.local.port());
  if (!client.connect(500)) return false;
  return server.acceptFrom(listener.fd) == 1;
}

// A UDP socket bound to the loopback address of the family.
inline bool udpOnLoopback(Connection& c, int family = AF_INET) {
  return c.open(family, SOCK_DGRAM, 0) && c.family == family && c.bindLoopback(0);
}

// CPU seconds the calling thread has used.
inline double threadCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace conntest

#endif

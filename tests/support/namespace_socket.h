// Sockets of a test's peer: made by a short-lived thread that joins a
// named network namespace ("ip netns add"); a socket stays in the
// namespace it was made in after the thread is gone.
#ifndef TESTS_SUPPORT_NAMESPACE_SOCKET_H
#define TESTS_SUPPORT_NAMESPACE_SOCKET_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

// Moves the calling thread into the named namespace; false when it cannot.
inline bool joinNetworkNamespace(const std::string& name) {
  const int ns = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (ns < 0) return false;
  const bool joined = ::setns(ns, CLONE_NEWNET) == 0;
  ::close(ns);
  return joined;
}

// A UDP socket in the namespace bound to address:port (0: any port), its
// multicast leaving from that address's device when multicastOut; -1 when
// it could not be made or bound.
inline int udpSocketInNamespace(const std::string& name, const char* address, uint16_t port, bool multicastOut) {
  int fd = -1;
  std::thread maker([&] {
    if (!joinNetworkNamespace(name)) return;
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address, &local.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      if (fd >= 0) ::close(fd);
      fd = -1;
      return;
    }
    if (multicastOut) ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof local.sin_addr);
  });
  maker.join();
  return fd;
}

#endif

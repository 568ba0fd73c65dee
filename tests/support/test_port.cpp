#include "support/test_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <random>

namespace {

constexpr int kLowest = 10000;

// The first port the kernel hands to outgoing connections (32768 unless
// configured otherwise).
int ephemeralStart() {
  int low = 32768, high = 60999;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d %d", &low, &high) != 2) low = 32768;
    std::fclose(f);
  }
  return low > kLowest + 1000 ? low : 65536;
}

bool canBind(int port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  a.sin6_addr = in6addr_any;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int freeTestPort() {
  static std::mutex lock;
  static std::mt19937 random(static_cast<unsigned>(getpid() * 7919u + time(nullptr)));
  static const int end = ephemeralStart();
  std::lock_guard<std::mutex> hold(lock);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = kLowest + static_cast<int>(random() % static_cast<unsigned>(end - kLowest));
    if (canBind(port)) return port;
  }
  return -1;
}

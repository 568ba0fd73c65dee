// Connection life and set-up: opening, binding, listening, accepting and
// connecting.
#include "runtime/socket/connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/file/paths.h"
#include "runtime/socket/connectionsettings.h"
#include "runtime/socket/fdflags.h"
#include "runtime/socket/interfaceview.h"

namespace {

// Names of the Unix datagram sockets made without a path.
std::atomic<int> unixSocketCounter{0};

// Longest path connectUnix accepts.
constexpr size_t kMaxConnectPath = 105;

int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool isIpStream(const Connection& c) {
  return (c.family == AF_INET || c.family == AF_INET6) && (c.type & 0xf) == SOCK_STREAM;
}

// Fills a Unix socket address with the mapped form of an appliance path;
// false when it does not fit.
bool unixAddress(const char* path, sockaddr_un& out) {
  const std::string mapped = mapPath(path);
  std::memset(&out, 0, sizeof out);
  out.sun_family = AF_UNIX;
  if (mapped.size() >= sizeof out.sun_path) return false;
  std::memcpy(out.sun_path, mapped.c_str(), mapped.size() + 1);
  return true;
}

}  // namespace

Connection::Connection(Task* ownerTask, InterfaceView* interfaceView, int vlanId)
    : port(0),
      family(0),
      type(0),
      fd(-1),
      vlan(vlanId),
      iface(interfaceView),
      state(CONN_STATE_OPEN),
      owner(ownerTask),
      ioStatus(CONN_IO_GOOD) {
  local.clear(false);
  peer.clear(false);
}

Connection::~Connection() {
  if (fd >= 0) ::close(fd);
  fd = -1;
  state = CONN_STATE_OPEN;
}

int Connection::open(int wantedFamily, int wantedType, int protocol) {
  if (fd >= 0) close();
  // Close-on-exec: programs this process starts must not keep its sockets.
  int s = ::socket(wantedFamily, wantedType | SOCK_CLOEXEC, protocol);
  if (s < 0 && wantedFamily == AF_INET6) {
    wantedFamily = AF_INET;
    s = ::socket(wantedFamily, wantedType | SOCK_CLOEXEC, protocol);
  }
  if (s < 0) return 0;
  fd = s;
  family = wantedFamily;
  type = wantedType;
  return 1;
}

int Connection::openUnixDatagram(const char* path) {
  const int serial = ++unixSocketCounter;
  if (fd >= 0) close();
  const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  fd = s;
  family = CONN_FAMILY_UNIX;
  type = SOCK_DGRAM;

  char generated[64];
  if (path == nullptr) {
    std::snprintf(generated, sizeof generated, "/var/unixsock_%d-%d", static_cast<int>(syscall(SYS_gettid)), serial);
    path = generated;
  }
  sockaddr_un address;
  if (std::strlen(path) > 107 || !unixAddress(path, address)) {
    close();
    return 0;
  }
  const sockaddr* sa = reinterpret_cast<const sockaddr*>(&address);
  if (::bind(fd, sa, sizeof address) == 0) return 1;
  if (errno == EADDRINUSE) {
    // Left behind by a process that is gone.
    ::unlink(address.sun_path);
    if (::bind(fd, sa, sizeof address) == 0) return 1;
  }
  close();
  return 0;
}

int Connection::close() {
  int result = 0;
  if (fd >= 0) result = ::close(fd) == 0 ? 1 : 0;
  fd = -1;
  state = CONN_STATE_OPEN;
  return result;
}

int Connection::bind(int localPort, int any, int vlanIndex) {
  port = localPort;
  local.clear(false);
  if (family == AF_INET6) {
    local.clear(true);
  } else {
    IpAddress address;
    if (vlanIndex > 0) {
      IpAddress configured;
      if (connectionVlanAddress(vlanIndex, configured)) address.fromIp4Word(configured.ip4Word());
    } else if (!any && iface != nullptr) {
      iface->getAddress(address, nullptr, vlan);
    }
    local.fromIp4Word(address.family() == AF_INET ? address.ip4Word() : 0);
  }
  local.setPort(static_cast<uint16_t>(localPort));
  setReuseAddr();
  if (fd < 0 || ::bind(fd, local.sockAddr(), local.sockAddrLength()) != 0) return 0;
  socklen_t length = IpAddress::kSize;
  getsockname(fd, local.sockAddr(), &length);
  return 1;
}

int Connection::bindLoopback(int localPort) {
  port = localPort;
  if (family == AF_INET6) {
    // The IPv6 loopback, not the unspecified address: a loopback bind must
    // not be reachable from the network.
    local.clear(true);
    local.ip6Bytes()[15] = 1;
  } else {
    local.clear(false);
    local.fromIp4Bytes(127, 0, 0, 1);
  }
  local.setPort(static_cast<uint16_t>(localPort));
  setReuseAddr();
  if (fd < 0 || ::bind(fd, local.sockAddr(), local.sockAddrLength()) != 0) return 0;
  socklen_t length = IpAddress::kSize;
  getsockname(fd, local.sockAddr(), &length);
  return 1;
}

int Connection::bindMulticast(int localPort, const IpAddress& group, int dontRoute) {
  port = localPort;
  const bool realGroup = !(group.family() == AF_INET && group.ip4Word() == 0xffffffffu);
  local.clear(family == AF_INET6);
  if (iface != nullptr) iface->getAddress(local, nullptr, vlan);
  const uint32_t interfaceWord = local.ip4Word();
  local.setFamily(family);
  local.setPort(static_cast<uint16_t>(localPort));
  if (fd < 0) return 0;

  setReuseAddr();
  setMulticastTtl(1);
  if (realGroup) disableMulticastLoop();
  if (dontRoute) setDontRoute(1);

  IpAddress target;
  if (realGroup) target.assign(group);
  target.setPort(static_cast<uint16_t>(localPort));
  if (::bind(fd, target.sockAddr(), target.sockAddrLength()) != 0) return 0;

  if (realGroup) {
    ip_mreqn request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = group.ip4Word();
    request.imr_address.s_addr = interfaceWord;
    request.imr_ifindex = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) return 0;
  }
  socklen_t length = IpAddress::kSize;
  getsockname(fd, local.sockAddr(), &length);
  return 1;
}

int Connection::bindPort(int localPort, int multicast, int dontRoute, int any) {
  if (multicast) {
    IpAddress noGroup;
    noGroup.fromIp4Word(0xffffffffu);
    return bindMulticast(localPort, noGroup, dontRoute);
  }
  return bind(localPort, any, -1);
}

int Connection::listen(int backlog) {
  if (fd < 0 || !isIpStream(*this)) return 0;
  if (::listen(fd, backlog) != 0) return 0;
  state = CONN_STATE_LISTENING;
  return 1;
}

int Connection::acceptFrom(int listenFd) {
  if (fd >= 0) close();
  peer.clear(false);
  socklen_t length = IpAddress::kSize;
  const int s = ::accept4(listenFd, peer.sockAddr(), &length, SOCK_CLOEXEC);
  if (s < 0) {
    fd = -1;
    return 0;
  }
  fd = s;
  length = IpAddress::kSize;
  getsockname(fd, local.sockAddr(), &length);
  family = peer.family();
  return 1;
}

int Connection::connect(int timeoutCs) {
  if (fd < 0) {
    errno = EBADF;
    return 0;
  }
  if (!isIpStream(*this) || timeoutCs < 0) {
    if (::connect(fd, peer.sockAddr(), peer.sockAddrLength()) != 0) return 0;
    state = CONN_STATE_CONNECTED;
    return 1;
  }

  // Connect without blocking, then wait for the outcome while the owner's
  // messages are served.
  const bool wasBlocking = isBlockingFd(fd) != 0;
  if (wasBlocking) setNonBlockingFd(fd, 1);
  const int64_t deadlineMs = monotonicMs() + static_cast<int64_t>(timeoutCs) * 10;
  int connected = 0;
  int failure = 0;
  if (::connect(fd, peer.sockAddr(), peer.sockAddrLength()) == 0 || errno == EISCONN) {
    connected = 1;
  } else if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR) {
    failure = errno;
  } else {
    for (;;) {
      int64_t waitCs = -1;
      if (timeoutCs > 0) {
        const int64_t leftMs = deadlineMs - monotonicMs();
        if (leftMs <= 0) {
          failure = ETIMEDOUT;
          break;
        }
        waitCs = (leftMs + 9) / 10;
      }
      int error = 0;
      if (!wait4write(waitCs, &error, 1)) {
        // error 0: a parameter change ended the wait.
        failure = error == CONN_TIMEOUT ? ETIMEDOUT : error < 0 ? -error : EINTR;
        if (error == CONN_NO_SOCKET) failure = EBADF;
        break;
      }
      int pending = 0;
      socklen_t length = sizeof pending;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        failure = errno;
        break;
      }
      if (pending == 0) {
        connected = 1;
      } else {
        failure = pending;
      }
      break;
    }
  }
  if (wasBlocking) setNonBlockingFd(fd, 0);
  if (!connected) {
    errno = failure;
    return 0;
  }
  state = CONN_STATE_CONNECTED;
  return 1;
}

int Connection::connectUnix(const char* path) {
  if (fd < 0 || path == nullptr || std::strlen(path) > kMaxConnectPath) return 0;
  sockaddr_un address;
  if (!unixAddress(path, address)) return 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int failure = errno;
    // Only a refused connection to a socket file shows that nobody serves
    // it; a live server or some other file is left alone.
    struct stat info;
    if (failure == ECONNREFUSED && lstat(address.sun_path, &info) == 0 && S_ISSOCK(info.st_mode))
      ::unlink(address.sun_path);
    errno = failure;
    return 0;
  }
  state = CONN_STATE_CONNECTED;
  return 1;
}

int Connection::localAddress(IpAddress& out) {
  if (local.isSet()) {
    out = local;
    return 1;
  }
  if (iface == nullptr) return 0;
  return iface->getAddress(out, nullptr, vlan);
}

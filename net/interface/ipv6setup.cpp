// IPv6 set-up of the interface: autoconfiguration, static address, route.
#include "net/interface/ipv6setup.h"

#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "net/interface/ifrequest.h"
#include "net/interface/netinterface.h"
#include "net/interface/netparams.h"
#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"

namespace {

// The kernel's IPv6 interface address request (struct in6_ifreq).
struct Ipv6AddressRequest {
  in6_addr address;
  uint32_t prefixLength;
  int32_t ifIndex;
};

// What applyIpv6Settings installed last, so that it can be removed again.
struct AppliedIpv6 {
  std::mutex mutex;
  IpAddress address{};
  int prefixLength = 0;
  IpAddress gateway{};
};

AppliedIpv6& applied() {
  static AppliedIpv6 values;
  return values;
}

int writeSwitch(const char* path, char value) {
  FILE* file = std::fopen(mapPath(path).c_str(), "w");
  if (!file) return 0;
  std::fputc(value, file);
  std::fclose(file);
  return 1;
}

// The interface index on a fresh AF_INET6 socket; -1 when unavailable.
int openIpv6Socket(const char* name, int* ifIndex) {
  int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ifreq req;
  prepareRequest(req, name);
  if (::ioctl(fd, SIOCGIFINDEX, &req) < 0) {
    ::close(fd);
    return -1;
  }
  *ifIndex = req.ifr_ifindex;
  return fd;
}

}  // namespace

void setIpv6Enabled(int on) {
  const char* path = "/proc/sys/net/ipv6/conf/all/disable_ipv6";
  FILE* file = std::fopen(mapPath(path).c_str(), "w");
  if (!file) {
    std::perror(path);
    return;
  }
  if (std::fputc(on ? '0' : '1', file) == EOF) std::perror(path);
  if (std::fclose(file) != 0) std::perror(path);
}

int resolveIpv6Address(const char* text, sockaddr_in6* out) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  addrinfo* result = nullptr;
  if (::getaddrinfo(text, nullptr, &hints, &result) != 0 || !result) return -1;
  std::memcpy(out, result->ai_addr, sizeof *out);
  ::freeaddrinfo(result);
  return 0;
}

void NetInterface::applyIpv6Settings() {
  const char value = netParamOn("ipv6_auto") ? '1' : '0';
  char path[96];
  std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/autoconf", name_);
  if (writeSwitch(path, value)) {
    std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/accept_ra", name_);
    writeSwitch(path, value);
  }
  AppliedIpv6& values = applied();
  {
    std::lock_guard<std::mutex> guard(values.mutex);
    values.address.clear(true);
    netParamAddress("ipv6_addr", values.address);
    values.prefixLength = netParamInt("ipv6_plen", 64);
  }
  updateIpv6Address(1);
  {
    std::lock_guard<std::mutex> guard(values.mutex);
    values.gateway.clear(true);
    netParamAddress("ipv6_gate", values.gateway);
  }
  updateIpv6Route(1);
}

void NetInterface::updateIpv6Address(int add) {
  AppliedIpv6& values = applied();
  IpAddress address;
  int prefixLength;
  {
    std::lock_guard<std::mutex> guard(values.mutex);
    address = values.address;
    prefixLength = values.prefixLength;
  }
  if (!address.isIp6() || !address.isSet()) return;
  int ifIndex = 0;
  int fd = openIpv6Socket(name_, &ifIndex);
  if (fd < 0) return;
  Ipv6AddressRequest req;
  std::memset(&req, 0, sizeof req);
  std::memcpy(&req.address, address.ip6Bytes(), sizeof req.address);
  req.prefixLength = static_cast<uint32_t>(prefixLength);
  req.ifIndex = ifIndex;
  ::ioctl(fd, add ? SIOCSIFADDR : SIOCDIFADDR, &req);
  ::close(fd);
}

void NetInterface::updateIpv6Route(int add) {
  AppliedIpv6& values = applied();
  IpAddress gateway;
  int prefixLength;
  {
    std::lock_guard<std::mutex> guard(values.mutex);
    gateway = values.gateway;
    prefixLength = values.prefixLength;
  }
  if (!gateway.isIp6() || !gateway.isSet()) return;
  char text[IpAddress::kTextSize];
  gateway.toText(text, sizeof text);
  sockaddr_in6 destination;
  if (resolveIpv6Address(text, &destination) != 0) return;
  int ifIndex = 0;
  int fd = openIpv6Socket(name_, &ifIndex);
  if (fd < 0) return;
  in6_rtmsg route;
  std::memset(&route, 0, sizeof route);
  route.rtmsg_dst = destination.sin6_addr;
  route.rtmsg_dst_len = static_cast<uint16_t>(prefixLength);
  route.rtmsg_metric = 1;
  route.rtmsg_flags = RTF_UP;
  route.rtmsg_ifindex = ifIndex;
  ::ioctl(fd, add ? SIOCADDRT : SIOCDELRT, &route);
  ::close(fd);
}

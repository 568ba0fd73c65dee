// IPv4 routes through the interface and its VLAN devices.
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "net/address/addresssetters.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/ipaddress.h"

namespace {

void putIp4(sockaddr& target, uint32_t word) {
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = word;
  std::memcpy(&target, &sin, sizeof sin);
}

void prepareRoute(rtentry& route, uint32_t destination, uint32_t gateway, uint32_t genmask, char* device) {
  std::memset(&route, 0, sizeof route);
  putIp4(route.rt_dst, destination);
  putIp4(route.rt_gateway, gateway);
  putIp4(route.rt_genmask, genmask);
  route.rt_flags = RTF_UP;
  if (gateway != 0) route.rt_flags |= RTF_GATEWAY;
  route.rt_dev = device;
}

}  // namespace

int NetInterface::addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask, const char* device) {
  char deviceName[kInterfaceNameSize];
  std::snprintf(deviceName, sizeof deviceName, "%s", nameOr(device));
  rtentry route;
  prepareRoute(route, destination, gateway, genmask, deviceName);
  // Routes on VLAN devices rank behind those of the plain interface.
  route.rt_metric = std::strchr(deviceName, '.') ? 5 : 0;
  lock();
  int rc = ::ioctl(socket_, SIOCADDRT, &route);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::deleteDefaultRoute(uint32_t gateway) {
  char deviceName[kInterfaceNameSize];
  std::snprintf(deviceName, sizeof deviceName, "%s", name_);
  rtentry route;
  prepareRoute(route, 0, gateway, 0, deviceName);
  lock();
  int rc = ::ioctl(socket_, SIOCDELRT, &route);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::routeLinkLocal() {
  IpAddress own;
  if (!getAddress(own, nullptr, -1) || !own.isLinkLocal4()) return 0;
  IpAddress anyAddress;
  return setAsDefaultGateway(anyAddress, *this, 1);
}

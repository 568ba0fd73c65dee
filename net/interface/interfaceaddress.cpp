// IPv4 address and netmask of the interface and of its VLAN devices.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "net/address/addressled.h"
#include "net/interface/ifrequest.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

namespace {

void putIp4(ifreq& req, uint32_t word) {
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = word;
  std::memcpy(&req.ifr_addr, &sin, sizeof sin);
}

uint32_t takeIp4(const ifreq& req) {
  sockaddr_in sin;
  std::memcpy(&sin, &req.ifr_addr, sizeof sin);
  return sin.sin_addr.s_addr;
}

bool isLinkLocalWord(uint32_t word) { return (ntohl(word) & 0xffff0000u) == 0xa9fe0000u; }

}  // namespace

int NetInterface::getAddress(IpAddress& out, const char* name, int vid) {
  char vlanName[kInterfaceNameSize];
  const char* target = name;
  if (!target) {
    if (vid < 0) {
      target = name_;
    } else {
      formatVlanName(vlanName, vid, -1);
      target = vlanName;
    }
  }
  ifreq req;
  prepareRequest(req, target);
  lock();
  int rc = ::ioctl(socket_, SIOCGIFADDR, &req);
  unlock();
  // A failed read is a failure even when the caller preset out.
  if (rc < 0) return 0;
  out.clear(false);
  out.fromIp4Word(takeIp4(req));
  return out.isSet();
}

int NetInterface::setAddress(const IpAddress& address, const char* name) {
  const char* target = nameOr(name);
  IpAddress current;
  const int hadAddress = getAddress(current, target, -1);
  if (hadAddress && current.equals(address)) return 1;

  const uint32_t word = address.ip4Word();
  lock();
  ifreq req;
  prepareRequest(req, target);
  putIp4(req, word);
  if (::ioctl(socket_, SIOCSIFADDR, &req) < 0) std::perror("ioctl(SIOCSIFADDR)");
  prepareRequest(req, target);
  if (::ioctl(socket_, SIOCGIFADDR, &req) < 0) std::perror("ioctl(SIOCGIFADDR)");

  if (hadAddress) {
    TaskMessage message{};
    message.flags = MSG_ADDRESS_CHANGED;
    broadcastToTasks(message);
  }
  showAddressLed(word != 0 && !isLinkLocalWord(word));
  unlock();
  return 1;
}

int NetInterface::setNetmask(const IpAddress& mask, const char* name) {
  if (!mask.isPlausibleMask()) return 0;
  ifreq req;
  prepareRequest(req, nameOr(name));
  putIp4(req, mask.ip4Word());
  lock();
  int rc = ::ioctl(socket_, SIOCSIFNETMASK, &req);
  unlock();
  if (rc < 0) {
    std::perror("ioctl(SIOCSIFNETMASK)");
    return 0;
  }
  return 1;
}

// Removes the address of one name (a device or an alias) without the
// announcements of setAddress.
int NetInterface::clearAddress(const char* name) {
  ifreq req;
  prepareRequest(req, name);
  putIp4(req, 0);
  lock();
  int rc = ::ioctl(socket_, SIOCSIFADDR, &req);
  unlock();
  return rc < 0 ? 0 : 1;
}

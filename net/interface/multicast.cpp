// Multicast MAC filters of the interface and its VLAN devices.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "net/interface/ifrequest.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/socket/macaddress.h"

int NetInterface::addMulticastAddress(const IpAddress& group, int vid) {
  char device[kInterfaceNameSize];
  formatVlanName(device, vid, -1);
  MacAddress mac;
  multicastMacFor(mac, group);
  ifreq req;
  prepareRequest(req, device);
  req.ifr_hwaddr.sa_family = AF_UNSPEC;
  std::memcpy(req.ifr_hwaddr.sa_data, mac.bytes, sizeof mac.bytes);
  if (::ioctl(socket_, SIOCADDMULTI, &req) < 0) {
    std::perror("ioctl(SIOCADDMULTI)");
    return 0;
  }
  return 1;
}

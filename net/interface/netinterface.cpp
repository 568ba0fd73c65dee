#include "net/interface/netinterface.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/interface/ifrequest.h"
#include "net/interface/netparams.h"
#include "runtime/file/paths.h"
#include "runtime/socket/connectionsettings.h"
#include "runtime/socket/ipaddress.h"

NetInterface lanInterface;
NetInterface wlanInterface;
NetInterface* activeInterface = &lanInterface;

NetInterface::NetInterface()
    : socket_(-1), vlanControl_(nullptr), linkSource_(nullptr) {
  name_[0] = 0;
  pthread_mutex_init(&mutex_, nullptr);
  pthread_mutex_init(&slotMutex_, nullptr);
  for (VlanSlot& slot : vlanSlots_) slot = VlanSlot{0, 0, 0, 0, -1};
}

NetInterface::~NetInterface() { closeSocket(); }

void NetInterface::setName(const char* name) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
}

int NetInterface::openSocket() {
  if (socket_ < 0) socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return socket_ >= 0 ? 1 : 0;
}

void NetInterface::closeSocket() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

void NetInterface::lock() { pthread_mutex_lock(&mutex_); }
void NetInterface::unlock() { pthread_mutex_unlock(&mutex_); }

int NetInterface::getFlags(uint16_t& flags, const char* name) {
  ifreq req;
  prepareRequest(req, nameOr(name));
  lock();
  int rc = ::ioctl(socket_, SIOCGIFFLAGS, &req);
  unlock();
  if (rc < 0) return 0;
  flags = static_cast<uint16_t>(req.ifr_flags);
  return 1;
}

int NetInterface::setFlags(uint16_t flags, const char* name) {
  ifreq req;
  prepareRequest(req, nameOr(name));
  req.ifr_flags = static_cast<short>(flags);
  lock();
  int rc = ::ioctl(socket_, SIOCSIFFLAGS, &req);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::isUp(const char* name, int needRunning) {
  uint16_t flags = 0;
  if (!getFlags(flags, name)) return 0;
  const uint16_t mask = needRunning ? (IFF_UP | IFF_RUNNING) : IFF_UP;
  return (flags & mask) == mask ? 1 : 0;
}

int NetInterface::isRunning() {
  uint16_t flags = 0;
  if (!getFlags(flags, nullptr)) return 0;
  return (flags & IFF_RUNNING) ? 1 : 0;
}

int NetInterface::bringDown(const char* name) {
  uint16_t flags = 0;
  if (!getFlags(flags, name)) return 0;
  return setFlags(static_cast<uint16_t>(flags & ~IFF_UP), name);
}

int NetInterface::bringUp(const char* name) {
  setArpIgnore("all");
  setArpIgnore("default");
  return setFlags(IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST, name);
}

int NetInterface::getMacAddress(uint8_t mac[6]) {
  ifreq req;
  prepareRequest(req, name_);
  lock();
  int rc = ::ioctl(socket_, SIOCGIFHWADDR, &req);
  unlock();
  if (rc < 0) return 0;
  std::memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  return 1;
}

int NetInterface::setMetric(int metric, const char* name) {
  ifreq req;
  prepareRequest(req, nameOr(name));
  req.ifr_metric = metric;
  lock();
  int rc = ::ioctl(socket_, SIOCSIFMETRIC, &req);
  unlock();
  return rc < 0 ? 0 : 1;
}

int NetInterface::fillRequest(void* ifreqOut) const {
  prepareRequest(*static_cast<ifreq*>(ifreqOut), name_);
  return 1;
}

VlanSlot NetInterface::vlanSlot(int slot) const {
  if (slot < 0 || slot >= kVlanSlotCount) return VlanSlot{0, 0, 0, 0, -1};
  pthread_mutex_lock(&slotMutex_);
  const VlanSlot copy = vlanSlots_[slot];
  pthread_mutex_unlock(&slotMutex_);
  return copy;
}

int setArpIgnore(const char* name) {
  char path[96];
  std::snprintf(path, sizeof path, "/proc/sys/net/ipv4/conf/%s/arp_ignore", name);
  FILE* file = std::fopen(mapPath(path).c_str(), "w");
  if (!file) return 0;
  int written = std::fputc('1', file) == '1';
  if (std::fclose(file) != 0) written = 0;
  return written ? 1 : 0;
}

// The runtime's sockets read the VLAN addresses, the management VLAN and the
// interface in use through these; installed before main runs.
namespace {

int vlanAddressForSockets(int index, IpAddress& out) { return netParamAddress("ip4vlan_addr_", out, index); }

int managementVlanForSockets() { return netParamOn("ip4vlan_mgmt") ? netParamInt("ip4vlan_mgmt_id", 0) : -1; }

InterfaceView* activeInterfaceForSockets() { return activeInterface; }

const bool socketSettingsInstalled = [] {
  setConnectionSettings(ConnectionSettings{vlanAddressForSockets, managementVlanForSockets, activeInterfaceForSockets});
  return true;
}();

}  // namespace

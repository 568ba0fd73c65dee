// Connection socket options, device binding and link-layer sockets.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "runtime/socket/connection.h"
#include "runtime/socket/connectionsettings.h"
#include "runtime/socket/fdflags.h"
#include "runtime/socket/interfaceview.h"

namespace {

// A descriptor this high (or an invalid one) hints at descriptor exhaustion.
void warnOddDescriptor(const char* operation, int line, int fd) {
  if (fd > 256 || fd < 0) std::fprintf(stderr, "%s %s %d fd:%d!!\n", "connection", operation, line, fd);
}

int setIntOption(int fd, int level, int name, int value) {
  if (fd < 0) return 0;
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 1 : 0;
}

int setByteOption(int fd, int level, int name, unsigned char value) {
  if (fd < 0) return 0;
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 1 : 0;
}

// SIOCGIFINDEX (its answer is not needed), then SO_BINDTODEVICE. A device
// name that does not fit an interface request is refused rather than cut
// to the name of some other device.
int bindDescriptorToDevice(int fd, const char* interfaceName, int vlanId) {
  ifreq request;
  std::memset(&request, 0, sizeof request);
  const int length = vlanId >= 0
                         ? std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s.%d", interfaceName, vlanId)
                         : std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interfaceName);
  if (length < 0 || length >= static_cast<int>(sizeof request.ifr_name)) return -1;
  ioctl(fd, SIOCGIFINDEX, &request);
  return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, &request, sizeof request);
}

const char* nameOf(const InterfaceView* view) { return view != nullptr ? view->name() : "NoIFace"; }

}  // namespace

int Connection::setReuseAddr() { return setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

int Connection::setNonBlocking() { return fd < 0 ? 0 : setNonBlockingFd(fd, 1); }

int Connection::setBlocking() { return fd < 0 ? 0 : setNonBlockingFd(fd, 0); }

int Connection::get_maxseg() {
  warnOddDescriptor("get_maxseg", __LINE__, fd);
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &value, &length) != 0) return -1;
  return value;
}

int Connection::set_maxseg(int value) {
  warnOddDescriptor("set_maxseg", __LINE__, fd);
  return setIntOption(fd, IPPROTO_TCP, TCP_MAXSEG, value);
}

int Connection::set_nagleon() {
  warnOddDescriptor("set_nagleon", __LINE__, fd);
  return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

int Connection::setBroadcast() { return setIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1); }

int Connection::setDontRoute(int32_t value) { return setIntOption(fd, SOL_SOCKET, SO_DONTROUTE, value); }

int Connection::setDontRouteByte(uint8_t value) { return setByteOption(fd, SOL_SOCKET, SO_DONTROUTE, value); }

int Connection::setMulticastTtl(uint8_t ttl) { return setByteOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl); }

int Connection::disableMulticastLoop() { return setByteOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 0); }

int Connection::bindToInterface() {
  if (fd <= 0) return 0;
  return bindDescriptorToDevice(fd, nameOf(iface), vlan) == 0 ? 1 : 0;
}

int force2face(int fd) {
  if (fd < 1) return 0;
  return bindDescriptorToDevice(fd, nameOf(connectionActiveInterface()), connectionManagementVlan());
}

int Connection::socketError() {
  tcp_info info;
  socklen_t length = sizeof info;
  if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return -1;
  if (info.tcpi_state == TCP_CLOSE_WAIT) return -1;
  int pending = 0;
  length = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return -1;
  return pending;
}

int Connection::bindPacket(int ifIndex, const uint8_t mac[6]) {
  sockaddr_ll address;
  std::memset(&address, 0, sizeof address);
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(0x0800);
  address.sll_ifindex = ifIndex;
  address.sll_halen = 6;
  std::memcpy(address.sll_addr, mac, 6);
  static_assert(sizeof address <= IpAddress::kSize, "a link-layer address fits in local");
  local.clear(false);
  std::memcpy(local.rawBytes(), &address, sizeof address);
  if (fd < 0) return 0;
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 1 : 0;
}

int Connection::interfaceIndex() {
  // A datagram socket answers SIOCGIFINDEX as well as a raw one, without
  // needing the raw-socket privilege.
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  ifreq request;
  std::memset(&request, 0, sizeof request);
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", nameOf(iface));
  const int result = ioctl(s, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : -1;
  ::close(s);
  return result;
}

#include "net/address/gratuitousarp.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/dhcp/dhcpmessage.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/ipaddress.h"

void buildGratuitousArp(const uint8_t mac[6], uint32_t address, uint8_t out[kGratuitousArpSize]) {
  std::memset(out, 0xff, 6);
  std::memcpy(out + 6, mac, 6);
  putBe16(out + 12, ETH_P_ARP);
  putBe16(out + 14, 1);  // Ethernet
  putBe16(out + 16, ETH_P_IP);
  out[18] = 6;
  out[19] = 4;
  putBe16(out + 20, 2);  // reply
  std::memcpy(out + 22, mac, 6);
  std::memcpy(out + 28, &address, 4);
  std::memset(out + 32, 0xff, 6);
  std::memcpy(out + 38, &address, 4);
}

int sendGratuitousArp(NetInterface& nif, const IpAddress& address) {
  if (address.isIp6()) return 0;
  uint8_t mac[6] = {};
  nif.getMacAddress(mac);
  uint8_t frame[kGratuitousArpSize];
  buildGratuitousArp(mac, address.ip4Word(), frame);

  // The old packet interface takes the whole frame and an interface name.
  const int fd = ::socket(AF_INET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd < 0) {
    std::perror("Raw Socket");
    return 0;
  }
  sockaddr device;
  std::memset(&device, 0, sizeof device);
  device.sa_family = AF_INET;
  // sa_data holds the name without a terminator when it fills all 14 bytes.
  const size_t nameLength = std::strlen(nif.name());
  std::memcpy(device.sa_data, nif.name(), nameLength < sizeof device.sa_data ? nameLength : sizeof device.sa_data);
  if (::bind(fd, &device, sizeof device) != 0) {
    std::perror("bind");
    ::close(fd);
    return 0;
  }
  const ssize_t sent = ::sendto(fd, frame, sizeof frame, 0, &device, sizeof device);
  ::close(fd);
  return sent == static_cast<ssize_t>(sizeof frame) ? 1 : 0;
}

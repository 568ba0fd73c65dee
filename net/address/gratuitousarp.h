// The gratuitous ARP that announces the device's IPv4 address on the LAN.
#ifndef NET_ADDRESS_GRATUITOUSARP_H
#define NET_ADDRESS_GRATUITOUSARP_H

#include <cstdint>

class IpAddress;
class NetInterface;

constexpr int kGratuitousArpSize = 42;

// The Ethernet frame: an ARP reply to the broadcast MAC whose sender and
// target are both the address (network order).
void buildGratuitousArp(const uint8_t mac[6], uint32_t address, uint8_t out[kGratuitousArpSize]);

// Sends the frame once on the interface; 1 when sent, 0 when the socket
// cannot be made or bound (or the send fails).
int sendGratuitousArp(NetInterface& nif, const IpAddress& address);

#endif

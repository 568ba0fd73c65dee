// Reading a BOOTP/DHCP reply: whether it answers our request, and what its
// options say. Every reply comes from the LAN and is untrusted: nothing is
// read outside the received bytes, and an option is used only when its
// length fits its kind.
#ifndef NET_DHCP_DHCPREPLY_H
#define NET_DHCP_DHCPREPLY_H

#include <cstddef>
#include <cstdint>

struct DhcpMessage;

// Shortest datagram that holds the fixed fields and the cookie.
constexpr size_t kDhcpMinReply = 240;

// 1 when the datagram is a reply (op 2) with the cookie, our MAC in
// chaddr and our xid; shorter datagrams are refused.
int isReplyFor(const uint8_t* data, size_t length, const uint8_t mac[6], const uint8_t xid[4]);

// Option 53 of the reply, or 0 when absent, malformed or the reply is
// too short.
int getDhcpMessageType(const uint8_t* data, size_t length);

// What a reply offers. Addresses are network-order words, 0 = not given.
struct DhcpReplyInfo {
  uint32_t yiaddr = 0;
  uint32_t siaddr = 0;
  uint32_t giaddr = 0;
  uint32_t netmask = 0;
  uint32_t router = 0;
  uint32_t serverId = 0;
  bool hasNameServers = false;
  uint32_t dnsPrimary = 0;
  uint32_t dnsSecondary = 0;  // 0 when the option holds one server
  bool hasHostName = false;
  char hostName[64] = {};  // cut to 63 bytes
  bool hasDomain = false;
  char domain[256] = {};
  bool hasNtpServer = false;
  uint32_t ntpServer = 0;
  bool hasLease = false;
  uint32_t leaseRaw = 0;  // option 51 as sent
  uint32_t t1Raw = 0;     // options 58 and 59 as sent, 0 = absent
  uint32_t t2Raw = 0;
  int messageType = 0;
};

// The fixed fields and the options of a reply of at least kDhcpMinReply
// bytes; 0 for a shorter one. The walk ends at the end mark, at the end of
// the data, or at the first option whose length runs past the data.
int parseDhcpReply(const uint8_t* data, size_t length, DhcpReplyInfo& out);

// Lease timers in seconds after the clamps: an infinite lease (all bits
// set) is 0; leases are at most 2^25 s, renewal and rebinding times at
// most 2^24 s. Unless 0 < t1 < t2 < lease they become 1/2 and 7/8 of the
// lease. With an infinite lease all three are 0.
struct DhcpLeaseTimes {
  uint32_t lease;
  uint32_t t1;
  uint32_t t2;
};
DhcpLeaseTimes dhcpLeaseTimes(uint32_t leaseRaw, uint32_t t1Raw, uint32_t t2Raw);

#endif

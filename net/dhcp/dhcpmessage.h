// The BOOTP/DHCP message of RFC 2131 and the IPv4/UDP frame the client
// sends it in on a link-layer socket (it has no usable address yet, so the
// kernel's UDP cannot send for it).
#ifndef NET_DHCP_DHCPMESSAGE_H
#define NET_DHCP_DHCPMESSAGE_H

#include <cstddef>
#include <cstdint>

#include "runtime/bytes/byteorder.h"

constexpr int kDhcpMessageSize = 548;
constexpr int kDhcpOptionsOffset = 240;
constexpr int kDhcpOptionsSize = kDhcpMessageSize - kDhcpOptionsOffset;  // 308
constexpr int kDhcpFrameSize = 576;  // IPv4 header, UDP header, message
constexpr int kDhcpServerPort = 67;
constexpr int kDhcpClientPort = 68;

// Option codes the client writes or reads.
enum DhcpOption : uint8_t {
  kOptPad = 0,
  kOptNetmask = 1,
  kOptRouter = 3,
  kOptNameServer = 6,
  kOptHostName = 12,
  kOptDomain = 15,
  kOptNtpServer = 42,
  kOptRequestedAddress = 50,
  kOptLeaseTime = 51,
  kOptMessageType = 53,
  kOptServerId = 54,
  kOptRequestList = 55,
  kOptRenewalTime = 58,
  kOptRebindingTime = 59,
  kOptClientId = 61,
  kOptEnd = 255,
};

// Values of option 53.
enum DhcpMessageType {
  kDhcpDiscover = 1,
  kDhcpOffer = 2,
  kDhcpRequest = 3,
  kDhcpDecline = 4,
  kDhcpAck = 5,
  kDhcpNak = 6,
};

// Wire layout; multi-byte fields are big-endian byte arrays, so the
// struct has no padding and may be sent as it is.
struct DhcpMessage {
  uint8_t op;
  uint8_t htype;
  uint8_t hlen;
  uint8_t hops;
  uint8_t xid[4];
  uint8_t secs[2];
  uint8_t flags[2];
  uint8_t ciaddr[4];
  uint8_t yiaddr[4];
  uint8_t siaddr[4];
  uint8_t giaddr[4];
  uint8_t chaddr[16];
  uint8_t sname[64];
  uint8_t file[128];
  uint8_t cookie[4];
  uint8_t options[kDhcpOptionsSize];
};
static_assert(sizeof(DhcpMessage) == kDhcpMessageSize, "DhcpMessage is the 548-byte wire message");

extern const uint8_t kDhcpMagicCookie[4];  // 99.130.83.99

// Clears the message and sets op 1, Ethernet, broadcast flag, the MAC in
// chaddr and the cookie.
void initDhcpMessage(DhcpMessage& message, const uint8_t mac[6]);

// RFC 1071 sum of length bytes, folded to 16 bits, not complemented, in
// the byte order of the data (data may start at any address).
uint16_t computeInternetChecksum(const void* data, size_t length);

// Appends options to a message's option area; never writes past it (an
// option that does not fit, with room for the end mark, is left out).
class DhcpOptionWriter {
 public:
  explicit DhcpOptionWriter(DhcpMessage& message);  // clears all 308 bytes
  bool add(uint8_t code, const void* value, size_t length);
  bool addByte(uint8_t code, uint8_t value);
  bool addWord(uint8_t code, uint32_t networkOrderWord);
  void end();  // writes the end mark
  size_t used() const { return used_; }

 private:
  DhcpMessage& message_;
  size_t used_ = 0;
};

// Builds the IPv4/UDP frame from 0.0.0.0:68 to 255.255.255.255:67 around
// the message: out gets kDhcpFrameSize bytes with both checksums.
void buildDhcpFrame(const DhcpMessage& message, uint8_t out[kDhcpFrameSize]);

#endif

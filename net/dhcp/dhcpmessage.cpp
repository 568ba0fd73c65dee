#include "net/dhcp/dhcpmessage.h"

#include <cstring>

const uint8_t kDhcpMagicCookie[4] = {99, 130, 83, 99};

void initDhcpMessage(DhcpMessage& message, const uint8_t mac[6]) {
  std::memset(&message, 0, sizeof message);
  message.op = 1;
  message.htype = 1;
  message.hlen = 6;
  putBe16(message.flags, 0x8000);
  std::memcpy(message.chaddr, mac, 6);
  std::memcpy(message.cookie, kDhcpMagicCookie, 4);
}

uint16_t computeInternetChecksum(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += (static_cast<uint32_t>(bytes[i]) << 8) | bytes[i + 1];
  if (i < length) sum += static_cast<uint32_t>(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

DhcpOptionWriter::DhcpOptionWriter(DhcpMessage& message) : message_(message) {
  std::memset(message_.options, 0, sizeof message_.options);
}

bool DhcpOptionWriter::add(uint8_t code, const void* value, size_t length) {
  // One byte stays free for the end mark.
  if (length > 255 || used_ + 2 + length + 1 > sizeof message_.options) return false;
  message_.options[used_++] = code;
  message_.options[used_++] = static_cast<uint8_t>(length);
  if (length) std::memcpy(message_.options + used_, value, length);
  used_ += length;
  return true;
}

bool DhcpOptionWriter::addByte(uint8_t code, uint8_t value) { return add(code, &value, 1); }

bool DhcpOptionWriter::addWord(uint8_t code, uint32_t networkOrderWord) { return add(code, &networkOrderWord, 4); }

void DhcpOptionWriter::end() {
  if (used_ < sizeof message_.options) message_.options[used_++] = kOptEnd;
}

void buildDhcpFrame(const DhcpMessage& message, uint8_t out[kDhcpFrameSize]) {
  constexpr int kUdpLength = kDhcpFrameSize - 20;
  std::memset(out, 0, 28);
  std::memcpy(out + 28, &message, sizeof message);
  uint8_t* ip = out;
  uint8_t* udp = out + 20;
  putBe16(udp + 0, kDhcpClientPort);
  putBe16(udp + 2, kDhcpServerPort);
  putBe16(udp + 4, kUdpLength);
  // The pseudo-header first, in the zeroed IPv4 header: source 0.0.0.0,
  // destination 255.255.255.255, protocol and UDP length.
  std::memset(ip + 16, 0xff, 4);
  ip[9] = 17;
  putBe16(ip + 10, kUdpLength);
  uint16_t udpSum = static_cast<uint16_t>(~computeInternetChecksum(ip + 8, kDhcpFrameSize - 8));
  if (udpSum == 0) udpSum = 0xffff;  // 0 would mean "no checksum"
  putBe16(udp + 6, udpSum);
  // Then the real IPv4 header.
  ip[0] = 0x45;
  ip[1] = 0;
  putBe16(ip + 2, kDhcpFrameSize);
  std::memset(ip + 4, 0, 4);
  ip[8] = 64;
  ip[9] = 17;
  putBe16(ip + 10, 0);
  putBe16(ip + 10, static_cast<uint16_t>(~computeInternetChecksum(ip, 20)));
}

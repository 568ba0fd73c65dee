// Which echo requests may give the device its address: only those sent to
// its own MAC, to a usable host address, parsed within the received bytes.
#include <arpa/inet.h>
#include <linux/if_packet.h>

#include <cstring>
#include <vector>

#include "net/address/arppingaddress.h"

#include <gtest/gtest.h>

namespace {

uint32_t ip(const char* text) {
  in_addr a;
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// An IPv4 packet with ICMP of the given type to destination; options adds
// that many 4-byte words of IPv4 options.
std::vector<uint8_t> echo(const char* destination, uint8_t icmpType = 8, int optionWords = 0) {
  const size_t header = 20 + 4 * optionWords;
  std::vector<uint8_t> p(header + 8 + 56, 0);
  p[0] = static_cast<uint8_t>(0x40 | (header / 4));
  p[8] = 64;
  p[9] = 1;
  const uint32_t src = ip("192.168.1.2"), dst = ip(destination);
  std::memcpy(p.data() + 12, &src, 4);
  std::memcpy(p.data() + 16, &dst, 4);
  for (int i = 0; i < optionWords; ++i) p[20 + 4 * i] = 1;  // NOP options
  p[header] = icmpType;
  return p;
}

TEST(AssignableAddress, OnlyUsableHostAddressesAreTaken) {
  struct Case {
    const char* address;
    int assignable;
  } cases[] = {
      {"192.168.1.20", 1}, {"10.0.0.1", 1}, {"172.16.5.0", 1}, {"223.255.254.1", 1},
      {"0.1.2.3", 0},      {"127.0.0.1", 0}, {"224.0.0.1", 0},  {"239.1.1.1", 0},
      {"240.0.0.1", 0},    {"255.255.255.255", 0}, {"192.168.1.255", 0}, {"169.254.7.7", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(isAssignableIp4Address(ip(c.address)), c.assignable) << c.address;
}

TEST(EchoRequestTarget, TakesOnlyEchoRequestsToThisHost) {
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
    int packetType;
    size_t cut;  // bytes handed over, 0 = all
    int taken;
  } cases[] = {
      {"echo request to a host address", echo("192.168.1.20"), PACKET_HOST, 0, 1},
      {"the same in a broadcast frame (a /25's .127)", echo("192.168.1.127"), PACKET_BROADCAST, 0, 0},
      {"the same in a multicast frame", echo("192.168.1.20"), PACKET_MULTICAST, 0, 0},
      {"a frame for another host", echo("192.168.1.20"), PACKET_OTHERHOST, 0, 0},
      {"echo reply", echo("192.168.1.20", 0), PACKET_HOST, 0, 0},
      {"to 127.0.0.1", echo("127.0.0.1"), PACKET_HOST, 0, 0},
      {"to 224.0.0.1", echo("224.0.0.1"), PACKET_HOST, 0, 0},
      {"to 192.168.1.255", echo("192.168.1.255"), PACKET_HOST, 0, 0},
      {"to 169.254.7.7", echo("169.254.7.7"), PACKET_HOST, 0, 0},
      {"with IPv4 options", echo("192.168.1.20", 8, 2), PACKET_HOST, 0, 1},
      // With options, byte 20 holds an option, not the ICMP type.
      {"options hide a non-echo", echo("192.168.1.20", 0, 1), PACKET_HOST, 0, 0},
      {"cut before the ICMP type", echo("192.168.1.20", 8, 2), PACKET_HOST, 28, 0},
      {"only the header", echo("192.168.1.20"), PACKET_HOST, 20, 0},
      {"shorter than a header", echo("192.168.1.20"), PACKET_HOST, 19, 0},
  };
  for (const Case& c : cases) {
    uint32_t target = 0;
    const size_t length = c.cut ? c.cut : c.packet.size();
    EXPECT_EQ(echoRequestTarget(c.packet.data(), length, c.packetType, &target), c.taken) << c.what;
    if (c.taken) {
      uint32_t expected;
      std::memcpy(&expected, c.packet.data() + 16, 4);
      EXPECT_EQ(target, expected) << c.what;
    }
  }
  // A header length below 5 words or a non-IPv4 version is refused.
  std::vector<uint8_t> bad = echo("192.168.1.20");
  bad[0] = 0x44;
  EXPECT_EQ(echoRequestTarget(bad.data(), bad.size(), PACKET_HOST, nullptr), 0);
  bad[0] = 0x65;
  EXPECT_EQ(echoRequestTarget(bad.data(), bad.size(), PACKET_HOST, nullptr), 0);
}

}  // namespace

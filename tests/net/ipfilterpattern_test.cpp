// Source address patterns of the packet filter.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "net/filter/ipfilterpattern.h"

namespace {

std::string dotted(uint32_t word) {
  in_addr a{word};
  return inet_ntoa(a);
}

TEST(IpFilterPattern, PatternsGiveAddressMaskAndUsability) {
  struct Case {
    const char* pattern;
    int usable;
    const char* address;
    const char* mask;
  } cases[] = {
      {"192.168.1.*", 1, "192.168.1.0", "255.255.255.0"},
      {"192.168.*", 1, "192.168.0.0", "255.255.0.0"},
      {"10.*.*.*", 1, "10.0.0.0", "255.0.0.0"},
      {"10.1.2.3", 1, "10.1.2.3", "255.255.255.255"},
      // Every octet a wildcard: every source.
      {"*", 1, "0.0.0.0", "0.0.0.0"},
      // Too few octets without a wildcard.
      {"10.1", 0, "0.0.0.0", "0.0.0.0"},
      {"", 0, "0.0.0.0", "0.0.0.0"},
      {"host.example", 0, "0.0.0.0", "0.0.0.0"},
      // Octets outside 0..255 never wrap into another network.
      {"300.1.1.1", 0, "0.0.0.0", "0.0.0.0"},
      {"192.168.256.*", 0, "0.0.0.0", "0.0.0.0"},
      {"-1.2.3.4", 0, "0.0.0.0", "0.0.0.0"},
      {"4294967488.1.1.1", 0, "0.0.0.0", "0.0.0.0"},
  };
  for (const Case& c : cases) {
    uint32_t address = 0xdeadbeef;
    uint32_t mask = 0xdeadbeef;
    EXPECT_EQ(parseIpFilterPattern(c.pattern, &address, &mask, nullptr), c.usable) << c.pattern;
    EXPECT_EQ(dotted(address), c.address) << c.pattern;
    EXPECT_EQ(dotted(mask), c.mask) << c.pattern;
  }
}

TEST(IpFilterPattern, DescriptionShowsAddressAndMask) {
  char description[kIpFilterDescriptionSize];
  uint32_t address = 0;
  uint32_t mask = 0;
  ASSERT_EQ(parseIpFilterPattern("192.168.*", &address, &mask, description), 1);
  EXPECT_STREQ(description, " IpAddr:192.168.0.0  IpMask:255.255.0.0 ");
  ASSERT_EQ(parseIpFilterPattern("255.255.255.255", nullptr, nullptr, description), 1);
  EXPECT_STREQ(description, " IpAddr:255.255.255.255  IpMask:255.255.255.255 ");
  EXPECT_EQ(parseIpFilterPattern(nullptr, nullptr, nullptr, description), 0);
  EXPECT_STREQ(description, " IpAddr:0.0.0.0  IpMask:0.0.0.0 ");
}

}  // namespace

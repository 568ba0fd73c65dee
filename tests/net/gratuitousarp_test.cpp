// The gratuitous ARP frame.
#include <arpa/inet.h>

#include <vector>

#include "net/address/gratuitousarp.h"

#include <gtest/gtest.h>

namespace {

TEST(GratuitousArp, AnnouncesTheAddressAsSenderAndTarget) {
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  in_addr address;
  inet_pton(AF_INET, "192.168.1.20", &address);
  uint8_t frame[kGratuitousArpSize];
  buildGratuitousArp(mac, address.s_addr, frame);
  const std::vector<uint8_t> expected = {
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x08, 0x06,  // Ethernet
      0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x02,                                      // ARP reply
      0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 192,  168,  1,    20,                            // sender
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 192,  168,  1,    20,                            // target
  };
  EXPECT_EQ(std::vector<uint8_t>(frame, frame + sizeof frame), expected);
}

}  // namespace

// The DHCP message, its option writer and the IPv4/UDP frame around it.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "net/dhcp/dhcpmessage.h"

#include <gtest/gtest.h>

namespace {

const uint8_t kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

TEST(InternetChecksum, FoldsCarriesAndPadsAnOddTail) {
  // The example of RFC 1071 section 3: sum ddf2 before the complement.
  const uint8_t rfcExample[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(computeInternetChecksum(rfcExample, sizeof rfcExample), 0xddf2);
  // An odd last byte counts as the high byte of a word.
  const uint8_t odd[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(computeInternetChecksum(odd, sizeof odd), 0x1234 + 0x5600);
  // Data at an odd address gives the same sum.
  std::vector<uint8_t> shifted(sizeof rfcExample + 1);
  std::memcpy(shifted.data() + 1, rfcExample, sizeof rfcExample);
  EXPECT_EQ(computeInternetChecksum(shifted.data() + 1, sizeof rfcExample), 0xddf2);
  // Many carries: all-ones words fold to ffff.
  std::vector<uint8_t> ones(1000, 0xff);
  EXPECT_EQ(computeInternetChecksum(ones.data(), ones.size()), 0xffff);
}

TEST(DhcpMessage, InitialisedAsABroadcastRequestOfTheMac) {
  DhcpMessage m;
  std::memset(&m, 0xaa, sizeof m);
  initDhcpMessage(m, kMac);
  EXPECT_EQ(m.op, 1);
  EXPECT_EQ(m.htype, 1);
  EXPECT_EQ(m.hlen, 6);
  EXPECT_EQ(m.flags[0], 0x80);
  EXPECT_EQ(0, std::memcmp(m.chaddr, kMac, 6));
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<const uint8_t*>(&m) + 236, kDhcpMagicCookie, 4));
  const uint8_t zero[kDhcpOptionsSize] = {};
  EXPECT_EQ(0, std::memcmp(m.options, zero, sizeof zero));
}

TEST(DhcpOptionWriter, ClearsEveryOptionByteAndNeverOverflows) {
  DhcpMessage m;
  initDhcpMessage(m, kMac);
  std::memset(m.options, 0x77, sizeof m.options);  // an earlier message's tail
  {
    DhcpOptionWriter w(m);
    w.addByte(kOptMessageType, kDhcpDiscover);
    w.end();
    EXPECT_EQ(w.used(), 4u);
  }
  EXPECT_EQ(m.options[3], kOptEnd);
  for (size_t i = 4; i < sizeof m.options; ++i) ASSERT_EQ(m.options[i], 0) << i;
  EXPECT_EQ(0, std::memcmp(m.cookie, kDhcpMagicCookie, 4)) << "the cookie stays";

  DhcpOptionWriter w(m);
  const uint8_t big[255] = {};
  EXPECT_TRUE(w.add(kOptHostName, big, 255));
  EXPECT_FALSE(w.add(kOptDomain, big, 255)) << "does not fit any more";
  EXPECT_TRUE(w.add(kOptDomain, big, 46));  // 257 + 48 + end = 306
  EXPECT_FALSE(w.add(kOptPad + 7, big, 1)) << "the last byte stays for the end mark";
  w.end();
  EXPECT_LE(w.used(), sizeof m.options);
}

TEST(DhcpFrame, CarriesTheMessageWithValidChecksums) {
  DhcpMessage m;
  initDhcpMessage(m, kMac);
  putBe32(m.xid, 0x01020304);
  DhcpOptionWriter w(m);
  w.addByte(kOptMessageType, kDhcpDiscover);
  w.end();
  uint8_t frame[kDhcpFrameSize];
  buildDhcpFrame(m, frame);

  EXPECT_EQ(frame[0], 0x45);
  EXPECT_EQ((frame[2] << 8) | frame[3], kDhcpFrameSize);
  EXPECT_EQ(frame[8], 64);
  EXPECT_EQ(frame[9], 17);
  const uint8_t zero[4] = {0, 0, 0, 0}, ones[4] = {0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(0, std::memcmp(frame + 12, zero, 4));
  EXPECT_EQ(0, std::memcmp(frame + 16, ones, 4));
  EXPECT_EQ((frame[20] << 8) | frame[21], 68);
  EXPECT_EQ((frame[22] << 8) | frame[23], 67);
  EXPECT_EQ((frame[24] << 8) | frame[25], 556);
  EXPECT_EQ(0, std::memcmp(frame + 28, &m, sizeof m));

  // A header with its checksum sums to ffff.
  EXPECT_EQ(computeInternetChecksum(frame, 20), 0xffff);
  // So does the UDP part with the pseudo-header.
  std::vector<uint8_t> pseudo(12 + 556);
  std::memcpy(pseudo.data(), frame + 12, 8);
  pseudo[9] = 17;
  pseudo[10] = 556 >> 8;
  pseudo[11] = 556 & 0xff;
  std::memcpy(pseudo.data() + 12, frame + 20, 556);
  EXPECT_EQ(computeInternetChecksum(pseudo.data(), pseudo.size()), 0xffff);
}

}  // namespace

// SNTP request bytes and the checks of a server's reply.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/time/sntppacket.h"

namespace {

std::vector<uint8_t> reply(uint8_t first, uint8_t stratum, uint32_t seconds) {
  std::vector<uint8_t> r(kSntpPacketSize, 0);
  r[0] = first;
  r[1] = stratum;
  r[40] = static_cast<uint8_t>(seconds >> 24);
  r[41] = static_cast<uint8_t>(seconds >> 16);
  r[42] = static_cast<uint8_t>(seconds >> 8);
  r[43] = static_cast<uint8_t>(seconds);
  return r;
}

TEST(SntpPacket, RequestIsVersionOneClientWithPollFour) {
  uint8_t request[kSntpPacketSize];
  std::memset(request, 0xff, sizeof request);
  buildSntpRequest(request);
  uint8_t expected[kSntpPacketSize] = {0x0B, 0, 4};
  EXPECT_EQ(std::memcmp(request, expected, sizeof request), 0);
}

TEST(SntpPacket, RepliesAreCheckedBeforeTheirTimeIsUsed) {
  const uint32_t y2026 = static_cast<uint32_t>(1790000000LL + kNtpToUnixSeconds);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    SntpReplyCheck check;
  } cases[] = {
      {"server, version 1", reply(0x0C, 2, y2026), SntpReplyCheck::Good},
      {"server, version 4, leap 1", reply(0x64, 15, y2026), SntpReplyCheck::Good},
      {"client mode", reply(0x0B, 2, y2026), SntpReplyCheck::NotServer},
      {"broadcast mode", reply(0x25, 2, y2026), SntpReplyCheck::NotServer},
      {"leap 3", reply(0xE4, 2, y2026), SntpReplyCheck::Unsynchronised},
      {"kiss-o'-death", reply(0x24, 0, y2026), SntpReplyCheck::BadStratum},
      {"stratum 16", reply(0x24, 16, y2026), SntpReplyCheck::BadStratum},
      {"zero transmit time", reply(0x24, 2, 0), SntpReplyCheck::NoTime},
  };
  for (const Case& c : cases) {
    int64_t seconds = -1;
    EXPECT_EQ(checkSntpReply(c.bytes.data(), c.bytes.size(), &seconds), c.check) << c.what;
    if (c.check == SntpReplyCheck::Good) {
      EXPECT_EQ(seconds, 1790000000LL) << c.what;
    }
  }
}

TEST(SntpPacket, OnlyFortyEightBytesAreAReply) {
  std::vector<uint8_t> big = reply(0x24, 2, 0xE0000000u);
  big.push_back(0);
  int64_t seconds = 0;
  EXPECT_EQ(checkSntpReply(big.data(), 47, &seconds), SntpReplyCheck::BadSize);
  EXPECT_EQ(checkSntpReply(big.data(), 49, &seconds), SntpReplyCheck::BadSize);
  EXPECT_EQ(checkSntpReply(nullptr, 48, &seconds), SntpReplyCheck::BadSize);
}

TEST(SntpPacket, TimesAfter2036AreReadInTheNextEra) {
  // 2040-01-01 00:00:00 UTC lies past the wrap of the 32-bit NTP seconds.
  const int64_t unix2040 = 2208988800LL;
  const uint32_t word = static_cast<uint32_t>((unix2040 + kNtpToUnixSeconds) & 0xffffffffLL);
  std::vector<uint8_t> r = reply(0x24, 1, word);
  int64_t seconds = 0;
  ASSERT_EQ(checkSntpReply(r.data(), r.size(), &seconds), SntpReplyCheck::Good);
  EXPECT_EQ(seconds, unix2040);
}

}  // namespace

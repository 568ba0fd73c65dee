// ZeroConf addresses: range, determinism per MAC and the sequence of
// further generations.
#include <arpa/inet.h>

#include <random>
#include <set>
#include <string>

#include "net/address/zeroconf.h"
#include "net/interface/netinterface.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"

namespace {

std::string text(uint32_t word) {
  IpAddress value;
  value.fromIp4Word(word);
  return ipText(value);
}

TEST(ZeroconfSequence, KnownMacsGiveTheirFixedSequences) {
  struct Case {
    uint8_t mac[6];
    const char* sequence[3];
  } cases[] = {
      {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {"169.254.246.36", "169.254.104.184", "169.254.168.33"}},
      // Bytes above 127 count as negative values.
      {{0x02, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5}, {"169.254.187.245", "169.254.117.193", "169.254.122.37"}},
  };
  for (const Case& c : cases) {
    uint32_t word = 0;
    for (const char* expected : c.sequence) {
      word = nextZeroconfWord(c.mac, word);
      EXPECT_EQ(text(word), expected);
    }
  }
}

TEST(ZeroconfSequence, EveryAddressLiesInTheUsableLinkLocalRange) {
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    uint8_t mac[6];
    for (uint8_t& byte : mac) byte = static_cast<uint8_t>(random());
    uint32_t word = round % 2 ? 0 : htonl(0xa9fe0000u | (random() & 0xffff));
    for (int step = 0; step < 5; ++step) {
      word = nextZeroconfWord(mac, word);
      const uint32_t host = ntohl(word);
      ASSERT_EQ(host >> 16, 0xa9feu);
      const uint32_t y = (host >> 8) & 0xff;
      const uint32_t x = host & 0xff;
      ASSERT_GE(y, 1u);
      ASSERT_LE(y, 253u);
      ASSERT_GE(x, 1u);
      ASSERT_LE(x, 253u);
    }
  }
}

TEST(ZeroconfSequence, FirstByteOfTheMacIsNotUsed) {
  uint8_t a[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  uint8_t b[6] = {0xfe, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(nextZeroconfWord(a, 0), nextZeroconfWord(b, 0));
  uint8_t c[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
  EXPECT_NE(nextZeroconfWord(a, 0), nextZeroconfWord(c, 0));
}

TEST(ZeroconfSequence, SequenceDoesNotRepeatItsStartAtOnce) {
  std::mt19937 random(777);
  for (int round = 0; round < 200; ++round) {
    uint8_t mac[6];
    for (uint8_t& byte : mac) byte = static_cast<uint8_t>(random());
    const uint32_t first = nextZeroconfWord(mac, 0);
    const uint32_t second = nextZeroconfWord(mac, first);
    EXPECT_NE(first, second);
  }
}

using ZeroconfInterfaceTest = NetworkTest;

TEST_F(ZeroconfInterfaceTest, AddressFollowsTheInterfaceMacAndAdvances) {
  ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 address 00:11:22:33:44:55"));
  const uint32_t saved = zeroconfState();
  setZeroconfState(0);
  IpAddress first;
  IpAddress second;
  makeZeroconfAddress(first, nif_);
  EXPECT_STREQ(ipText(first), "169.254.246.36");
  EXPECT_EQ(zeroconfState(), first.ip4Word());
  makeZeroconfAddress(second, nif_);
  EXPECT_STREQ(ipText(second), "169.254.104.184");
  EXPECT_EQ(second.isLinkLocal4(), 1);

  // A fresh start yields the same first address again.
  setZeroconfState(0);
  IpAddress again;
  makeZeroconfAddress(again, nif_);
  EXPECT_TRUE(again.equals(first));
  setZeroconfState(saved);
}

}  // namespace

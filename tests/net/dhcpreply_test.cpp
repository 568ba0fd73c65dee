// Reading replies: which are taken, what each option gives, and the lease
// timers. Replies come from the LAN: short, overrunning and odd-length
// options must never be read past the datagram.
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/dhcp/dhcpmessage.h"
#include "net/dhcp/dhcpreply.h"

#include <gtest/gtest.h>

namespace {

const uint8_t kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kXid[4] = {0xde, 0xad, 0xbe, 0xef};

// A reply of the fixed part plus the given option bytes (no end mark
// added), with exactly that many bytes in the vector.
std::vector<uint8_t> reply(const std::vector<uint8_t>& options) {
  std::vector<uint8_t> r(240);
  r[0] = 2;
  r[1] = 1;
  r[2] = 6;
  std::memcpy(r.data() + 4, kXid, 4);
  std::memcpy(r.data() + 28, kMac, 6);
  std::memcpy(r.data() + 236, kDhcpMagicCookie, 4);
  const uint8_t yiaddr[4] = {10, 0, 0, 5};
  std::memcpy(r.data() + 16, yiaddr, 4);
  for (uint8_t byte : options) r.push_back(byte);
  return r;
}

uint32_t ip(const char* text) {
  in_addr a;
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(DhcpReplyAcceptance, OnlyRepliesToOurRequestAreTaken) {
  struct Case {
    const char* what;
    size_t offset;   // byte to change, or 0 for none
    uint8_t value;
    size_t length;   // bytes handed over
    int taken;
  } cases[] = {
      {"a matching reply", 0, 2, 240, 1},
      {"239 bytes", 0, 2, 239, 0},
      {"op 1 (a request)", 0, 1, 240, 0},
      {"another xid", 7, 0xee, 240, 0},
      {"another chaddr", 33, 0x56, 240, 0},
      {"a wrong cookie", 239, 0x64, 240, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> r = reply({kOptEnd});
    r[c.offset] = c.value;
    EXPECT_EQ(isReplyFor(r.data(), c.length, kMac, kXid), c.taken) << c.what;
  }
  // A short datagram in a larger buffer holding an old good reply is still
  // refused: only the received length counts.
  std::vector<uint8_t> stale = reply({kOptEnd});
  EXPECT_EQ(isReplyFor(stale.data(), 100, kMac, kXid), 0);
}

TEST(DhcpReplyOptions, EachOptionIsUsedOnlyWhenItsLengthFits) {
  struct Case {
    const char* what;
    std::vector<uint8_t> options;
    uint32_t dnsPrimary, dnsSecondary;
    bool hasNameServers;
    uint32_t netmask, router, serverId;
  } cases[] = {
      {"option 6 with two servers", {6, 8, 10, 0, 0, 53, 10, 0, 0, 54, 255}, ip("10.0.0.53"), ip("10.0.0.54"), true, 0, 0, 0},
      {"option 6 of length 4 clears the second", {6, 4, 10, 0, 0, 53, 255}, ip("10.0.0.53"), 0, true, 0, 0, 0},
      {"option 6 of length 5: no second server", {6, 5, 10, 0, 0, 53, 9, 255}, ip("10.0.0.53"), 0, true, 0, 0, 0},
      {"option 6 of length 3 is ignored", {6, 3, 10, 0, 0, 255}, 0, 0, false, 0, 0, 0},
      {"netmask, router, server id",
       {1, 4, 255, 255, 255, 0, 3, 8, 10, 0, 0, 1, 10, 0, 0, 2, 54, 4, 10, 0, 0, 9, 255},
       0, 0, false, ip("255.255.255.0"), ip("10.0.0.1"), ip("10.0.0.9")},
      {"short address options are ignored", {1, 2, 255, 255, 3, 0, 54, 3, 1, 2, 3, 255}, 0, 0, false, 0, 0, 0},
      {"pads are skipped", {0, 0, 0, 1, 4, 255, 0, 0, 0, 255}, 0, 0, false, ip("255.0.0.0"), 0, 0},
      {"an option running past the end ends the walk", {1, 4, 255, 255, 255, 0, 3, 9, 10, 0, 0, 1}, 0, 0, false, ip("255.255.255.0"), 0, 0},
      {"a code without its length byte", {1, 4, 255, 255, 255, 0, 3}, 0, 0, false, ip("255.255.255.0"), 0, 0},
      {"nothing after the end mark", {255, 1, 4, 255, 255, 255, 0}, 0, 0, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> r = reply(c.options);
    DhcpReplyInfo info;
    ASSERT_EQ(parseDhcpReply(r.data(), r.size(), info), 1) << c.what;
    EXPECT_EQ(info.hasNameServers, c.hasNameServers) << c.what;
    EXPECT_EQ(info.dnsPrimary, c.dnsPrimary) << c.what;
    EXPECT_EQ(info.dnsSecondary, c.dnsSecondary) << c.what;
    EXPECT_EQ(info.netmask, c.netmask) << c.what;
    EXPECT_EQ(info.router, c.router) << c.what;
    EXPECT_EQ(info.serverId, c.serverId) << c.what;
    EXPECT_EQ(info.yiaddr, ip("10.0.0.5")) << c.what;
  }
}

TEST(DhcpReplyOptions, TimesAndTypeNeedTheirExactLength) {
  struct Case {
    const char* what;
    std::vector<uint8_t> options;
    bool hasLease;
    uint32_t lease, t1, t2;
    int type;
  } cases[] = {
      {"lease, T1, T2, ACK",
       {53, 1, 5, 51, 4, 0, 0, 0x0e, 0x10, 58, 4, 0, 0, 0, 100, 59, 4, 0, 0, 1, 0, 255}, true, 3600, 100, 256, 5},
      {"a 5-byte lease is ignored", {51, 5, 0, 0, 0x0e, 0x10, 0, 255}, false, 0, 0, 0, 0},
      {"a 3-byte T1 is ignored", {58, 3, 0, 0, 100, 255}, false, 0, 0, 0, 0},
      {"an empty message type is ignored", {53, 0, 255}, false, 0, 0, 0, 0},
      {"a longer message type uses its first byte", {53, 2, 6, 9, 255}, false, 0, 0, 0, 6},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> r = reply(c.options);
    DhcpReplyInfo info;
    parseDhcpReply(r.data(), r.size(), info);
    EXPECT_EQ(info.hasLease, c.hasLease) << c.what;
    EXPECT_EQ(info.leaseRaw, c.lease) << c.what;
    EXPECT_EQ(info.t1Raw, c.t1) << c.what;
    EXPECT_EQ(info.t2Raw, c.t2) << c.what;
    EXPECT_EQ(info.messageType, c.type) << c.what;
    EXPECT_EQ(getDhcpMessageType(r.data(), r.size()), c.type) << c.what;
  }
  // The type walk stops at an overrun, too: the 53 behind it is not seen.
  const std::vector<uint8_t> overrun = reply({12, 200, 'a', 53, 1, 5});
  EXPECT_EQ(getDhcpMessageType(overrun.data(), overrun.size()), 0);
  EXPECT_EQ(getDhcpMessageType(overrun.data(), 239), 0);
}

TEST(DhcpReplyOptions, NamesAreCutAndTerminated) {
  std::vector<uint8_t> options = {12, 70};
  options.insert(options.end(), 70, 'h');
  options.insert(options.end(), {15, 8, 'e', 'x', '.', 't', 'e', 's', 't', '!', 255});
  const std::vector<uint8_t> r = reply(options);
  DhcpReplyInfo info;
  parseDhcpReply(r.data(), r.size(), info);
  EXPECT_TRUE(info.hasHostName);
  EXPECT_EQ(std::string(info.hostName), std::string(63, 'h'));
  EXPECT_EQ(std::string(info.domain), "ex.test!");
  EXPECT_EQ(parseDhcpReply(r.data(), 239, info), 0);
  EXPECT_FALSE(info.hasHostName);
}

TEST(DhcpLeaseTimes, TimersAreClampedAndOrdered) {
  struct Case {
    const char* what;
    uint32_t lease, t1, t2;
    uint32_t wantLease, wantT1, wantT2;
  } cases[] = {
      {"defaults of a 3600 s lease", 3600, 0, 0, 3600, 1800, 3150},
      {"given timers", 3600, 600, 900, 3600, 600, 900},
      {"infinite lease", 0xffffffffu, 600, 900, 0, 0, 0},
      {"lease of 2^26 s becomes 2^25", 1u << 26, 0, 0, 1u << 25, 1u << 24, 29360128},
      {"T1 above T2", 3600, 3000, 2000, 3600, 1800, 3150},
      {"T1 equal to T2", 3600, 2000, 2000, 3600, 1800, 3150},
      {"T2 above the lease", 3600, 600, 4000, 3600, 1800, 3150},
      {"only T1 given", 3600, 600, 0, 3600, 1800, 3150},
      // About 284 days with a small renewal time: still within the clamps.
      {"long lease, small T1", 24537600, 60, 120, 24537600, 60, 120},
      {"huge T1 and T2 against a long lease", 1u << 25, 0xfffffff0u, 0xfffffff8u, 1u << 25, 1u << 24, 29360128},
  };
  for (const Case& c : cases) {
    const DhcpLeaseTimes t = dhcpLeaseTimes(c.lease, c.t1, c.t2);
    EXPECT_EQ(t.lease, c.wantLease) << c.what;
    EXPECT_EQ(t.t1, c.wantT1) << c.what;
    EXPECT_EQ(t.t2, c.wantT2) << c.what;
    if (t.lease) {
      EXPECT_LT(t.t1, t.t2) << c.what;
      EXPECT_LT(t.t2, t.lease) << c.what;
    }
  }
}

}  // namespace

// The IPv6 route list of the IPv6 page, from route table files and from
// the kernel's table of a private namespace.
#include <string>

#include "net/interface/ipv6routes.h"
#include "net/support/netfixture.h"

#include <gtest/gtest.h>

namespace {

std::string fixture(const char* name) { return std::string(TEST_SOURCE_DIR) + "/tests/fixtures/ipv6_route/" + name; }

TEST(Ipv6Routes, UpRoutesOfTheInterfaceInTableOrder) {
  const Ipv6RouteList list = listIpv6Routes("eth0", fixture("two_up_routes").c_str());
  EXPECT_TRUE(list.complete);
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.rows[0], "fd00::/64 </td><td> ::");
  EXPECT_EQ(list.rows[1], "2001:db8:1::/48 </td><td> fe80::1");
}

TEST(Ipv6Routes, MalformedLineEndsTheListWithoutCount) {
  struct Case {
    const char* file;
    size_t rows;
  } cases[] = {{"malformed_line", 1}, {"truncated_line", 1}};
  for (const Case& c : cases) {
    const Ipv6RouteList list = listIpv6Routes("eth0", fixture(c.file).c_str());
    EXPECT_FALSE(list.complete) << c.file;
    EXPECT_EQ(list.rows.size(), c.rows) << c.file;
  }
}

TEST(Ipv6Routes, MissingTableGivesNothing) {
  const Ipv6RouteList list = listIpv6Routes("eth0", fixture("absent").c_str());
  EXPECT_FALSE(list.complete);
  EXPECT_TRUE(list.rows.empty());
}

}  // namespace


namespace {

class Ipv6RoutesLiveTest : public NetworkTest {};

TEST_F(Ipv6RoutesLiveTest, ReadsTheNamespacesOwnTable) {
  linkUp();
  ASSERT_TRUE(PrivateNetwork::run("ip -6 addr add fd00:5::2/64 dev eth0 nodad"));
  ASSERT_TRUE(PrivateNetwork::run("ip -6 route add fd00:6::/48 via fd00:5::1 dev eth0"));
  const Ipv6RouteList list = listIpv6Routes("eth0");
  EXPECT_TRUE(list.complete);
  bool onLink = false, viaGateway = false;
  for (const std::string& row : list.rows) {
    onLink = onLink || row == "fd00:5::/64 </td><td> ::";
    viaGateway = viaGateway || row == "fd00:6::/48 </td><td> fd00:5::1";
  }
  EXPECT_TRUE(onLink);
  EXPECT_TRUE(viaGateway);
}

}  // namespace

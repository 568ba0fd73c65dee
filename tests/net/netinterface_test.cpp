// Flags, MAC address, multicast filters and the arp_ignore switches of a
// NetInterface on a veth "eth0" in a private network namespace.
#include <net/if.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <chrono>
#include <string>
#include <thread>

#include "net/interface/netinterface.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"

namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

using InterfaceFlagsTest = NetworkTest;

TEST_F(InterfaceFlagsTest, BringUpSetsTheFourFlagsAndTheArpSwitches) {
  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 up"));
  EXPECT_EQ(nif_.bringUp(), 1);
  uint16_t flags = 0;
  ASSERT_EQ(nif_.getFlags(flags), 1);
  EXPECT_TRUE(flags & IFF_UP);
  EXPECT_TRUE(flags & IFF_BROADCAST);
  EXPECT_TRUE(flags & IFF_MULTICAST);
  EXPECT_NE(PrivateNetwork::output("ip -o link show dev eth0").find("UP"), std::string::npos);
  const std::string conf = network_.dataRootDir() + "/proc/sys/net/ipv4/conf/";
  EXPECT_EQ(fileText(conf + "all/arp_ignore"), "1");
  EXPECT_EQ(fileText(conf + "default/arp_ignore"), "1");
}

TEST_F(InterfaceFlagsTest, BringUpGoesOnWhenTheArpSwitchCannotBeWritten) {
  ASSERT_TRUE(PrivateNetwork::run("rm -rf '" + network_.dataRootDir() + "/proc'"));
  EXPECT_EQ(setArpIgnore("all"), 0);
  EXPECT_EQ(nif_.bringUp(), 1);
  EXPECT_EQ(nif_.isUp(nullptr, 0), 1);
}

// The kernel turns a carrier change into IFF_RUNNING a moment later.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST_F(InterfaceFlagsTest, IsUpAsksForRunningOnlyWhenTold) {
  // The peer stays down: eth0 is up without carrier.
  ASSERT_EQ(nif_.bringUp(), 1);
  EXPECT_EQ(nif_.isUp(nullptr, 0), 1);
  EXPECT_TRUE(eventually([&] { return nif_.isUp(nullptr, 1) == 0; }));
  EXPECT_EQ(nif_.isRunning(), 0);
  EXPECT_EQ(nif_.isUp(nullptr, 0), 1);

  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 up"));
  EXPECT_TRUE(eventually([&] { return nif_.isUp("eth0", 1) == 1; }));
  EXPECT_EQ(nif_.isRunning(), 1);
  EXPECT_EQ(nif_.isUp("peer0", 0), 1);
}

TEST_F(InterfaceFlagsTest, BringDownKeepsTheOtherFlags) {
  linkUp();
  ASSERT_EQ(nif_.bringDown(), 1);
  uint16_t flags = 0;
  ASSERT_EQ(nif_.getFlags(flags), 1);
  EXPECT_FALSE(flags & IFF_UP);
  EXPECT_TRUE(flags & IFF_MULTICAST);
  EXPECT_EQ(nif_.isUp(nullptr, 0), 0);
}

TEST_F(InterfaceFlagsTest, SetFlagsWritesExactlyTheGivenFlags) {
  linkUp();
  ASSERT_EQ(nif_.setFlags(IFF_UP | IFF_BROADCAST), 1);
  uint16_t flags = 0;
  ASSERT_EQ(nif_.getFlags(flags), 1);
  EXPECT_FALSE(flags & IFF_MULTICAST);
  EXPECT_TRUE(flags & IFF_UP);
}

TEST_F(InterfaceFlagsTest, RequestsOnAMissingInterfaceOrWithoutSocketFail) {
  uint16_t flags = 0x1234;
  EXPECT_EQ(nif_.getFlags(flags, "nosuch0"), 0);
  EXPECT_EQ(flags, 0x1234);
  EXPECT_EQ(nif_.setFlags(IFF_UP, "nosuch0"), 0);
  EXPECT_EQ(nif_.bringDown("nosuch0"), 0);
  EXPECT_EQ(nif_.isUp("nosuch0", 0), 0);

  NetInterface closed;
  closed.setName("eth0");
  EXPECT_EQ(closed.getFlags(flags), 0);
  uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_EQ(closed.getMacAddress(mac), 0);
  EXPECT_EQ(mac[0], 9);
}

TEST_F(InterfaceFlagsTest, MacAddressIsTheInterfaceHardwareAddress) {
  ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 address 02:a1:b2:c3:d4:e5"));
  uint8_t mac[6] = {};
  ASSERT_EQ(nif_.getMacAddress(mac), 1);
  const uint8_t expected[6] = {0x02, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5};
  EXPECT_EQ(0, std::memcmp(mac, expected, 6));
}

TEST_F(InterfaceFlagsTest, NamesAreCutToFifteenCharacters) {
  NetInterface named;
  named.setName("abcdefghijklmnopqrstuvwxyz");
  EXPECT_STREQ(named.name(), "abcdefghijklmno");
  named.setName(nullptr);
  EXPECT_STREQ(named.name(), "");
}

using MulticastTest = NetworkTest;

TEST_F(MulticastTest, JoiningAGroupAddsItsMacFilter) {
  linkUp();
  IpAddress group;
  parseIpAddress(group, "224.0.0.251");
  ASSERT_EQ(nif_.addMulticastAddress(group, -1), 1);
  // The high bit of the second octet is not part of the MAC.
  parseIpAddress(group, "239.129.2.3");
  ASSERT_EQ(nif_.addMulticastAddress(group, -1), 1);
  const std::string filters = PrivateNetwork::output("ip maddr show dev eth0");
  EXPECT_NE(filters.find("01:00:5e:00:00:fb"), std::string::npos) << filters;
  EXPECT_NE(filters.find("01:00:5e:01:02:03"), std::string::npos) << filters;
}

TEST_F(MulticastTest, JoiningOnAMissingVlanDeviceFails) {
  linkUp();
  IpAddress group;
  parseIpAddress(group, "224.0.0.251");
  EXPECT_EQ(nif_.addMulticastAddress(group, 7), 0);
}

}  // namespace

// IPv4 address, netmask and routes of a NetInterface, read back from the
// kernel, and the announcements of an address change.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "net/address/addressled.h"
#include "net/interface/netinterface.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

namespace {

IpAddress ip(const char* text) {
  IpAddress value;
  parseIpAddress(value, text);
  return value;
}

uint32_t word(const char* text) { return ip(text).ip4Word(); }

std::vector<int> ledCalls;
void recordLed(int addressOk) { ledCalls.push_back(addressOk); }

class InterfaceAddressTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    linkUp();
    ledCalls.clear();
    setAddressLedHandler(recordLed);
  }
  void TearDown() override {
    setAddressLedHandler(nullptr);
    NetworkTest::TearDown();
  }
};

TEST_F(InterfaceAddressTest, AddressAndNetmaskReadBack) {
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  ASSERT_EQ(nif_.setNetmask(ip("255.255.255.0")), 1);
  IpAddress read;
  ASSERT_EQ(nif_.getAddress(read, nullptr, -1), 1);
  EXPECT_STREQ(ipText(read), "192.168.7.20");
  EXPECT_NE(addressLines("eth0").find("inet 192.168.7.20/24"), std::string::npos) << addressLines("eth0");
}

TEST_F(InterfaceAddressTest, ImplausibleNetmaskIsNotSent) {
  ASSERT_EQ(nif_.setAddress(ip("10.1.2.3")), 1);
  ASSERT_EQ(nif_.setNetmask(ip("255.255.0.0")), 1);
  EXPECT_EQ(nif_.setNetmask(ip("255.255.255.1")), 0);
  EXPECT_EQ(nif_.setNetmask(ip("fe80::1")), 0);
  EXPECT_NE(addressLines("eth0").find("10.1.2.3/16"), std::string::npos) << addressLines("eth0");
}

TEST_F(InterfaceAddressTest, GetAddressFailureLeavesThePresetValue) {
  IpAddress preset = ip("1.2.3.4");
  // No address yet: the read fails and reports failure despite the preset.
  EXPECT_EQ(nif_.getAddress(preset, nullptr, -1), 0);
  EXPECT_STREQ(ipText(preset), "1.2.3.4");
  EXPECT_EQ(nif_.getAddress(preset, "nosuch0", -1), 0);
  EXPECT_EQ(nif_.getAddress(preset, nullptr, 7), 0);  // no eth0.7
  EXPECT_STREQ(ipText(preset), "1.2.3.4");
}

TEST_F(InterfaceAddressTest, OnlyAChangeOfAnExistingAddressIsBroadcast) {
  // First address on an empty interface: no broadcast.
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  EXPECT_EQ(probe_->drain(MSG_ADDRESS_CHANGED), 0);
  // The same address again: nothing at all, not even the LED.
  ledCalls.clear();
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  EXPECT_EQ(probe_->drain(MSG_ADDRESS_CHANGED), 0);
  EXPECT_TRUE(ledCalls.empty());
  // A change: one broadcast.
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.21")), 1);
  EXPECT_EQ(probe_->drain(MSG_ADDRESS_CHANGED), 1);
  EXPECT_NE(addressLines("eth0").find("192.168.7.21"), std::string::npos);
}

TEST_F(InterfaceAddressTest, LedShowsWhetherARoutableAddressIsSet) {
  struct Case {
    const char* address;
    int addressOk;
  } cases[] = {{"169.254.3.4", 0}, {"192.168.7.20", 1}, {"0.0.0.0", 0}};
  for (const Case& c : cases) {
    ledCalls.clear();
    nif_.setAddress(ip(c.address));
    ASSERT_EQ(ledCalls.size(), 1u) << c.address;
    EXPECT_EQ(ledCalls[0], c.addressOk) << c.address;
  }
}

TEST_F(InterfaceAddressTest, ZeroAddressRemovesTheAddress) {
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  EXPECT_EQ(nif_.setAddress(ip("0.0.0.0")), 1);
  EXPECT_EQ(addressLines("eth0").find("inet "), std::string::npos) << addressLines("eth0");
  EXPECT_EQ(probe_->drain(MSG_ADDRESS_CHANGED), 1);
}

TEST_F(InterfaceAddressTest, SetAddressReportsSuccessEvenWhenRefused) {
  // The outcome is learnt by reading the address back.
  EXPECT_EQ(nif_.setAddress(ip("192.168.7.20"), "nosuch0"), 1);
  IpAddress read;
  EXPECT_EQ(nif_.getAddress(read, "nosuch0", -1), 0);
}

using RouteTest = InterfaceAddressTest;

TEST_F(RouteTest, DefaultRouteThroughAGatewayAndItsRemoval) {
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  ASSERT_EQ(nif_.setNetmask(ip("255.255.255.0")), 1);
  ASSERT_EQ(nif_.addRoute(0, word("192.168.7.1"), 0, nullptr), 1);
  std::string table = routes();
  EXPECT_NE(table.find("default via 192.168.7.1 dev eth0"), std::string::npos) << table;
  EXPECT_EQ(table.find("metric"), std::string::npos) << table;

  ASSERT_EQ(nif_.deleteDefaultRoute(0), 1);
  table = routes();
  EXPECT_EQ(table.find("default"), std::string::npos) << table;
  EXPECT_EQ(nif_.deleteDefaultRoute(0), 0);
}

TEST_F(RouteTest, OnLinkDefaultRouteWithoutGateway) {
  ASSERT_EQ(nif_.setAddress(ip("169.254.3.4")), 1);
  ASSERT_EQ(nif_.addRoute(0, 0, 0, "eth0"), 1);
  EXPECT_NE(routes().find("default dev eth0 scope link"), std::string::npos) << routes();
}

TEST_F(RouteTest, RoutesOnDottedDevicesCarryMetricFive) {
  // A device whose name holds a point, as VLAN devices do.
  ASSERT_TRUE(PrivateNetwork::run("ip link add eth0.9 type veth peer name peer9"));
  ASSERT_TRUE(PrivateNetwork::run("ip link set peer9 up && ip link set eth0.9 up"));
  ASSERT_EQ(nif_.setAddress(ip("10.9.0.2"), "eth0.9"), 1);
  ASSERT_EQ(nif_.setNetmask(ip("255.255.255.0"), "eth0.9"), 1);
  ASSERT_EQ(nif_.addRoute(0, word("10.9.0.1"), 0, "eth0.9"), 1);
  // The kernel shows the route entry's metric less one.
  EXPECT_NE(routes().find("default via 10.9.0.1 dev eth0.9 metric 4"), std::string::npos) << routes();
}

TEST_F(RouteTest, UnreachableGatewayIsRefused) {
  ASSERT_EQ(nif_.setAddress(ip("192.168.7.20")), 1);
  ASSERT_EQ(nif_.setNetmask(ip("255.255.255.0")), 1);
  EXPECT_EQ(nif_.addRoute(0, word("10.0.0.1"), 0, nullptr), 0);
}

}  // namespace

// The address setters: kernel state, stored parameters and `ip_setby`.
#include <string>

#include "net/address/addresssetters.h"
#include "net/interface/netinterface.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"

namespace {

IpAddress ip(const char* text) {
  IpAddress value;
  parseIpAddress(value, text);
  return value;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class AddressSetterTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    linkUp();
    setParam("ip_addr", "0.0.0.0");
    setParam("ip_mask", "0.0.0.0");
    setParam("ip_gate", "0.0.0.0");
    setParam("ip_setby", "zconf");
  }
};

TEST_F(AddressSetterTest, InterfaceAddressIsStoredWithItsSource) {
  setParam("ip_mask", "255.255.255.0");
  EXPECT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, "dhcp", 1), 1);
  EXPECT_EQ(paramText("ip_addr"), "192.168.7.20");
  EXPECT_EQ(paramText("ip_setby"), "dhcp");
  EXPECT_TRUE(contains(addressLines("eth0"), "192.168.7.20/24")) << addressLines("eth0");
}

TEST_F(AddressSetterTest, WithoutStoringNoParameterChanges) {
  EXPECT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, "dhcp", 0), 1);
  EXPECT_EQ(paramText("ip_addr"), "0.0.0.0");
  EXPECT_EQ(paramText("ip_setby"), "zconf");
  EXPECT_TRUE(contains(addressLines("eth0"), "192.168.7.20"));
}

TEST_F(AddressSetterTest, NetmaskFallsBackToTheClassfulMask) {
  struct Case {
    const char* address;
    const char* storedMask;
    const char* kernelForm;
    const char* maskAfter;
  } cases[] = {
      // A link-local address always gets /16, whatever ip_mask holds.
      {"169.254.7.7", "255.255.255.0", "169.254.7.7/16", "255.255.0.0"},
      {"10.1.2.3", "0.0.0.0", "10.1.2.3/8", "255.0.0.0"},
      {"172.16.2.3", "0.0.0.0", "172.16.2.3/16", "255.255.0.0"},
      {"192.168.9.3", "0.0.0.0", "192.168.9.3/24", "255.255.255.0"},
      {"10.1.2.3", "255.255.255.128", "10.1.2.3/25", "255.255.255.128"},
  };
  for (const Case& c : cases) {
    setParam("ip_mask", c.storedMask);
    setAsInterfaceAddress(ip(c.address), nif_, nullptr, 1);
    EXPECT_TRUE(contains(addressLines("eth0"), c.kernelForm)) << c.address << ": " << addressLines("eth0");
    EXPECT_EQ(paramText("ip_mask"), c.maskAfter) << c.address;
  }
}

TEST_F(AddressSetterTest, Ipv6ValuesAreRefused) {
  EXPECT_EQ(setAsInterfaceAddress(ip("fd00::2"), nif_, "http", 1), 0);
  EXPECT_EQ(setAsNetmask(ip("ffff::"), nif_, 1), 0);
  EXPECT_EQ(setAsDefaultGateway(ip("fd00::1"), nif_, 1), 0);
  EXPECT_EQ(paramText("ip_setby"), "zconf");
  EXPECT_EQ(paramText("ip_gate"), "0.0.0.0");
}

TEST_F(AddressSetterTest, ImplausibleNetmaskIsStoredButNotSet) {
  setAsInterfaceAddress(ip("192.168.9.3"), nif_, nullptr, 0);
  EXPECT_EQ(setAsNetmask(ip("255.255.255.3"), nif_, 1), 0);
  EXPECT_EQ(paramText("ip_mask"), "255.255.255.3");
  EXPECT_TRUE(contains(addressLines("eth0"), "192.168.9.3/24"));
}

TEST_F(AddressSetterTest, GatewayReplacesTheDefaultRoute) {
  setParam("ip_mask", "255.255.255.0");
  ASSERT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, nullptr, 1), 1);
  ASSERT_EQ(setAsDefaultGateway(ip("192.168.7.1"), nif_, 1), 1);
  EXPECT_EQ(paramText("ip_gate"), "192.168.7.1");
  ASSERT_EQ(setAsDefaultGateway(ip("192.168.7.254"), nif_, 1), 1);
  const std::string table = routes();
  EXPECT_TRUE(contains(table, "default via 192.168.7.254 dev eth0")) << table;
  EXPECT_FALSE(contains(table, "192.168.7.1 ")) << table;
}

TEST_F(AddressSetterTest, LinkLocalRoutingUsesAnOnLinkDefaultRoute) {
  setAsInterfaceAddress(ip("192.168.7.20"), nif_, nullptr, 0);
  EXPECT_EQ(nif_.routeLinkLocal(), 0);  // not a link-local address
  setParam("ip_gate", "192.168.7.1");
  setAsInterfaceAddress(ip("169.254.7.7"), nif_, "zconf", 1);
  EXPECT_EQ(nif_.routeLinkLocal(), 1);
  EXPECT_EQ(paramText("ip_gate"), "0.0.0.0");
  EXPECT_TRUE(contains(routes(), "default dev eth0 scope link")) << routes();
}

}  // namespace

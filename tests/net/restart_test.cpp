// Restart of the interface: down and up again, routes from the parameters,
// VLANs on models with access control.
#include <string>

#include "net/address/addresssetters.h"
#include "net/interface/netinterface.h"
#include "net/interface/vlandevicecontrol.h"
#include "net/support/clienttask.h"
#include "net/support/netfixture.h"
#include "params/types/paramflags.h"
#include "runtime/socket/ipaddress.h"

namespace {

IpAddress ip(const char* text) {
  IpAddress value;
  parseIpAddress(value, text);
  return value;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Counts VLAN device requests without making devices.
class CountingVlanDevices : public VlanDeviceControl {
 public:
  int create(NetInterface&, int) override { return ++creates, 1; }
  int remove(NetInterface&, const char*) override { return ++removes, 1; }
  int creates = 0;
  int removes = 0;
};

class RestartTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    linkUp();
    productParams().compat_id = 0;
    productParams().usb_ports_phy = 4;
    setParam("sw_features", "0");
    setParam("ip_gate", "0.0.0.0");
    nif_.setVlanDeviceControl(&vlans_);
  }
  CountingVlanDevices vlans_;
};

TEST_F(RestartTest, RoutableAddressGetsItsGatewayBack) {
  setParam("ip_mask", "255.255.255.0");
  setParam("ip_gate", "192.168.7.1");
  ASSERT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, nullptr, 1), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(nif_.restart(), 1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(said, "### Non Zeronf IP:192.168.7.20 setup default Gate:192.168.7.1 ###\n")) << said;
  // The kernel reports the link running again a moment after it is up
  // (its link watch runs apart): a bounded wait.
  EXPECT_TRUE(waitUntil([&] { return nif_.isUp(nullptr, 1) == 1; }, 10000));
  EXPECT_TRUE(contains(routes(), "default via 192.168.7.1 dev eth0")) << routes();
  EXPECT_TRUE(contains(addressLines("eth0"), "192.168.7.20/24"));
}

TEST_F(RestartTest, LinkLocalAddressRoutesOnLink) {
  ASSERT_EQ(setAsInterfaceAddress(ip("169.254.7.7"), nif_, "zconf", 1), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(nif_.restart(), 1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(said, "### ZeroConf IP:169.254.7.7 setup linklocal configuration ###\n")) << said;
  EXPECT_TRUE(contains(routes(), "default dev eth0 scope link")) << routes();
}

TEST_F(RestartTest, VlansFollowOnlyWithAccessControl) {
  ASSERT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, nullptr, 1), 1);
  setParam("ip4vlan_mgmt", "off");
  for (int n = 1; n <= 4; ++n) setParam(("ip4vlan_on_" + std::to_string(n)).c_str(), "off");
  setParam("ip4vlan_addr_2", "10.7.2.2");
  setParam("ip4vlan_mask_2", "255.255.255.0");
  setParam("ip4vlan_gate_2", "0.0.0.0");
  setParam("ip4vlan_id_2", "7");
  setParam("ip4vlan_on_2", "on");

  setParam("sw_features", std::to_string(FEATURE_IP4VLAN).c_str());
  EXPECT_EQ(nif_.restart(), 1);
  EXPECT_EQ(vlans_.creates, 0);

  setParam("sw_features", std::to_string(FEATURE_IP4VLAN | FEATURE_ACCCTRL).c_str());
  EXPECT_EQ(nif_.restart(), 1);
  EXPECT_EQ(vlans_.creates, 1);
  EXPECT_EQ(nif_.vlanSlot(2).vlanId, 7);
  nif_.releaseAllVlanSlots();
  EXPECT_EQ(vlans_.removes, 1);
}

TEST_F(RestartTest, Ipv6ModelsGetTheStaticAddressAndRoute) {
  ParamRestorer ipv6Params;
  for (const char* key : {"ipv6_addr", "ipv6_plen", "ipv6_gate", "ipv6_auto"}) ipv6Params.save(key);
  const std::string conf = network_.dataRootDir() + "/proc/sys/net/ipv6/conf/eth0";
  ASSERT_TRUE(PrivateNetwork::run("mkdir -p " + conf));
  productParams().compat_id = 0x80;
  setParam("ipv6", "on");
  setParam("ipv6_auto", "off");
  setParam("ipv6_addr", "fd00:7::20");
  setParam("ipv6_plen", "64");
  setParam("ipv6_gate", "fd00:9::1");
  ASSERT_EQ(setAsInterfaceAddress(ip("192.168.7.20"), nif_, nullptr, 1), 1);
  EXPECT_EQ(nif_.restart(), 1);

  const std::string addresses = PrivateNetwork::output("ip -6 -o addr show dev eth0");
  EXPECT_TRUE(contains(addresses, "fd00:7::20/64")) << addresses;
  const std::string table = PrivateNetwork::output("ip -6 route show dev eth0");
  EXPECT_TRUE(contains(table, "fd00:9::/64 metric 1")) << table;
  std::string autoconf = PrivateNetwork::output("cat " + conf + "/autoconf " + conf + "/accept_ra");
  EXPECT_EQ(autoconf, "00");

  // The shutdown removes what was installed.
  nif_.updateIpv6Address(0);
  nif_.updateIpv6Route(0);
  EXPECT_FALSE(contains(PrivateNetwork::output("ip -6 -o addr show dev eth0"), "fd00:7::20"));
  EXPECT_FALSE(contains(PrivateNetwork::output("ip -6 route show dev eth0"), "fd00:9::"));
}

TEST_F(RestartTest, MissingInterfaceFails) {
  NetInterface missing;
  missing.setName("nosuch0");
  ASSERT_EQ(missing.openSocket(), 1);
  EXPECT_EQ(missing.restart(), 0);
}

}  // namespace

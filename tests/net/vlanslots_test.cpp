// The VLAN slot table: names, the failure paths of a kernel without 802.1Q,
// and the sharing of one VLAN device by several slots (with a stand-in that
// makes the VLAN device as a veth, so addresses and labels are real).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "net/interface/netinterface.h"
#include "net/interface/vlandevicecontrol.h"
#include "net/support/netfixture.h"
#include "params/types/paramflags.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

namespace {

uint32_t word(const char* text) {
  IpAddress value;
  parseIpAddress(value, text);
  return value.ip4Word();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(VlanNames, NamesOfDevicesAndAliases) {
  NetInterface nif;
  nif.setName("eth0");
  struct Case {
    int vid;
    int alias;
    const char* name;
  } cases[] = {
      {-1, -1, "eth0"},     {7, -1, "eth0.7"},          {7, 0, "eth0.7:0"},        {-1, 2, "eth0:2"},
      {0, -1, "eth0.0"},    {4096, 99, "eth0.4096:99"}, {4097, -1, "eth0"},        {7, 100, "eth0.7"},
      {-5, -3, "eth0"},     {4094, 20, "eth0.4094:20"},
  };
  for (const Case& c : cases) {
    char out[kInterfaceNameSize];
    int length = nif.formatVlanName(out, c.vid, c.alias);
    EXPECT_STREQ(out, c.name) << c.vid << "/" << c.alias;
    EXPECT_EQ(length, static_cast<int>(std::string(c.name).size()));
  }
  // A long interface name is cut, never overrun.
  nif.setName("abcdefghijklmno");
  char out[kInterfaceNameSize];
  EXPECT_EQ(nif.formatVlanName(out, 4094, 99), 15);
  EXPECT_STREQ(out, "abcdefghijklmno");
}

// Makes "eth0.<vid>" as a veth with a running peer, as the kernel's VLAN
// module would make the VLAN device; counts the calls.
class VethVlanDevices : public VlanDeviceControl {
 public:
  explicit VethVlanDevices(std::string dataRoot) : dataRoot_(std::move(dataRoot)) {}
  int create(NetInterface& parent, int vid) override {
    created.push_back(vid);
    const std::string device = std::string(parent.name()) + "." + std::to_string(vid);
    const std::string peer = "vp" + std::to_string(vid);
    PrivateNetwork::run("mkdir -p " + dataRoot_ + "/proc/sys/net/ipv4/conf/" + device);
    return PrivateNetwork::run("ip link add " + device + " type veth peer name " + peer + " && ip link set " + peer +
                               " up")
               ? 1
               : 0;
  }
  int remove(NetInterface&, const char* device) override {
    removed.push_back(device);
    return PrivateNetwork::run(std::string("ip link del ") + device) ? 1 : 0;
  }
  std::vector<int> created;
  std::vector<std::string> removed;

 private:
  std::string dataRoot_;
};

class VlanSlotTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    linkUp();
    productParams().usb_ports_phy = 8;
    devices_ = std::make_unique<VethVlanDevices>(network_.dataRootDir());
  }
  void useVethDevices() { nif_.setVlanDeviceControl(devices_.get()); }
  int configure(int slot, const char* address, int vid, const char* gateway = "0.0.0.0") {
    return nif_.configureVlanSlot(slot, word(address), word("255.255.255.0"), word(gateway), vid);
  }
  static bool deviceExists(const std::string& device) {
    return PrivateNetwork::run("ip link show dev " + device);
  }

  std::unique_ptr<VethVlanDevices> devices_;
};

TEST_F(VlanSlotTest, WithoutVlanSupportTheSlotIsStillRecorded) {
  // The kernel here has no 802.1Q: the device cannot be made.
  EXPECT_EQ(nif_.addVlan(7), 0);
  EXPECT_EQ(nif_.addVlan(5000), 0);
  EXPECT_EQ(nif_.deleteVlan("eth0.7"), 0);

  EXPECT_EQ(configure(1, "10.7.0.2", 7), 1);
  VlanSlot slot = nif_.vlanSlot(1);
  EXPECT_EQ(slot.address, word("10.7.0.2"));
  EXPECT_EQ(slot.vlanId, 7);
  EXPECT_EQ(slot.alias, -1);
  EXPECT_FALSE(deviceExists("eth0.7"));
  // The plain interface is not touched.
  EXPECT_FALSE(contains(addressLines("eth0"), "10.7.0.2"));

  EXPECT_EQ(configure(1, "10.7.0.2", 7), 0);  // same values: no change
  EXPECT_EQ(nif_.releaseVlanSlot(1), 1);
  EXPECT_EQ(nif_.releaseVlanSlot(1), 0);  // already free
  EXPECT_EQ(nif_.vlanSlot(1).address, 0u);
}

TEST_F(VlanSlotTest, SlotIndexesOutsideTheTableAreRefused) {
  EXPECT_EQ(configure(-1, "10.7.0.2", 7), 0);
  EXPECT_EQ(configure(kVlanSlotCount, "10.7.0.2", 7), 0);
  EXPECT_EQ(nif_.releaseVlanSlot(kVlanSlotCount), 0);
  EXPECT_EQ(nif_.releaseVlanSlot(-1), 0);
}

TEST_F(VlanSlotTest, IdAboveTheVlanRangeNeverLandsOnThePlainInterface) {
  IpAddress own;
  parseIpAddress(own, "192.168.7.20");
  ASSERT_EQ(nif_.setAddress(own), 1);
  EXPECT_EQ(configure(2, "10.50.0.2", 5000), 0);
  EXPECT_EQ(nif_.vlanSlot(2).address, 0u);
  const std::string lines = addressLines("eth0");
  EXPECT_TRUE(contains(lines, "192.168.7.20")) << lines;
  EXPECT_FALSE(contains(lines, "10.50.0.2")) << lines;
  EXPECT_EQ(nif_.isUp(nullptr, 0), 1);
}

TEST_F(VlanSlotTest, UntaggedSlotsAreAliasesOfTheInterface) {
  ASSERT_EQ(configure(1, "10.1.0.2", -1), 1);
  ASSERT_EQ(configure(2, "10.2.0.2", -1), 1);
  EXPECT_EQ(nif_.vlanSlot(1).alias, 0);
  EXPECT_EQ(nif_.vlanSlot(2).alias, 1);
  std::string lines = addressLines("eth0");
  EXPECT_TRUE(contains(lines, "10.1.0.2/24") && contains(lines, "eth0:0")) << lines;
  EXPECT_TRUE(contains(lines, "10.2.0.2/24") && contains(lines, "eth0:1")) << lines;

  ASSERT_EQ(nif_.releaseVlanSlot(1), 1);
  lines = addressLines("eth0");
  EXPECT_FALSE(contains(lines, "10.1.0.2")) << lines;
  EXPECT_TRUE(contains(lines, "10.2.0.2")) << lines;
  EXPECT_EQ(nif_.isUp(nullptr, 0), 1);

  // The freed alias number is used again instead of colliding with eth0:1.
  ASSERT_EQ(configure(3, "10.3.0.2", -1), 1);
  EXPECT_EQ(nif_.vlanSlot(3).alias, 0);
  lines = addressLines("eth0");
  EXPECT_TRUE(contains(lines, "10.2.0.2/24") && contains(lines, "10.3.0.2/24")) << lines;
  EXPECT_TRUE(contains(lines, "eth0:0") && contains(lines, "eth0:1")) << lines;
}

TEST_F(VlanSlotTest, FirstSlotOfAnIdMakesTheDeviceLaterOnesGetAliases) {
  useVethDevices();
  ASSERT_EQ(configure(1, "10.7.1.2", 7, "10.7.1.1"), 1);
  ASSERT_EQ(configure(2, "10.7.2.2", 7), 1);
  ASSERT_EQ(configure(3, "10.7.3.2", 7), 1);
  EXPECT_EQ(devices_->created, std::vector<int>{7});
  EXPECT_EQ(nif_.vlanSlot(1).alias, -1);
  EXPECT_EQ(nif_.vlanSlot(2).alias, 0);
  EXPECT_EQ(nif_.vlanSlot(3).alias, 1);
  const std::string lines = addressLines("eth0.7");
  EXPECT_TRUE(contains(lines, "10.7.1.2/24")) << lines;
  EXPECT_TRUE(contains(lines, "10.7.2.2/24") && contains(lines, "eth0.7:0")) << lines;
  EXPECT_TRUE(contains(lines, "10.7.3.2/24") && contains(lines, "eth0.7:1")) << lines;
  EXPECT_TRUE(contains(routes(), "default via 10.7.1.1 dev eth0.7 metric 4")) << routes();
  // The device's alias addresses survive the removal of its own address.
  std::ifstream promote(network_.dataRootDir() + "/proc/sys/net/ipv4/conf/eth0.7/promote_secondaries");
  std::string value;
  promote >> value;
  EXPECT_EQ(value, "1");
}

TEST_F(VlanSlotTest, ReleasingAnAliasLeavesTheDevice) {
  useVethDevices();
  ASSERT_EQ(configure(1, "10.7.1.2", 7), 1);
  ASSERT_EQ(configure(2, "10.7.2.2", 7), 1);
  ASSERT_EQ(nif_.releaseVlanSlot(2), 1);
  EXPECT_TRUE(devices_->removed.empty());
  EXPECT_TRUE(deviceExists("eth0.7"));
  const std::string lines = addressLines("eth0.7");
  EXPECT_TRUE(contains(lines, "10.7.1.2")) << lines;
  EXPECT_FALSE(contains(lines, "10.7.2.2")) << lines;
  EXPECT_EQ(nif_.isUp("eth0.7", 0), 1);
}

TEST_F(VlanSlotTest, ReleasingTheCreatorKeepsTheDeviceForTheOtherSlots) {
  useVethDevices();
  ASSERT_EQ(configure(1, "10.7.1.2", 7), 1);
  ASSERT_EQ(configure(2, "10.7.2.2", 7), 1);
  ASSERT_EQ(nif_.releaseVlanSlot(1), 1);
  EXPECT_TRUE(devices_->removed.empty());
  ASSERT_TRUE(deviceExists("eth0.7"));
  EXPECT_EQ(nif_.isUp("eth0.7", 0), 1);
  std::string lines = addressLines("eth0.7");
  EXPECT_FALSE(contains(lines, "10.7.1.2")) << lines;
  EXPECT_TRUE(contains(lines, "10.7.2.2") && contains(lines, "eth0.7:0")) << lines;

  // A new user takes the free device name without making the device again.
  ASSERT_EQ(configure(3, "10.7.3.2", 7), 1);
  EXPECT_EQ(nif_.vlanSlot(3).alias, -1);
  EXPECT_EQ(devices_->created.size(), 1u);
  lines = addressLines("eth0.7");
  EXPECT_TRUE(contains(lines, "10.7.3.2")) << lines;

  // The device goes with its last user, whichever name that one holds.
  ASSERT_EQ(nif_.releaseVlanSlot(3), 1);
  EXPECT_TRUE(deviceExists("eth0.7"));
  ASSERT_EQ(nif_.releaseVlanSlot(2), 1);
  EXPECT_EQ(devices_->removed, std::vector<std::string>{"eth0.7"});
  EXPECT_FALSE(deviceExists("eth0.7"));
}

TEST_F(VlanSlotTest, FreedAliasNumbersAreReusedWithoutCollision) {
  useVethDevices();
  ASSERT_EQ(configure(1, "10.7.1.2", 7), 1);
  ASSERT_EQ(configure(2, "10.7.2.2", 7), 1);
  ASSERT_EQ(configure(3, "10.7.3.2", 7), 1);
  ASSERT_EQ(nif_.releaseVlanSlot(2), 1);
  ASSERT_EQ(configure(2, "10.7.4.2", 7), 1);
  EXPECT_EQ(nif_.vlanSlot(2).alias, 0);
  EXPECT_EQ(nif_.vlanSlot(3).alias, 1);
  const std::string lines = addressLines("eth0.7");
  EXPECT_TRUE(contains(lines, "10.7.3.2/24") && contains(lines, "eth0.7:1")) << lines;
  EXPECT_TRUE(contains(lines, "10.7.4.2/24") && contains(lines, "eth0.7:0")) << lines;
}

TEST_F(VlanSlotTest, ReconfiguringMovesTheSlotToAnotherId) {
  useVethDevices();
  ASSERT_EQ(configure(1, "10.7.1.2", 7), 1);
  ASSERT_EQ(configure(1, "10.8.1.2", 8), 1);
  EXPECT_EQ(devices_->created, (std::vector<int>{7, 8}));
  EXPECT_EQ(devices_->removed, std::vector<std::string>{"eth0.7"});
  EXPECT_FALSE(deviceExists("eth0.7"));
  EXPECT_TRUE(contains(addressLines("eth0.8"), "10.8.1.2"));
  // A zero address only frees the slot.
  EXPECT_EQ(nif_.configureVlanSlot(1, 0, 0, 0, 8), 1);
  EXPECT_FALSE(deviceExists("eth0.8"));
  EXPECT_EQ(nif_.configureVlanSlot(1, 0, 0, 0, 9), 0);
  EXPECT_TRUE(devices_->created == (std::vector<int>{7, 8}));
}

TEST_F(VlanSlotTest, ReleaseAllRemovesEveryDevice) {
  useVethDevices();
  ASSERT_EQ(configure(0, "10.7.0.2", 7), 1);
  ASSERT_EQ(configure(1, "10.7.1.2", 7), 1);
  ASSERT_EQ(configure(2, "10.9.2.2", 9), 1);
  nif_.releaseAllVlanSlots();
  EXPECT_FALSE(deviceExists("eth0.7"));
  EXPECT_FALSE(deviceExists("eth0.9"));
  for (int n = 0; n < kVlanSlotCount; ++n) EXPECT_EQ(nif_.vlanSlot(n).address, 0u) << n;
}

class VlanSettingsTest : public VlanSlotTest {
 protected:
  void SetUp() override {
    VlanSlotTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    useVethDevices();
    setParam("sw_features", std::to_string(FEATURE_IP4VLAN | FEATURE_ACCCTRL).c_str());
    setParam("ip4vlan_mgmt", "off");
    for (int n = 1; n <= 20; ++n) setParam(("ip4vlan_on_" + std::to_string(n)).c_str(), "off");
  }
  void enablePort(int n, const char* address, int vid) {
    const std::string index = std::to_string(n);
    setParam(("ip4vlan_addr_" + index).c_str(), address);
    setParam(("ip4vlan_mask_" + index).c_str(), "255.255.255.0");
    setParam(("ip4vlan_gate_" + index).c_str(), "0.0.0.0");
    setParam(("ip4vlan_id_" + index).c_str(), std::to_string(vid).c_str());
    setParam(("ip4vlan_on_" + index).c_str(), "on");
  }
};

TEST_F(VlanSettingsTest, WithoutTheVlanFeatureNothingIsTouched) {
  setParam("sw_features", std::to_string(FEATURE_ACCCTRL).c_str());
  enablePort(3, "10.7.3.2", 7);
  EXPECT_EQ(nif_.applyVlanSettings(), 0);
  EXPECT_EQ(nif_.vlanSlot(3).address, 0u);
  EXPECT_TRUE(devices_->created.empty());
  EXPECT_EQ(probe_->drain(MSG_PARAMS_CHANGED), 0);
}

TEST_F(VlanSettingsTest, PortsAndManagementFollowTheirSwitches) {
  enablePort(3, "10.7.3.2", 7);
  enablePort(5, "10.7.5.2", 7);
  setParam("ip_addr", "10.1.0.2");
  setParam("ip_mask", "255.255.255.0");
  setParam("ip_gate", "0.0.0.0");
  setParam("ip4vlan_mgmt_id", "11");
  setParam("ip4vlan_mgmt", "on");
  EXPECT_EQ(nif_.applyVlanSettings(), 1);
  EXPECT_EQ(probe_->drain(MSG_PARAMS_CHANGED), 1);
  EXPECT_EQ(nif_.vlanSlot(3).address, word("10.7.3.2"));
  EXPECT_EQ(nif_.vlanSlot(5).alias, 0);
  EXPECT_EQ(nif_.vlanSlot(0).vlanId, 11);
  EXPECT_TRUE(contains(addressLines("eth0.11"), "10.1.0.2"));

  // Applying the same settings again changes nothing and announces nothing.
  EXPECT_EQ(nif_.applyVlanSettings(), 1);
  EXPECT_EQ(probe_->drain(MSG_PARAMS_CHANGED), 0);

  // Two changes at once: one announcement.
  setParam("ip4vlan_on_3", "off");
  setParam("ip4vlan_mgmt", "off");
  EXPECT_EQ(nif_.applyVlanSettings(), 1);
  EXPECT_EQ(probe_->drain(MSG_PARAMS_CHANGED), 1);
  EXPECT_EQ(nif_.vlanSlot(3).address, 0u);
  EXPECT_EQ(nif_.vlanSlot(0).address, 0u);
  EXPECT_TRUE(deviceExists("eth0.7"));  // port 5 still uses it
  EXPECT_FALSE(deviceExists("eth0.11"));
  EXPECT_TRUE(contains(addressLines("eth0.7"), "10.7.5.2"));
}

TEST_F(VlanSettingsTest, PortsBeyondTheModelsPortsAreIgnored) {
  productParams().usb_ports_phy = 2;
  enablePort(3, "10.7.3.2", 7);
  EXPECT_EQ(nif_.applyVlanSettings(), 1);
  EXPECT_EQ(nif_.vlanSlot(3).address, 0u);
  EXPECT_EQ(probe_->drain(MSG_PARAMS_CHANGED), 0);
}

TEST_F(VlanSettingsTest, PortWithoutAddressIsNotConfigured) {
  enablePort(4, "0.0.0.0", 7);
  EXPECT_EQ(nif_.applyVlanSettings(), 1);
  EXPECT_EQ(nif_.vlanSlot(4).address, 0u);
  EXPECT_TRUE(devices_->created.empty());
}

}  // namespace

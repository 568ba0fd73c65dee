// Model adjustments per device model (identity fixtures) and the feature
// table. Each test adjusts its own copy of the parameter table; the
// program's store is adjusted only in a child process.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/table/features.h"
#include "params/table/modeladjust.h"
#include "params/table/paramtable.h"
#include "params/types/intparam.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"
#include "support/identity_fixture.h"

namespace {

constexpr uint32_t kPortControlVlan = FEATURE_EMAIL | FEATURE_ACCCTRL | FEATURE_POSWITCH | FEATURE_IP4VLAN;

class ModelAdjustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRoot_ = dataRoot();
    char pattern[] = "/tmp/modeladjust-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    items_.assign(kParamTableSize, nullptr);
    ASSERT_EQ(defineParameters(items_.data(), kParamTableSize), kParamTableSize);
  }
  void TearDown() override {
    for (Param* p : items_) delete p;
    setDataRoot(savedRoot_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // Reads the fixture's product identity.
  ProductParams identity(const char* fixture) {
    ProductParams record;
    std::memset(&record, 0, sizeof record);
    EXPECT_TRUE(layIdentityFixture(fixture, root_)) << fixture;
    setDataRoot(root_.c_str());
    readProductParams(record);
    setDataRoot(savedRoot_.c_str());
    return record;
  }

  // Adjusts the private table to the record; returns what went to stderr.
  std::string adjust(ProductParams& record) {
    testing::internal::CaptureStderr();
    adjustParametersToModel(record, items_.data(), kParamTableSize);
    return testing::internal::GetCapturedStderr();
  }

  Param* byKey(const char* key) const {
    for (Param* p : items_)
      if (std::strcmp(p->key(), key) == 0) return p;
    ADD_FAILURE() << "no row " << key;
    return nullptr;
  }
  bool hidden(const char* key) const {
    Param* p = byKey(key);
    return p && p->hasFlags(PF_HIDDEN);
  }
  int32_t number(const char* key) const { return static_cast<IntParam*>(byKey(key))->value(); }

  std::string savedRoot_;
  std::string root_;
  std::vector<Param*> items_;
};

struct ModelCase {
  const char* fixture;
  uint32_t features;
  uint32_t ports;      // usb_ports_phy after the adjustment
  int32_t portNumber;  // zovPortNumber
  const char* message;
};

TEST_F(ModelAdjustTest, FeatureMaskPortCountAndMessagePerModel) {
  const ModelCase cases[] = {
      {"p326", 0, 4, 4, "setRuntimeEnv BugFix ZOVA force usb_port_phy -> 4\n"},
      {"p330-wlan", FEATURE_WLAN, 1, 1, ""},
      {"p332", kPortControlVlan, 8, 8, ""},
      {"p332-7ports", kPortControlVlan, 8, 8, "setRuntimeEnv BugFix ZOVB force usb_port_phy -> 8\n"},
      {"p345", FEATURE_EMAIL | FEATURE_ACCCTRL | FEATURE_POSWITCH | FEATURE_UCOMP, 1, 1,
       "setRuntimeEnv BugFix ZOVC force usb_port_phy -> 1\n"},
      {"p345-1port", FEATURE_EMAIL | FEATURE_ACCCTRL | FEATURE_POSWITCH | FEATURE_UCOMP, 1, 1, ""},
      {"p353",
       kPortControlVlan | FEATURE_DISPLAY | FEATURE_PWRLNK | FEATURE_BEEPER | FEATURE_SDBACKUP, 20, 20,
       ""},
      {"p365", kPortControlVlan | FEATURE_PWRLNK | FEATURE_SDBACKUP | FEATURE_RELAY, 2, 2, ""},
      {"unknown", 0, 2, 2, ""},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(c.fixture);
    TearDown();
    SetUp();
    ProductParams record = identity(c.fixture);
    EXPECT_EQ(adjust(record), c.message);
    EXPECT_EQ(record.usb_ports_phy, c.ports);
    EXPECT_EQ(static_cast<uint32_t>(number("sw_features")), c.features);
    EXPECT_EQ(number("zovPortNumber"), c.portNumber);
  }
}

TEST_F(ModelAdjustTest, FeaturesFromIdentityAlone) {
  struct Case {
    uint32_t productId;
    uint32_t compatId;
    uint32_t features;
  };
  const Case cases[] = {
      {328, 0, FEATURE_EMAIL},
      {363, 0x4000000, FEATURE_EMAIL | FEATURE_WLAN},
      {336, 0, FEATURE_EMAIL | FEATURE_BEEPER},
      {349, 0, FEATURE_EMAIL | FEATURE_BEEPER},
      {337, 0, FEATURE_EMAIL | FEATURE_ACCCTRL | FEATURE_POSWITCH},
      {367, 0x800, kPortControlVlan | FEATURE_WLAN},
      {357, 0x200, FEATURE_WLAN},
      {999, 0x4405a02, FEATURE_WLAN},
      {999, ~0x4405a02u, 0},
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    ProductParams record;
    std::memset(&record, 0, sizeof record);
    record.product_id = c.productId;
    record.compat_id = c.compatId;
    record.usb_ports_phy = 2;
    EXPECT_EQ(modelFeatures(record), c.features) << c.productId;
    EXPECT_EQ(record.usb_ports_phy, 2u) << c.productId;
  }
}

TEST_F(ModelAdjustTest, PortCorrectionBounds) {
  struct Case {
    uint32_t productId;
    uint32_t portsBefore;
    uint32_t portsAfter;
  };
  const Case cases[] = {
      {326, 0, 4}, {326, 3, 4}, {326, 4, 4}, {326, 6, 6},   {332, 1, 8},
      {332, 8, 8}, {332, 9, 9}, {345, 0, 0}, {345, 2, 1},   {345, 20, 1},
      {353, 1, 1}, {999, 0, 0},
  };
  for (const Case& c : cases) {
    ProductParams record;
    std::memset(&record, 0, sizeof record);
    record.product_id = c.productId;
    record.usb_ports_phy = c.portsBefore;
    testing::internal::CaptureStderr();
    modelFeatures(record);
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(record.usb_ports_phy, c.portsAfter) << c.productId << " " << c.portsBefore;
    EXPECT_EQ(message.empty(), c.portsBefore == c.portsAfter) << c.productId << " " << c.portsBefore;
  }
}

struct HiddenCase {
  const char* key;
  bool hidden;
};

class ModelRowsTest : public ModelAdjustTest {
 protected:
  void check(const char* fixture, std::initializer_list<HiddenCase> cases) {
    SCOPED_TRACE(fixture);
    ProductParams record = identity(fixture);
    adjust(record);
    for (const HiddenCase& c : cases) EXPECT_EQ(hidden(c.key), c.hidden) << c.key;
    // On every model.
    for (const char* key : {"netcon", "netcon_ipaddr", "netcon_mac", "netcon_port", "syslog", "syslog_ipa",
                            "syslog_upo"})
      EXPECT_TRUE(hidden(key)) << key;
    for (const char* key : {"sw_features", "zovPortNumber", "life", "admin_pwd", "usb_owner_40", "usb_slot_40",
                            "zov_port", "ntp_tzone"})
      EXPECT_FALSE(hidden(key)) << key;
  }
  // Members of a per-port family that stay visible.
  int visibleMembers(const char* stem) const {
    int n = 0;
    for (Param* p : items_)
      if (std::strncmp(p->key(), stem, std::strlen(stem)) == 0 && !p->hasFlags(PF_HIDDEN)) ++n;
    return n;
  }
};

TEST_F(ModelRowsTest, Product345KeepsOnlyThePortOneMembers) {
  check("p345", {{"zov_poff_1", false},    {"zov_poff_2", true},
                 {"zov_keyval_1", false},  {"zov_comp_1", false},
                 {"ip4vlan_on_1", false},  {"mailto_1", false},
                 {"dailyrestart", true},   {"wifi_mode", true},
                 {"wifi", true},           {"disp_def", true}});
  EXPECT_TRUE(hidden("zov_poff_10"));
  EXPECT_TRUE(hidden("zov_comp_2"));
  for (const char* stem : {"zov_poff_", "zov_poffdura_", "zov_keyval_", "zov_accctrl_", "zov_2vlan_",
                           "zov_comp_", "zov_tag_", "zov_sec_", "zov_prereset_", "zov_vendprodIDs_",
                           "ip4vlan_on_", "ip4vlan_id_", "ip4vlan_addr_", "ip4vlan_mask_", "ip4vlan_gate_"})
    EXPECT_EQ(visibleMembers(stem), 1) << stem;
}

TEST_F(ModelRowsTest, Product332ShowsEightPorts) {
  check("p332", {{"zov_poff_8", false}, {"zov_poff_9", true},      {"zov_poff_10", true},
                 {"ip4vlan_addr_8", false}, {"zov_comp_1", true}, {"dailyrestart", false},
                 {"trapto_1", false}, {"relay_on", true},          {"beepLnk", true}});
  EXPECT_EQ(visibleMembers("zov_tag_"), 8);
  EXPECT_EQ(visibleMembers("zov_keyval_"), 8);
  EXPECT_EQ(visibleMembers("zov_comp_"), 0);
}

TEST_F(ModelRowsTest, Product326WithoutMailAndPortControl) {
  check("p326", {{"mailto_1", true},       {"trapto_1", true},       {"noti_act_1", true},
                 {"trapact", true},        {"trapcommu_1", true},    {"notistat_d", true},
                 {"smtp_srv", true},       {"pop3", true},           {"zov_poff_1", true},
                 {"zov_keyval_1", true},   {"zov_prereset_4", false}, {"zov_prereset_5", true},
                 {"zov_tag_1", false},     {"zov_sec_4", false},     {"dailyrestart", true},
                 {"wifi", true},           {"ip4vlan_mgmt", false}});
  EXPECT_EQ(visibleMembers("zov_tag_"), 4);
}

TEST_F(ModelRowsTest, Product353WithDisplayBeeperAndCard) {
  check("p353", {{"disp_def", false},   {"disp_lnk", false},   {"beepSDc", false},
                 {"autoSync", false},   {"noti_sdinout_2", false}, {"trap_pwr", false},
                 {"relay_on", true},    {"relay_ctrl", true},  {"zov_poff_20", false},
                 {"zov_comp_20", true}, {"dailyrestart", false}, {"wifi_name", true}});
  EXPECT_EQ(visibleMembers("zov_poff_"), 20);
}

TEST_F(ModelRowsTest, Product365WithRelay) {
  check("p365", {{"relay_on", false},  {"relay_eve_udea", false}, {"relay_eves", false},
                 {"noti_pwr_1", false}, {"trap_sdinout", false},  {"disp_def", true},
                 {"beepPwr", true},     {"beepSDc", true},        {"zov_poff_2", false},
                 {"zov_poff_3", true},  {"dailyrestart", true}});
}

TEST_F(ModelRowsTest, Product330HidesOnlyTheWifiSwitch) {
  check("p330-wlan", {{"wifi", true},        {"wifi_mode", false}, {"wifi_name", false},
                      {"wifi_psk", false},   {"wifi_wkey4", false}, {"btn_wps_pbc", false},
                      {"mailto_1", true},    {"zov_sec_1", false}, {"zov_sec_2", true}});
}

TEST_F(ModelRowsTest, UnknownProductKeepsTheBaseRows) {
  check("unknown", {{"wifi", true},      {"mailto_1", true},  {"zov_poff_1", true},
                    {"zov_tag_2", false}, {"zov_tag_3", true}, {"dns", false},
                    {"dailyrestart", true}});
}

TEST_F(ModelAdjustTest, HiddenRowsStayHidden) {
  ProductParams record = identity("p353");
  byKey("dns")->addFlags(PF_HIDDEN);
  adjust(record);
  EXPECT_TRUE(hidden("dns"));
  // A second pass with more ports unhides nothing.
  record.usb_ports_phy = 1;
  adjust(record);
  record.usb_ports_phy = 20;
  adjust(record);
  EXPECT_TRUE(hidden("zov_poff_2"));
}

TEST_F(ModelAdjustTest, PortFamiliesAreBoundByPhysicalPortsNotThePortNumber) {
  ProductParams record = identity("p332");
  std::strcpy(record.device_types, "UU");
  record.count_U = 2;
  adjust(record);
  EXPECT_EQ(number("zovPortNumber"), 2);
  EXPECT_FALSE(hidden("zov_tag_8"));
}

TEST(FeatureTable, AvailabilityByName) {
  struct Case {
    const char* name;
    uint32_t features;
    int available;
  };
  const uint32_t all = 0xfff000;
  const Case cases[] = {
      {"ZOVSSL", 0, 1},       {"iptables", 0, 1},       {"ntp", 0, 1},      {"SNMPD", 0, 1},
      {"bonjour", 0, 1},      {"WPASUP", 0, 1},         {"PEL", 0, 1},      {"utags", 0, 1},
      {"EMAIL", 0, 0},        {"EMAIL", FEATURE_EMAIL, 1}, {"traps", FEATURE_EMAIL, 1},
      {"TRAPS", all & ~FEATURE_EMAIL, 0},               {"WLAN", FEATURE_WLAN, 1},
      {"wlan", FEATURE_EMAIL, 0},                       {"POSWITCH", FEATURE_POSWITCH, 1},
      {"ACCCTRL", FEATURE_ACCCTRL, 1},                  {"ACCCTRL", FEATURE_POSWITCH, 0},
      {"IP4VLAN", FEATURE_IP4VLAN, 1},                  {"IP4VLAN", FEATURE_ACCCTRL, 0},
      {"UCOMP", FEATURE_UCOMP, 1},                      {"UCOMP", 0, 0},
      {"SYSLOG", all, 0},     {"syslog", 0, 0},
      // A beginning of a row's name selects the row; a longer name none.
      {"em", FEATURE_EMAIL, 1}, {"ip", 0, 1},           {"IP4", 0, 0},      {"NTPX", 0, 0},
      {"WLANX", all, 0},      {"nosuchfeature", all, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(featureAvailableWith(c.name, c.features), c.available) << c.name << " " << c.features;
}

// setRuntimeEnv changes the program's own store for good: run it in a child.
TEST(SetRuntimeEnvDeathTest, AdjustsTheProgramStore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char pattern[] = "/tmp/runtimeenv-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  ASSERT_TRUE(layIdentityFixture("p345", root));
  EXPECT_EXIT(
      {
        setDataRoot(root.c_str());
        readProductParams(productParams());
        std::fflush(stderr);
        setRuntimeEnv();
        int failures = 0;
        failures += productParams().usb_ports_phy != 1;
        failures += paramStore.find("zov_poff_1") == nullptr;
        failures += paramStore.find("zov_poff_2") != nullptr;
        failures += paramStore.find("syslog") != nullptr;
        failures += paramStore.find("wifi_mode") != nullptr;
        IntParam* features = paramStore.findInt("sw_features");
        failures += !features || features->value() != static_cast<int32_t>(FEATURE_EMAIL | FEATURE_ACCCTRL |
                                                                            FEATURE_POSWITCH | FEATURE_UCOMP);
        failures += isFeatureAvailable("UCOMP") != 1;
        failures += isFeatureAvailable("WLAN") != 0;
        failures += isFeatureAvailable("ntp") != 1;
        std::exit(failures);
      },
      ::testing::ExitedWithCode(0), "setRuntimeEnv BugFix ZOVC force usb_port_phy -> 1");
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace

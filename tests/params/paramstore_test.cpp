// Lookup, listings and the commit of the parameter store.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/support/param_fixture.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"

namespace {

// ---- lookup ---------------------------------------------------------------

TEST(ParamStoreFindTest, KeysStemsAndLimits) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  EXPECT_EQ(f.raw("dns"), s.find("dns"));
  EXPECT_EQ(f.raw("dns"), s.find("dnsXYZ", 3));
  EXPECT_EQ(f.raw("usb_owner_3"), s.find("usb_owner_", 10, 3));
  EXPECT_EQ(f.raw("usb_owner_1"), s.find("usb_owner_xx", 10, 1));
  EXPECT_EQ(nullptr, s.find("usb_owner_", 10, 0));
  EXPECT_EQ(nullptr, s.find("usb_owner_", 10, 4));
  EXPECT_EQ(nullptr, s.find("usb_owner_"));
  EXPECT_EQ(nullptr, s.find("DNS"));
  EXPECT_EQ(nullptr, s.find(""));
  EXPECT_EQ(nullptr, s.find(nullptr));
  ASSERT_NE(nullptr, f.raw("netcon"));
  EXPECT_EQ(nullptr, s.find("netcon"));  // hidden
  std::string key61(61, 'a');
  EXPECT_EQ(nullptr, s.find(key61.c_str()));
  // Index taken as unsigned 16 bits.
  EXPECT_EQ(f.raw("usb_owner_1"), s.find("usb_owner_", 10, 65536 + 1));
}

TEST(ParamStoreFindTest, TypedLookupChecksTheClass) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  EXPECT_NE(nullptr, s.findInt("life"));
  EXPECT_NE(nullptr, s.findInt("dns"));  // a switch is an integer
  EXPECT_NE(nullptr, s.findOnOff("dns"));
  EXPECT_EQ(nullptr, s.findOnOff("life"));
  EXPECT_NE(nullptr, s.findString("any_name"));
  EXPECT_EQ(nullptr, s.findString("dns"));
  EXPECT_NE(nullptr, s.findList("ntp_tzone"));
  EXPECT_NE(nullptr, s.findMac("hw_filter_1"));
  EXPECT_NE(nullptr, s.findIp4("ip_addr"));
  EXPECT_NE(nullptr, s.findIp4("ipv6_addr"));
  EXPECT_EQ(nullptr, s.findIp6("ip_addr"));
  EXPECT_NE(nullptr, s.findIp6("ipv6_addr"));
}

TEST(ParamStoreFindTest, KeyIndexSuffix) {
  const struct {
    const char* key;
    int32_t index;
    int length;
  } cases[] = {
      {"usb_owner_12", 12, 10}, {"wifi_wkey3", 3, 9}, {"dns", NO_INDEX, 3}, {"7", NO_INDEX, 1}, {"a12", 12, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    int length = static_cast<int>(std::strlen(c.key));
    EXPECT_EQ(c.index, parseKeyIndexSuffix(c.key, &length));
    EXPECT_EQ(c.length, length);
  }
}

// ---- listings -------------------------------------------------------------

std::vector<Param*> naiveVisible(FixtureStore& f, uint32_t mask) {
  int count = 0;
  Param** items = f.store().items(&count);
  std::vector<Param*> out;
  for (int i = 0; i < count; ++i) {
    if (!(items[i]->flags() & (mask | PF_HIDDEN))) out.push_back(items[i]);
  }
  return out;
}

TEST(ParamStoreListTest, VisibleListingMatchesOnePassInAnyOrder) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  for (uint32_t mask : {0u, PF_NOREPORT, PF_NOREPORT | PF_SECRET}) {
    SCOPED_TRACE(mask);
    std::vector<Param*> expect = naiveVisible(f, mask);
    ASSERT_EQ(static_cast<int>(expect.size()), s.countVisible(mask));
    for (int n = 0; n < static_cast<int>(expect.size()); ++n) EXPECT_EQ(expect[n], s.visibleAt(n, mask));
    for (int n = static_cast<int>(expect.size()) - 1; n >= 0; --n) EXPECT_EQ(expect[n], s.visibleAt(n, mask));
    for (int n : {3, 1, 4, 1, 5, 9, 2, 6}) EXPECT_EQ(expect[n], s.visibleAt(n, mask));
    EXPECT_EQ(nullptr, s.visibleAt(-1, mask));
    EXPECT_EQ(nullptr, s.visibleAt(static_cast<int>(expect.size()), mask));
    EXPECT_EQ(nullptr, s.visibleAt(s.count(), mask));
  }
  // Hiding a parameter is seen by the next listing.
  s.visibleAt(0, 0);
  f.raw("admin_pwd")->addFlags(PF_HIDDEN);
  std::vector<Param*> expect = naiveVisible(f, 0);
  EXPECT_EQ(static_cast<int>(expect.size()), s.countVisible(0));
  EXPECT_EQ(expect[0], s.visibleAt(0, 0));
  EXPECT_EQ(expect[1], s.visibleAt(1, 0));
}

TEST(ParamStoreListTest, HighestIndexSkipsHiddenAndNoSnmp) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  EXPECT_EQ(2, s.highestIndex("usb_owner_", 10));  // _3 has PF_NOSNMP
  EXPECT_EQ(2, s.highestIndex("USB_OWNER_", 10));
  EXPECT_EQ(9, s.highestIndex("zov_poff_", 9));
  EXPECT_EQ(0, s.highestIndex("nothing_", 8));
}

// ---- commit ---------------------------------------------------------------

class ParamCommitTest : public testing::Test {
 protected:
  void SetUp() override {
    setCommitEffects(&effects_);
    savedPorts_ = productParams().usb_ports_phy;
    productParams().usb_ports_phy = 4;
  }
  void TearDown() override {
    setCommitEffects(nullptr);
    productParams().usb_ports_phy = savedPorts_;
  }
  RecordingCommitEffects effects_;
  uint32_t savedPorts_ = 0;
};

TEST_F(ParamCommitTest, ResultBitsFollowTheChangedParameters) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  EXPECT_EQ(0, s.resetModified());
  s.find("dns")->set("off");
  EXPECT_EQ(0x83, s.resetModified());
  EXPECT_EQ(0, s.resetModified());
  s.find("button_cnt")->set("4");  // volatile
  EXPECT_EQ(0x80, s.resetModified());
  s.find("life")->set("4");
  EXPECT_EQ(0x81, s.resetModified());
  s.find("ip_addr")->set("10.1.1.1");
  EXPECT_EQ(0x85, s.resetModified());
  f.raw("netcon")->set("x");  // hidden
  EXPECT_EQ(0x80, s.resetModified());
  s.find("dns")->set("on");
  s.find("ip_addr")->set("10.1.1.2");
  EXPECT_EQ(0x87, s.resetModified());
  EXPECT_FALSE(s.find("dns")->isModified());
}

TEST_F(ParamCommitTest, PortPowerFollowsZovPoffWithinThePortCount) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  s.find("zov_poff_2")->set("on");
  s.find("zov_poff_9")->set("on");      // beyond usb_ports_phy
  s.find("zov_poffdura_1")->set("5");   // not a power switch
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"power 1 off"}, effects_.takeCalls());
  s.find("zov_poff_2")->set("off");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"power 1 on"}, effects_.takeCalls());
}

TEST_F(ParamCommitTest, RelayFollowsItsControl) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  // "fix" with relay_on: on, and the event count is cleared.
  s.findInt("relay_eves")->setChecked(3);
  s.find("relay_on")->set("on");
  s.find("relay_ctrl")->set("stat");
  s.resetModified();
  effects_.takeCalls();
  s.find("relay_ctrl")->set("fix");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"relay on"}, effects_.takeCalls());
  EXPECT_EQ(0, s.findInt("relay_eves")->value());
  // Under "fix", relay_on drives it directly.
  s.find("relay_on")->set("off");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"relay off"}, effects_.takeCalls());
  // "eve": off, and event rows switch it off; status rows do not.
  s.find("relay_ctrl")->set("eve");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"relay off"}, effects_.takeCalls());
  s.find("relay_stat_net")->set("on");
  s.resetModified();
  EXPECT_TRUE(effects_.takeCalls().empty());
  s.find("relay_eve_net")->set("on");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"relay off"}, effects_.takeCalls());
  // "stat": the other way round.
  s.find("relay_ctrl")->set("stat");
  s.resetModified();
  effects_.takeCalls();
  s.find("relay_eve_net")->set("off");
  s.resetModified();
  EXPECT_TRUE(effects_.takeCalls().empty());
  s.find("relay_stat_net")->set("off");
  s.resetModified();
  EXPECT_EQ(std::vector<std::string>{"relay off"}, effects_.takeCalls());
}

TEST_F(ParamCommitTest, DisplayCodesOnlyWithADisplay) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  s.find("disp_def")->set("A1");
  s.resetModified();
  EXPECT_TRUE(effects_.takeCalls().empty());

  effects_.setHasDisplay(true);
  effects_.setDisplayPowerState(0x1);
  effects_.setLinkState(0x10);
  effects_.setStorageMediumState(2);
  s.find("disp_def")->set("B2");
  s.find("disp_lnk")->set("off");
  s.find("disp_pwr")->set("off");
  s.find("disp_sdc")->set("off");
  s.resetModified();
  EXPECT_EQ((std::vector<std::string>{"display B2 0x0", "display E5 0x8", "display E1 0x8", "display E2 0x8",
                                      "display E3 0x8", "display E4 0x8"}),
            effects_.takeCalls());
  s.find("disp_lnk")->set("on");
  s.find("disp_pwr")->set("on");
  s.find("disp_sdc")->set("on");
  s.resetModified();
  EXPECT_EQ((std::vector<std::string>{"display E5 0x24", "display E1 0x25", "display E3 0x24"}),
            effects_.takeCalls());

  // Good link, no power state, card read-write: nothing to show.
  effects_.setDisplayPowerState(0);
  effects_.setLinkState(LINK_STATE_GOOD);
  effects_.setStorageMediumState(3);
  for (const char* key : {"disp_lnk", "disp_pwr", "disp_sdc"}) {
    s.find(key)->set("off");
    s.resetModified();
    s.find(key)->set("on");
  }
  effects_.takeCalls();
  s.resetModified();
  EXPECT_TRUE(effects_.takeCalls().empty());
  for (int state : {0, 1}) {
    effects_.setStorageMediumState(state);
    s.find("disp_sdc")->set("off");
    s.resetModified();
    effects_.takeCalls();
    s.find("disp_sdc")->set("on");
    s.resetModified();
    EXPECT_EQ(std::vector<std::string>{state == 0 ? "display E4 0x24" : "display E2 0x24"}, effects_.takeCalls());
  }
}

// ---- diagnostics and users ------------------------------------------------

TEST(ParamStoreDumpTest, DumpListsEveryParameterWithItsMark) {
  std::vector<Param*> rows = {new OnOffParam("dns", 1, 0), new IntParam("life", KIND_ANY, nullptr, 0, 3)};
  FixtureStore f(rows);
  f.store().find("life")->set("4");
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  f.store().dump(out);
  f.store().dumpLine(out, f.raw("dns"));
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  EXPECT_EQ(
      "-------------- begin ptable size: 2 -------\n"
      "dns = on  \n"
      "life = 4 *\n"
      "--------------  end ptable ------------------\n"
      "dns=on\n",
      text);
}

TEST(ParamStoreUserTest, CheckUserPassword) {
  FixtureStore f(standardRows());
  ParamStore& s = f.store();
  EXPECT_EQ(1, s.checkUserPassword("alice", "secret"));
  EXPECT_EQ(-2, s.checkUserPassword("alice", "wrong"));
  EXPECT_EQ(-1, s.checkUserPassword("bob", "secret"));
  EXPECT_EQ(-1, s.checkUserPassword("", "secret"));
  EXPECT_EQ(-1, s.checkUserPassword(nullptr, nullptr));
}

TEST(ParamStoreUserTest, ProgramTableHasNoUserFamily) { EXPECT_EQ(-1, checkUserPassword("Admin", "")); }

}  // namespace

namespace {

TEST(ParamStoreLifeTest, DestroyAllDeletesEveryParameter) {
  Param* items[2] = {new OnOffParam("dns", 1, 0), new StringParam("name", "x", nullptr, 0)};
  items[1]->set("a long text that is allocated by the parameter itself");
  ParamStore store(items, 2);
  store.destroyAll();
  EXPECT_EQ(nullptr, items[0]);
  EXPECT_EQ(nullptr, items[1]);
  EXPECT_EQ(0, store.count());
  EXPECT_EQ(nullptr, store.find("dns"));
}

}  // namespace

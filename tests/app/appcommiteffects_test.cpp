#include "app/appcommiteffects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "app/statusdisplay.h"
#include "app/support/boardtestenv.h"
#include "net/address/addressled.h"
#include "net/interface/linkstate.h"
#include "net/interface/netinterface.h"

namespace {

std::string outputText(const char* onOff, uint32_t mask) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "outputs %s 0x%08x", onOff, mask);
  return buf;
}

// PHY status registers with a link bit per PHY; counts the reads.
class FakeLinkRegisters : public LinkRegisterSource {
 public:
  int readRegister(NetInterface&, int phy, int reg, uint16_t* value) override {
    ++reads;
    if (reg != kPhyStatusRegister || phy < 0 || phy >= 32) return 0;
    *value = (linkedPhys & (1u << phy)) ? kPhyStatusLink : 0;
    return 1;
  }
  std::atomic<uint32_t> linkedPhys{0};
  std::atomic<int> reads{0};
};

class AppCommitEffectsTest : public BoardTestEnv {
 protected:
  void SetUp() override {
    BoardTestEnv::SetUp();
    lan_.setName("eth0");
    lan_.setLinkRegisterSource(&links_);
    paramStore.resetModified();  // marks left by earlier changes
    effects_.reset(new AppCommitEffects(*device_, &lan_));
    setCommitEffects(effects_.get());
  }

  void TearDown() override {
    setCommitEffects(nullptr);
    setAddressLedDevice(nullptr);
    effects_.reset();
    lan_.closeSocket();
    BoardTestEnv::TearDown();
  }

  void openAndStartBoard() {
    ASSERT_TRUE(device_->open());
    ASSERT_TRUE(device_->startUp(nullptr));
    sim_->clearLog();
  }

  // The parameter, visible whatever the model hides.
  void unhide(const char* key) {
    Param* p = param(key);
    if (!p) return;
    remember(p);
    p->removeFlags(PF_HIDDEN);
  }

  // Sets and commits in one step, as a settings form does.
  void commit(const char* key, const char* value) {
    setParam(key, value);
    paramStore.resetModified();
  }

  std::vector<std::string> outputLog() {
    std::vector<std::string> out;
    for (const SimBoard::LogEntry& e : logWith("outputs ")) out.push_back(e.text);
    return out;
  }

  NetInterface lan_;
  FakeLinkRegisters links_;
  std::unique_ptr<AppCommitEffects> effects_;
};

TEST_F(AppCommitEffectsTest, PortPowerCommitSwitchesThatPortsOutput) {
  openAndStartBoard();
  for (const char* key : {"zov_poff_1", "zov_poff_2", "zov_poff_4", "zov_poff_5"}) unhide(key);
  struct Case {
    const char* key;
    const char* value;
    std::vector<std::string> outputs;
  };
  const Case cases[] = {
      {"zov_poff_2", "on", {outputText("off", 0x2)}},
      {"zov_poff_2", "off", {outputText("on", 0x2)}},
      {"zov_poff_4", "on", {outputText("off", 0x8)}},
      {"zov_poff_1", "on", {outputText("off", 0x1)}},
      {"zov_poff_5", "on", {}},  // beyond the board's four ports
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.value);
    sim_->clearLog();
    commit(c.key, c.value);
    EXPECT_EQ(outputLog(), c.outputs);
  }
  EXPECT_FALSE(sim_->outputOn(0));
  EXPECT_TRUE(sim_->outputOn(1));
  EXPECT_FALSE(sim_->outputOn(3));
}

TEST_F(AppCommitEffectsTest, RelayFollowsTheRelayParameters) {
  setParam("sw_features", std::to_string(FEATURE_RELAY).c_str());
  openAndStartBoard();
  for (const char* key : {"relay_ctrl", "relay_on"}) unhide(key);
  commit("relay_ctrl", "fix");
  commit("relay_on", "off");
  sim_->clearLog();

  // The relay output is active low: "on" switches output 29 off.
  commit("relay_on", "on");
  EXPECT_EQ(outputLog(), (std::vector<std::string>{outputText("off", 1u << 29)}));
  EXPECT_FALSE(sim_->outputOn(29));

  sim_->clearLog();
  commit("relay_ctrl", "eve");
  EXPECT_EQ(outputLog(), (std::vector<std::string>{outputText("on", 1u << 29)}));
  EXPECT_TRUE(sim_->outputOn(29));
}

TEST_F(AppCommitEffectsTest, OnlyBoard278HasTheDisplay) {
  EXPECT_FALSE(effects_->hasDisplay());
  setProduct(278, 353, 0);
  EXPECT_TRUE(effects_->hasDisplay());
}

TEST_F(AppCommitEffectsTest, LinkDisplayAsksTheLinkState) {
  setProduct(278, 353, 0);
  productParams().phy0_addr = 4;  // two PHYs: 4 and 0, a good link is 0x11
  ASSERT_TRUE(device_->open());
  unhide("disp_lnk");
  ASSERT_EQ(lan_.openSocket(), 1);
  struct Case {
    const char* what;
    uint32_t linkedPhys;
    bool e5Listed;
  };
  const Case cases[] = {
      {"both PHYs linked", 0x11, false},
      {"PHY 0 without link", 0x10, true},
      {"no link at all", 0x0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    commit("disp_lnk", "off");
    EXPECT_EQ(device_->statusDisplay()->slot(0).first, 0) << "E5 removed";
    links_.linkedPhys = c.linkedPhys;
    links_.reads = 0;
    commit("disp_lnk", "on");
    EXPECT_GT(links_.reads.load(), 0);
    EXPECT_EQ(effects_->linkState(), static_cast<int>(c.linkedPhys));
    DisplaySlot slot = device_->statusDisplay()->slot(0);
    EXPECT_EQ(slot.first == 'E' && slot.second == '5', c.e5Listed);
    if (c.e5Listed) {
      EXPECT_EQ(sim_->displayText(), "E5");
    }
  }

  // An interface without a socket cannot be asked: a good link is assumed.
  commit("disp_lnk", "off");
  lan_.closeSocket();
  links_.reads = 0;
  commit("disp_lnk", "on");
  EXPECT_EQ(links_.reads.load(), 0);
  EXPECT_EQ(effects_->linkState(), LINK_STATE_GOOD);
  EXPECT_EQ(device_->statusDisplay()->slot(0).first, 0);
}

TEST_F(AppCommitEffectsTest, DefaultCodeAndPowerStateReachTheDisplay) {
  setProduct(278, 353, 0);
  ASSERT_TRUE(device_->open());
  unhide("disp_def");
  commit("disp_def", "AB");
  EXPECT_EQ(sim_->displayText(), "AB");

  // Supply 2 failed: the power state has bit 1, and disp_pwr shows "E1".
  sim_->setInputs(0x1);
  device_->statusDisplay()->poll();
  EXPECT_EQ(effects_->displayPowerState(), DISP_PSU2_FAILED);

  // A frozen display (restart running) keeps its text, and its frozen bit
  // is no failed supply.
  sim_->setInputs(0x3);
  device_->statusDisplay()->poll();
  ASSERT_TRUE(device_->statusDisplay()->show('R', 'S', DISP_FREEZE | DISP_BLINK));
  EXPECT_EQ(effects_->displayPowerState(), 0);
  unhide("disp_pwr");
  commit("disp_pwr", "off");
  commit("disp_pwr", "on");
  EXPECT_EQ(sim_->displayText(), "RS");
}

TEST_F(AppCommitEffectsTest, NoMediumUntilTheStorageTaskExists) {
  EXPECT_EQ(effects_->storageMediumState(), 0);
  EXPECT_EQ(storageMediumWithoutStorageTask(), 0);
  // A save never mirrors to the card then, whatever autoSync says.
  setParam("sw_features", std::to_string(FEATURE_SDBACKUP).c_str());
  unhide("autoSync");
  setParam("autoSync", "on");
  ASSERT_EQ(::mkdir(mapPath("/var/slot1").c_str(), 0755), 0);
  EXPECT_EQ(paramStore.save("/etc/params.dat"), 0);
  EXPECT_TRUE(exists("/etc/params.dat"));
  EXPECT_FALSE(exists("/var/slot1/params.dat"));
}

TEST_F(AppCommitEffectsTest, AddressLedHandlerShowsTheAddressPatterns) {
  openAndStartBoard();
  setAddressLedDevice(device_.get());
  showAddressLed(1);
  showAddressLed(0);
  setAddressLedDevice(nullptr);
  showAddressLed(1);  // no handler: nothing shown
  std::vector<std::string> shown;
  for (const SimBoard::LogEntry& e : logWith("pattern ")) shown.push_back(e.text);
  EXPECT_EQ(shown, (std::vector<std::string>{"pattern mask=0x2 bits=0x5 length=0x3ff repeat=1 period=250",
                                             "pattern mask=0x2 bits=0x15 length=0x3ff repeat=1 period=250"}));
}

}  // namespace

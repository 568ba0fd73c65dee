#include "app/statusdisplay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/gpiodevice.h"
#include "app/support/boardtestenv.h"
#include "params/types/stringparam.h"

namespace {

class StatusDisplayTest : public BoardTestEnv {
 protected:
  void SetUp() override {
    BoardTestEnv::SetUp();
    setProduct(278, 353, 4);
    ASSERT_TRUE(device_->open());
    display_ = device_->statusDisplay();
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    setPowerInputEventHook(nullptr);
    BoardTestEnv::TearDown();
  }
  std::string published() {
    Param* p = param("disp_erVals");
    return p ? p->savedText() : "?";
  }
  std::string code(int slot) {
    DisplaySlot s = display_->slot(slot);
    return s.first ? std::string{s.first, s.second} : std::string();
  }
  StatusDisplay* display_ = nullptr;
};

std::vector<uint32_t> inputWords;
void recordInputs(uint32_t word) { inputWords.push_back(word); }

TEST_F(StatusDisplayTest, CodeSlotsAreAddedOnceRemovedAndPublished) {
  setParam("disp_erVals", "");
  EXPECT_TRUE(display_->show('E', '5', DISP_ADD | DISP_BLINK));
  EXPECT_TRUE(display_->show('E', '5', DISP_ADD | DISP_BLINK));
  EXPECT_TRUE(display_->show('E', '2', DISP_ADD | DISP_BLINK));
  EXPECT_EQ(code(0), "E5");
  EXPECT_EQ(code(1), "E2");
  EXPECT_EQ(code(2), "");
  EXPECT_EQ(display_->slot(0).flags, DISP_BLINK);
  EXPECT_EQ(published(), "E5, E2");
  EXPECT_EQ(sim_->displayText(), "E2");

  // Removing sends nothing and leaves the published list until it is rewritten.
  int writes = sim_->displayWrites();
  EXPECT_TRUE(display_->show('E', '5', DISP_REMOVE));
  EXPECT_EQ(sim_->displayWrites(), writes);
  EXPECT_EQ(code(0), "");
  EXPECT_EQ(published(), "E5, E2");
  EXPECT_FALSE(display_->show('E', '4', DISP_REMOVE)) << "not listed";

  // A new code takes the first empty slot and the list is published again.
  EXPECT_TRUE(display_->show('E', '3', DISP_ADD));
  EXPECT_EQ(code(0), "E3");
  EXPECT_EQ(published(), "E3, E2");
}

TEST_F(StatusDisplayTest, AFullListRefusesANinthCode) {
  for (int i = 0; i < DISPLAY_SLOTS; ++i)
    EXPECT_TRUE(display_->show('C', static_cast<char>('0' + i), DISP_ADD)) << i;
  EXPECT_FALSE(display_->show('C', '8', DISP_ADD));
  EXPECT_EQ(published(), "C0, C1, C2, C3, C4, C5, C6, C7");
  // A listed code still changes its flags.
  EXPECT_TRUE(display_->show('C', '3', DISP_ADD | DISP_BLINK_FAST));
  EXPECT_EQ(display_->slot(3).flags, DISP_BLINK_FAST);
}

TEST_F(StatusDisplayTest, FrameCarriesPointsAndBlinkParameters) {
  struct Case {
    int flags;
    std::vector<uint32_t> words;
  };
  const Case cases[] = {
      {0, {0x44005300, 0, 0, 0, 0}},
      {DISP_POINT_SECOND, {0x4400532e, 0, 0, 0, 0}},
      {DISP_POINT_FIRST | DISP_BLINK, {0x442e5300, 11, 15, 1, 200}},
      {DISP_BLINK | DISP_BLINK_FAST, {0x44005300, 28, 31, 1, 50}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_TRUE(display_->show('D', 'S', c.flags));
    DisplayFrame f = sim_->lastDisplayFrame();
    EXPECT_EQ(std::vector<uint32_t>(f.word, f.word + 5), c.words);
  }
  sim_->failRequest(boardreq::kDisplay, true);
  EXPECT_FALSE(display_->show('D', 'S', 0));
}

TEST_F(StatusDisplayTest, FrozenDisplayIgnoresEverythingElse) {
  EXPECT_TRUE(display_->show('E', '5', DISP_ADD));
  EXPECT_TRUE(display_->show('R', 'S', DISP_FREEZE | DISP_BLINK));
  EXPECT_EQ(sim_->displayText(), "RS");
  EXPECT_EQ(display_->powerState() & DISP_FROZEN, DISP_FROZEN);
  int writes = sim_->displayWrites();

  EXPECT_TRUE(display_->show('E', '1', DISP_ADD | DISP_BLINK));
  EXPECT_TRUE(display_->show('D', 'S', 0));
  sim_->setInputs(0);
  EXPECT_EQ(display_->poll(), 1);
  EXPECT_EQ(sim_->displayWrites(), writes);
  EXPECT_EQ(sim_->displayText(), "RS");
  EXPECT_EQ(code(1), "") << "nothing is added while frozen";

  // A later freezing show (an update after a restart request) still shows.
  EXPECT_TRUE(display_->show('D', 'L', DISP_FREEZE | DISP_BLINK));
  EXPECT_EQ(sim_->displayText(), "DL");
}

TEST_F(StatusDisplayTest, OtherBoardsShowNothing) {
  setProduct(100, 0, 4);
  EXPECT_TRUE(display_->show('E', '5', DISP_ADD));
  EXPECT_TRUE(display_->show('R', 'S', DISP_FREEZE));
  EXPECT_EQ(sim_->displayWrites(), 0);
  EXPECT_EQ(code(0), "");
  EXPECT_EQ(display_->powerState(), 0);
}

TEST_F(StatusDisplayTest, PowerSuppliesShowE1WithPointsAndAreReported) {
  setParam("disp_pwr", "on");
  inputWords.clear();
  setPowerInputEventHook(recordInputs);
  struct Case {
    int psu1, psu2;
    int powerState;
    const char* firstShown;  // by the poll, before the rotation
  };
  const Case cases[] = {
      {0, 0, 3, "display \"E.1.\" blink=11,15,1,200"},  // both failed: both points
      {1, 0, 2, "display \"E.1\" blink=11,15,1,200"},   // supply 2: point after the first character
      {0, 1, 1, "display \"E1.\" blink=11,15,1,200"},   // supply 1: point after the second character
      {1, 1, 0, "display \"DS\" blink=0,0,0,0"},        // both back: E1 removed, the default text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstShown);
    sim_->setInputs((c.psu1 ? 1u : 0u) | (c.psu2 ? 2u : 0u));
    sim_->clearLog();
    EXPECT_EQ(display_->poll(), 1);
    EXPECT_EQ(display_->powerState(), c.powerState);
    auto shown = logWith("display ");
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0].text, c.firstShown);
    EXPECT_EQ(code(0), c.powerState ? "E1" : "");
    if (c.powerState) {
      EXPECT_EQ(display_->slot(0).flags, c.powerState | DISP_BLINK);
    }
  }
  EXPECT_EQ(inputWords, (std::vector<uint32_t>{0, 1, 2, 3}));
  // No change: no report.
  display_->poll();
  EXPECT_EQ(inputWords.size(), 4u);
}

TEST_F(StatusDisplayTest, PollRotatesThroughTheCodesAndTheDefaultText) {
  setParam("disp_def", "AB");
  EXPECT_TRUE(display_->show('E', '2', DISP_ADD | DISP_BLINK));
  EXPECT_TRUE(display_->show('E', '5', DISP_ADD | DISP_BLINK));
  EXPECT_TRUE(display_->show('E', '2', DISP_REMOVE));
  EXPECT_TRUE(display_->show('E', '3', DISP_ADD | DISP_BLINK));
  // Slots: E3, E5.
  const char* expected[] = {"E3", "E5", "AB", "E3", "E5", "AB"};
  for (const char* e : expected) {
    display_->poll();
    EXPECT_EQ(sim_->displayText(), e);
  }
  EXPECT_EQ(display_->currentIndex(), -1);
  EXPECT_EQ(sim_->lastDisplayFrame().word[1], 0u) << "the default text does not blink";
}

TEST_F(StatusDisplayTest, PollBeepsForAFailedSupplyOnBeeperModels) {
  ASSERT_TRUE(device_->startUp(nullptr));
  setParam("sw_features", std::to_string(FEATURE_BEEPER).c_str());
  setParam("beepPwr", "on");
  sim_->clearLog();
  sim_->setInputs(1);
  display_->poll();
  ASSERT_TRUE(eventually([&] { return logWith("outputs off 0x80000000").size() == 1; }));
  sim_->setInputs(3);
  display_->poll();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(logWith("outputs on").size(), 1u) << "no beep once the supply is back";
}

}  // namespace

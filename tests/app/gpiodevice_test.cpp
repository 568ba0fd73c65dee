#include "app/gpiodevice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/support/boardtestenv.h"
#include "platform/board/boarddriver.h"
#include "runtime/task/uptime.h"

namespace {

using GpioDeviceTest = BoardTestEnv;

std::string onText(uint32_t mask) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "outputs on 0x%08x", mask);
  return buf;
}

std::string offText(uint32_t mask) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "outputs off 0x%08x", mask);
  return buf;
}

std::string patternText(const LedPattern& p) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "pattern mask=0x%x bits=0x%x length=0x%x repeat=%u period=%u", p.ledMask, p.bits,
                p.lengthMask, p.repeat, p.periodMs);
  return buf;
}

TEST_F(GpioDeviceTest, StartUpPowersThePortsInGroups) {
  struct Case {
    const char* what;
    uint32_t ports;
    uint32_t product;
    bool poffHidden;
    const char* poffOnKey;  // a port switched off by its parameter
    std::vector<std::string> outputs;
    size_t groups;
  };
  const Case cases[] = {
      {"8 ports: every second port first",
       8,
       0,
       false,
       nullptr,
       {onText(0x1), onText(0x4), onText(0x10), onText(0x40), onText(0x2), onText(0x8), onText(0x20), onText(0x80)},
       2},
      {"3 ports: one group", 3, 0, false, nullptr, {onText(0x1), onText(0x2), onText(0x4)}, 1},
      {"a port whose power-off parameter is on stays off",
       4,
       0,
       false,
       "zov_poff_2",
       {onText(0x1), offText(0x2), onText(0x4), onText(0x8)},
       1},
      {"no parameter: products that power by default", 2, 326, true, nullptr, {onText(0x1), onText(0x2)}, 1},
      {"no parameter: other products leave the ports", 2, 332, true, nullptr, {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    freshBoard();
    setProduct(100, c.product, c.ports);
    if (c.poffHidden)
      for (int p = 1; p <= static_cast<int>(c.ports); ++p) hideParam(("zov_poff_" + std::to_string(p)).c_str());
    if (c.poffOnKey) setParam(c.poffOnKey, "on");

    ASSERT_TRUE(device_->open());
    EXPECT_FALSE(device_->startUpDone());
    ASSERT_TRUE(device_->startUp(nullptr));
    EXPECT_TRUE(device_->startUpDone());
    EXPECT_TRUE(device_->hasLedDriver());
    EXPECT_FALSE(device_->blinkerNeeded());
    EXPECT_EQ(device_->ledMask(), 0xffffffffu);
    EXPECT_EQ(device_->buttonMask(), 1u);

    std::vector<std::string> outputs;
    for (const auto& e : logWith("outputs ")) outputs.push_back(e.text);
    EXPECT_EQ(outputs, c.outputs);
    auto times = logWith("button-times ");
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times[0].text, "button-times mask=0x1 0,3500,3550,0");
    if (c.groups == 2) {
      // A pause of 50 ticks lies between the groups.
      auto on = logWith("outputs on ");
      ASSERT_EQ(on.size(), 8u);
      EXPECT_GE(on[4].ms - on[3].ms, 400);
      EXPECT_LT(on[3].ms - on[0].ms, 400);
    }
  }
}

TEST_F(GpioDeviceTest, LegacyBoardGetsOnlyTheTwoLegacyWords) {
  setProduct(100, 353, 4);
  sim_->setLegacyLedQueryAnswers(true);
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  EXPECT_TRUE(device_->startUpDone());
  EXPECT_FALSE(device_->hasLedDriver());
  EXPECT_TRUE(device_->blinkerNeeded());
  EXPECT_EQ(sim_->legacyLedWords(), (std::vector<uint32_t>{0x228, 0x3000000}));

  EXPECT_FALSE(device_->setOutput(0, true));
  EXPECT_FALSE(device_->setPortLed(0, 1, 0));
  EXPECT_FALSE(device_->showAddressOkPattern());
  EXPECT_FALSE(device_->setWlanLed(2));
  EXPECT_TRUE(device_->beep(0));
  // The beep would have ended well within this.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(device_->close());
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"legacy-led 0x00000228", "legacy-led 0x03000000"}))
      << "no pattern, output or button request reaches a legacy board";
}

TEST_F(GpioDeviceTest, Board278NeedsNeitherTheLegacyNorTheMaskQuery) {
  setProduct(278, 353, 0);
  sim_->setLegacyLedQueryAnswers(true);
  sim_->failRequest(boardreq::kLedMaskQuery, true);
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  EXPECT_TRUE(device_->hasLedDriver());
  EXPECT_EQ(device_->ledMask(), 0u);
  EXPECT_TRUE(sim_->legacyLedWords().empty());
}

TEST_F(GpioDeviceTest, FailingStartQueriesLeaveTheStartUpNotDone) {
  for (uint32_t request : {boardreq::kLedMaskQuery, boardreq::kStartQuery}) {
    freshBoard();
    sim_->failRequest(request, true);
    ASSERT_TRUE(device_->open());
    EXPECT_FALSE(device_->startUp(nullptr));
    EXPECT_FALSE(device_->startUpDone());
    EXPECT_TRUE(logWith("outputs ").empty());
  }
}

TEST_F(GpioDeviceTest, WithoutABoardTheStartUpCountsAsDone) {
  GpioDevice none;  // chooses its driver from the data root, which has none
  EXPECT_FALSE(none.open());
  EXPECT_FALSE(none.isOpen());
  EXPECT_TRUE(none.startUpDone());
  EXPECT_FALSE(none.startUp(nullptr));
  uint32_t word = 0;
  EXPECT_EQ(none.control(boardreq::kReadInputs, &word), -1);
  EXPECT_EQ(none.controlValue(boardreq::kLegacyLed, 0x228), -1);
  EXPECT_FALSE(none.close());
  EXPECT_EQ(none.openButton(0), -1);
  int64_t t;
  EXPECT_FALSE(none.readTicks(&t));

  // A board node that is missing behaves the same.
  sim_->setPresent(false);
  EXPECT_FALSE(device_->open());
  EXPECT_TRUE(device_->startUpDone());
}

TEST_F(GpioDeviceTest, SimulatedBoardIsChosenFromTheDataRoot) {
  writeFile("/dev/gpio.sim", "buttons 3\n");
  GpioDevice dev;
  ASSERT_TRUE(dev.open());
  ASSERT_TRUE(dev.startUp(nullptr));
  EXPECT_EQ(dev.buttonMask(), 3u);
  EXPECT_TRUE(exists("/var/simboard.ctl"));
}

TEST_F(GpioDeviceTest, PortLedsFollowTheBoardTable) {
  struct Case {
    uint32_t board;
    int port, state, rate;
    bool result;
    LedPattern pattern;  // mask 0: nothing sent
  };
  struct BoardCases {
    uint32_t board;
    uint32_t ledMask;
    std::vector<Case> cases;
  };
  const BoardCases boards[] = {
      {100,
       0xffffffff,
       {{100, 1, 1, 0, true, {0x20200, 0x200, 0, 0, 0}},
        {100, 1, 3, 0, true, {0x20200, 0x20200, 0, 0, 0}},
        {100, 1, 0, 0, true, {0x20200, 0, 0, 0, 0}},
        {100, 1, 2, 2, true, {0x20000, 1, 3, 1, 500}},
        {100, 0, 3, 6, true, {0x10100, 1, 3, 1, 166}},
        {100, 1, 0, 5, false, {}},
        {100, 1, 4, 0, false, {}},
        {100, -1, 1, 0, false, {}},
        {100, 31, 2, 6, false, {}}}},
      {248, 0x0f, {{248, 1, 3, 0, true, {0xc, 0xc, 0, 0, 0}}, {248, 2, 1, 0, false, {}}}},
      {267, 0xff, {{267, 1, 1, 0, true, {0xa, 0x2, 0, 0, 0}}}},
      {253, 0xff, {{253, 0, 2, 0, true, {0xc, 0x8, 0, 0, 0}}}},
      {209, 0xff, {{209, 0, 1, 0, true, {0x2, 0x2, 0, 0, 0}}, {209, 1, 1, 0, false, {}}}},
  };
  for (const BoardCases& b : boards) {
    freshBoard();
    setProduct(b.board, 0, 1);
    sim_->setLedMask(b.ledMask);
    ASSERT_TRUE(device_->open());
    ASSERT_TRUE(device_->startUp(nullptr));
    for (const Case& c : b.cases) {
      SCOPED_TRACE("board " + std::to_string(c.board) + " port " + std::to_string(c.port) + " state " +
                   std::to_string(c.state) + " rate " + std::to_string(c.rate));
      sim_->clearLog();
      EXPECT_EQ(device_->setPortLed(c.port, c.state, c.rate), c.result);
      std::vector<std::string> expected;
      if (c.pattern.ledMask) expected.push_back(patternText(c.pattern));
      EXPECT_EQ(logTexts(), expected);
    }
  }
}

TEST_F(GpioDeviceTest, PortLedStateReadsBack) {
  setProduct(100, 0, 1);
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  for (int state : {1, 2, 3, 0}) {
    ASSERT_TRUE(device_->setPortLed(2, state, 0));
    EXPECT_EQ(device_->getPortLed(2), state);
  }
}

TEST_F(GpioDeviceTest, Board278PortAndBoardLedFrames) {
  setProduct(278, 353, 0);
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  sim_->clearLog();

  EXPECT_TRUE(device_->setPortLed(2, 1, 5));
  EXPECT_EQ(sim_->boardLeds(0), 1u << 10);
  EXPECT_TRUE(device_->setPortLed(6, 3, 0));
  EXPECT_EQ(sim_->boardLeds(1), 1u << 17);
  EXPECT_TRUE(device_->setPortLed(6, 0, 0));
  EXPECT_EQ(sim_->boardLeds(1), 0u);
  EXPECT_FALSE(device_->setPortLed(6, 4, 0));

  device_->setBoardLeds(-1);
  EXPECT_EQ(sim_->boardLeds(2), 0x7fff7fffu);
  device_->setBoardLeds(1);
  EXPECT_EQ(sim_->boardLeds(2), 0x7fff7fffu & ~(3072u | (3072u << 16)));
  EXPECT_EQ(logTexts().back(), "board-leds select=00000000,00000000,7fff7fff on=00000000,00000000,f3fff3ff");
  EXPECT_EQ(logTexts().size(), 5u);

  setProduct(100, 0, 0);
  device_->setBoardLeds(-1);
  EXPECT_EQ(logTexts().size(), 5u) << "other boards have no board LED frame";
}

TEST_F(GpioDeviceTest, StatusAndWlanLedPatterns) {
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  sim_->clearLog();
  EXPECT_TRUE(device_->showStatusLedOn());
  EXPECT_TRUE(device_->showAddressOkPattern());
  EXPECT_TRUE(device_->showNoAddressPattern());
  for (int mode = 0; mode < 4; ++mode) EXPECT_TRUE(device_->setWlanLed(mode));
  EXPECT_FALSE(device_->setWlanLed(4));
  const LedPattern expected[] = {{1, 1, 3, 0, 100},    {2, 0x5, 1023, 1, 250}, {2, 0x15, 1023, 1, 250},
                                 {8, 0, 0, 0, 0},      {8, 204, 255, 1, 0},    {8, 8, 0, 0, 0},
                                 {8, 170, 255, 1, 0}};
  std::vector<std::string> texts;
  for (const LedPattern& p : expected) texts.push_back(patternText(p));
  EXPECT_EQ(logTexts(), texts);
}

TEST_F(GpioDeviceTest, RelayIsOutput29ActiveLowOnRelayModels) {
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  sim_->clearLog();
  EXPECT_FALSE(device_->setRelay(true)) << "no FEATURE_RELAY";
  setParam("sw_features", std::to_string(FEATURE_RELAY).c_str());
  EXPECT_TRUE(device_->setRelay(true));
  EXPECT_TRUE(device_->setRelay(false));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{offText(1u << 29), onText(1u << 29)}));
}

TEST_F(GpioDeviceTest, StartUpSetsAFixedRelay) {
  setProduct(100, 365, 0);
  setParam("sw_features", std::to_string(FEATURE_RELAY).c_str());
  setParam("relay_ctrl", "fix");
  setParam("relay_on", "on");
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  EXPECT_EQ(logWith("outputs ").back().text, offText(1u << 29));
  EXPECT_FALSE(sim_->outputOn(29));
}

TEST_F(GpioDeviceTest, OutputMaskIsEmptyFromIndex32) {
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  sim_->clearLog();
  EXPECT_TRUE(device_->setOutput(32, true));
  EXPECT_FALSE(device_->setOutput(-1, true));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{onText(0)}));
}

TEST_F(GpioDeviceTest, BeepsSoundOnTheBeeperOutput) {
  struct Case {
    uint32_t board;
    int kind;
    uint32_t mask;
    size_t beeps;
    int minOnMs;
  };
  const Case cases[] = {{100, 2, 0x1, 2, 80}, {100, 1, 0x1, 1, 350}, {278, 0, 0x80000000, 1, 80}};
  for (const Case& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + " board " + std::to_string(c.board));
    freshBoard();
    setProduct(c.board, 0, 0);
    ASSERT_TRUE(device_->open());
    ASSERT_TRUE(device_->startUp(nullptr));
    sim_->clearLog();
    ASSERT_TRUE(device_->beep(c.kind));
    ASSERT_TRUE(eventually([&] { return logWith("outputs off").size() == c.beeps; }));
    auto log = sim_->log();
    ASSERT_EQ(log.size(), 2 * c.beeps);
    for (size_t i = 0; i < c.beeps; ++i) {
      EXPECT_EQ(log[2 * i].text, onText(c.mask));
      EXPECT_EQ(log[2 * i + 1].text, offText(c.mask));
      EXPECT_GE(log[2 * i + 1].ms - log[2 * i].ms, c.minOnMs);
    }
    if (c.beeps == 2) {
      EXPECT_GE(log[2].ms - log[1].ms, 200) << "250 ms between beeps";
    }
  }
}

TEST_F(GpioDeviceTest, CloseShowsTheResetPatternAndEndsRequests) {
  sim_->setLedMask(0xff00);
  ASSERT_TRUE(device_->open());
  ASSERT_TRUE(device_->startUp(nullptr));
  sim_->clearLog();
  EXPECT_TRUE(device_->close());
  EXPECT_EQ(logTexts(), (std::vector<std::string>{patternText({0xff00, 1, 3, 0, 300})}));
  EXPECT_FALSE(device_->isOpen());
  EXPECT_FALSE(device_->setOutput(1, true));
  EXPECT_FALSE(device_->setPortLed(0, 1, 0));
  EXPECT_FALSE(device_->close());
}

TEST_F(GpioDeviceTest, ProgramClockFollowsTheBoardTickCounter) {
  std::unique_ptr<SimBoard> sim(new SimBoard);
  SimBoard* board = sim.get();
  board->holdTicks(true);
  board->setTicks(123456);
  resetUptimeForTesting();
  gpioDevice.useDriver(std::move(sim));
  ASSERT_TRUE(gpioDevice.open());

  EXPECT_EQ(gpioDevice.clockTicks(), 0) << "the clock starts at 0";
  board->advanceTicks(6000);
  EXPECT_EQ(uptimeCs(), 6000);
  int64_t ticks = 0;
  ASSERT_TRUE(gpioDevice.readTicks(&ticks));
  EXPECT_EQ(ticks, 129456);

  // Once the counter cannot be read, the process clock takes over and
  // the clock goes on from where it was.
  board->failRequest(boardreq::kTicks, true);
  int64_t later = uptimeCs();
  EXPECT_GE(later, 6000);
  board->failRequest(boardreq::kTicks, false);
  board->advanceTicks(100000);
  EXPECT_LT(uptimeCs(), later + 50000);

  EXPECT_TRUE(gpioDevice.close());
  gpioDevice.useDriver(nullptr);
  resetUptimeForTesting();
}

}  // namespace

#include "notify/alarmrelay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "notify/support/notify_fixture.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "runtime/task/uptime.h"

namespace {

std::mutex switchMutex;
std::vector<int> switches;  // 1 energised, 0 released

bool recordSwitch(bool on) {
  std::lock_guard<std::mutex> lock(switchMutex);
  switches.push_back(on ? 1 : 0);
  return true;
}

class AlarmRelayTest : public NotifyFixture {
 protected:
  void SetUp() override {
    NotifyFixture::SetUp();
    setFeatures(FEATURE_EMAIL | FEATURE_RELAY);
    for (const char* key : {"relay_stat_net", "relay_stat_ucon", "relay_stat_udis", "relay_stat_uact",
                            "relay_stat_udea", "relay_eve_start", "relay_eve_net", "relay_eve_1pwr",
                            "relay_eve_2pwr", "relay_eve_sd", "relay_eve_ucon", "relay_eve_udis",
                            "relay_eve_uact", "relay_eve_udea"})
      setParam(key, "off");
    setParam("relay_ctrl", "fix");
    setParam("relay_eves", "0");
    clearRelayHistory();
    {
      std::lock_guard<std::mutex> lock(switchMutex);
      switches.clear();
    }
    setRelaySwitch(recordSwitch);
  }
  void TearDown() override {
    setRelaySwitch(nullptr);
    NotifyFixture::TearDown();
  }
  std::vector<int> switched() {
    std::lock_guard<std::mutex> lock(switchMutex);
    return switches;
  }
  int latched() { return paramStore.findInt("relay_eves")->value(); }
};

struct Step {
  int code;
  int result;  // the latched set returned
  int relay;   // -1 untouched, 0 released, 1 energised
};

struct Scenario {
  const char* name;
  std::vector<std::pair<const char*, const char*>> params;
  std::vector<Step> steps;
};

TEST_F(AlarmRelayTest, StateAndEventModesSwitchAsTheirChoicesSay) {
  const Scenario scenarios[] = {
      {"state: link lost switches on, link back off, a repeated report nothing",
       {{"relay_ctrl", "stat"}, {"relay_stat_net", "netoff"}},
       {{0x2, 0x2, 1}, {0x4, 0x4, 0}, {0x2, 0x2, 1}, {0x2, 0x2, -1}, {0x1000, 0x2, -1}}},
      {"state: USB port 2 pair with any port",
       {{"relay_ctrl", "stat"}, {"relay_stat_ucon", "any"}},
       {{0x10000, 0x10000, 1}, {0x20000, 0x20000, 0}, {0x1000, 0x21000, 1}}},
      {"state: a choice naming port 1 ignores port 2",
       {{"relay_ctrl", "stat"}, {"relay_stat_uact", "1"}},
       {{0x40000, 0, -1}, {0x4000, 0x4000, 1}, {0x8000, 0x8000, 0}}},
      {"event: a device on port 1 switches on, port 2 and unplugging do not",
       {{"relay_ctrl", "eve"}, {"relay_eve_ucon", "1"}},
       {{0x10000, 0, -1}, {0x1000, 0x1000, 1}, {0x2000, 0x1000, -1}, {0x1000, 0x1000, -1}}},
      {"event: any port",
       {{"relay_ctrl", "eve"}, {"relay_eve_ucon", "any"}},
       {{0x10000, 0x10000, 1}, {0x1000, 0x11000, 1}}},
      {"event: start, link, supplies and card",
       {{"relay_ctrl", "eve"}, {"relay_eve_start", "warm"}, {"relay_eve_net", "neton"},
        {"relay_eve_1pwr", "pwroff"}, {"relay_eve_2pwr", "pwron"}, {"relay_eve_sd", "sderr"}},
       {{0x1, 0x1, 1}, {0x2, 0x1, -1}, {0x4, 0x5, 1}, {0x10, 0x5, -1}, {0x40, 0x45, 1},
        {0x20, 0x65, 1}, {0x80, 0x65, -1}, {0x400, 0x465, 1}, {0x100, 0x465, -1}}},
      {"fixed: events change nothing", {{"relay_ctrl", "fix"}, {"relay_eve_start", "warm"}}, {{0x1, 0, -1}}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    setParam("relay_eves", "0");
    for (const auto& kv : s.params) setParam(kv.first, kv.second);
    for (const Step& step : s.steps) {
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << step.code);
      const size_t before = switched().size();
      EXPECT_EQ(signalRelayEvent(step.code), step.result);
      std::vector<int> after = switched();
      if (step.relay < 0) {
        EXPECT_EQ(after.size(), before);
      } else {
        ASSERT_EQ(after.size(), before + 1);
        EXPECT_EQ(after.back(), step.relay);
      }
    }
    for (const auto& kv : s.params) setParam(kv.first, std::string(kv.first) == "relay_ctrl" ? "fix" : "off");
  }
}

TEST_F(AlarmRelayTest, TheBoardStartUpAppliesWhatTheEventsDecided) {
  // An event reported before the board could switch: the switch failed.
  setRelaySwitch([](bool) { return false; });
  setParam("relay_ctrl", "stat");
  setParam("relay_stat_net", "netoff");
  EXPECT_EQ(signalRelayEvent(0x2), 0x2);
  std::vector<int> applied;
  auto record = [](void* context, bool on) {
    static_cast<std::vector<int>*>(context)->push_back(on ? 1 : 0);
    return true;
  };
  EXPECT_TRUE(applyRelayDecision(record, &applied));
  EXPECT_EQ(applied, std::vector<int>{1});
  setRelaySwitch(recordSwitch);
  EXPECT_EQ(signalRelayEvent(0x4), 0x4);
  EXPECT_TRUE(applyRelayDecision(record, &applied));
  EXPECT_EQ(applied, (std::vector<int>{1, 0}));
}

TEST_F(AlarmRelayTest, AModelWithoutTheRelayTouchesNothing) {
  setFeatures(FEATURE_EMAIL);
  setParam("relay_ctrl", "eve");
  setParam("relay_eve_start", "warm");
  setParam("relay_eves", "4");
  for (int code : {0x1, 0x2, 0x1000}) EXPECT_EQ(signalRelayEvent(code), 0);
  EXPECT_TRUE(switched().empty());
  EXPECT_EQ(latched(), 4);
  EXPECT_EQ(relayHistoryRow(0).time, 0u);
}

TEST_F(AlarmRelayTest, HistoryTimesAreUptimeSecondsUntilTheClockShowsAYearAfter2015) {
  setParam("relay_ctrl", "eve");
  setParam("relay_eve_net", "netoff");
  setParam("relay_eve_start", "warm");
  setWallClock(2015, 12, 31, 23, 0);
  shiftUptimeForTesting(12345);
  const uint32_t uptimeSeconds = static_cast<uint32_t>(uptimeCs() / 100);
  signalRelayEvent(0x2);
  EXPECT_GE(relayHistoryRow(1).time, uptimeSeconds);
  EXPECT_LE(relayHistoryRow(1).time, uptimeSeconds + 5);

  setWallClock(2016, 1, 1, 0, 0);
  signalRelayEvent(0x1);
  EXPECT_EQ(relayHistoryRow(0).time, 1451606400u);
  EXPECT_STREQ(relayHistoryRow(0).text, "Restart");
  EXPECT_STREQ(relayHistoryRow(17).text, "USB device deactivated (port 2)");
  EXPECT_EQ(relayHistoryRow(17).code, 0x80000u);
  EXPECT_EQ(relayHistoryRow(RELAY_HISTORY_ROWS).code, 0u);
  EXPECT_EQ(relayHistoryRow(RELAY_HISTORY_ROWS).text, nullptr);
}

TEST_F(AlarmRelayTest, ConcurrentEventsLatchEveryCodeAndSwitchOncePerCode) {
  setParam("relay_ctrl", "eve");
  setParam("relay_eve_start", "warm");
  setParam("relay_eve_net", "netoff");
  setParam("relay_eve_1pwr", "pwroff");
  setParam("relay_eve_2pwr", "pwron");
  setParam("relay_eve_sd", "sdin");
  for (const char* key : {"relay_eve_ucon", "relay_eve_udis", "relay_eve_uact", "relay_eve_udea"})
    setParam(key, "any");
  const int codes[] = {0x1, 0x2, 0x40, 0x20, 0x100, 0x1000, 0x2000, 0x4000, 0x8000,
                       0x10000, 0x20000, 0x40000, 0x80000};
  int all = 0;
  for (int c : codes) all |= c;
  for (int round = 0; round < 20; ++round) {
    setParam("relay_eves", "0");
    {
      std::lock_guard<std::mutex> lock(switchMutex);
      switches.clear();
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) {
        }
        for (int i = 0; i < 13; ++i) signalRelayEvent(codes[(i * 5 + t * 3) % 13]);
      });
    }
    go.store(true);
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(latched(), all) << "round " << round;
    ASSERT_EQ(switched().size(), 13u) << "round " << round;
  }
}

}  // namespace

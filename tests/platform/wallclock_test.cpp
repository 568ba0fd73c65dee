// The wall-clock layer away from the appliance: the stand-in records what
// was set, never the host's clock, and the simulated board reports it and
// lets its tick counter follow the steps.
#include "platform/clock/wallclock.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cerrno>
#include <string>

#include "platform/board/simboard.h"
#include "support/control_client.h"
#include "support/scratch_root.h"

namespace {

class WallClockTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    resetSimulatedWallClock();
    setWallClockTickFollower(nullptr, nullptr);
  }
  void TearDown() override {
    setWallClockTickFollower(nullptr, nullptr);
    resetSimulatedWallClock();
    ScratchRoot::TearDown();
  }
};

// A time far from now: a real set would be unmistakable.
constexpr time_t kFarAhead = 4102444800;  // 2100-01-01

TEST_F(WallClockTest, StandInRecordsTheTimeAndLeavesTheHostClock) {
  timeval when{kFarAhead, 250000};
  ASSERT_EQ(setWallClock(when), 0);
  timeval now{};
  gettimeofday(&now, nullptr);
  EXPECT_LT(now.tv_sec, kFarAhead - 365 * 86400);
  const WallClockRecord r = simulatedWallClock();
  EXPECT_EQ(r.sets, 1);
  EXPECT_EQ(r.lastSeconds, kFarAhead);
  EXPECT_EQ(r.lastMicros, 250000);
  EXPECT_GT(r.lastStepCs, (kFarAhead - now.tv_sec - 60) * 100);
  EXPECT_LT(r.lastStepCs, (kFarAhead - now.tv_sec + 60) * 100);

  timeval bad{kFarAhead, 1000000};
  EXPECT_EQ(setWallClock(bad), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(simulatedWallClock().sets, 1);
}

TEST_F(WallClockTest, BoardReportsTheRecordAndFollowsStepsOnRequest) {
  SimBoard board;
  ASSERT_TRUE(board.open());
  const std::string socketPath = path("simboard.ctl");
  ASSERT_TRUE(board.startControlSocket(socketPath));
  ControlClient control(socketPath);
  ASSERT_TRUE(control.connected());
  ASSERT_EQ(control.ask("ticks hold"), "ok\n");

  timeval now{};
  gettimeofday(&now, nullptr);
  const int64_t ticks = board.ticks();
  timeval ahead{now.tv_sec + 100, 0};
  ASSERT_EQ(setWallClock(ahead), 0);
  EXPECT_EQ(board.ticks(), ticks) << "a counter that ignores the wall clock";

  ASSERT_EQ(control.ask("clock follow"), "ok\n");
  ASSERT_EQ(setWallClock(ahead), 0);
  const int64_t step = simulatedWallClock().lastStepCs;
  EXPECT_EQ(board.ticks(), ticks + step);
  EXPECT_EQ(control.ask("clock"), "sets 2\nseconds " + std::to_string(ahead.tv_sec) + "\nmicros 0\nstep " +
                                      std::to_string(step) + "\nok\n");

  ASSERT_EQ(control.ask("clock still"), "ok\n");
  ASSERT_EQ(setWallClock(ahead), 0);
  EXPECT_EQ(board.ticks(), ticks + step);
  EXPECT_EQ(control.ask("clock sideways"), "error bad arguments to clock\n");
}

}  // namespace

// The program clock.
#include "runtime/task/uptime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A board tick counter the tests move by hand.
std::atomic<int64_t> boardTicks{0};
std::atomic<bool> boardFails{false};
std::atomic<int> boardReads{0};

bool readBoard(int64_t* cs) {
    boardReads.fetch_add(1);
    if (boardFails.load())
        return false;
    *cs = boardTicks.load();
    return true;
}

bool readOtherBoard(int64_t* cs) {
    *cs = 777777;
    return true;
}

class TaskUptimeClock : public testing::Test {
protected:
    void SetUp() override {
        resetUptimeForTesting();
        boardTicks = 0;
        boardFails = false;
        boardReads = 0;
    }
    void TearDown() override { resetUptimeForTesting(); }
};

TEST_F(TaskUptimeClock, StartsAtZeroAndCountsHundredthsOfASecond) {
    EXPECT_EQ(uptimeCs(), 0);
    std::this_thread::sleep_for(300ms);
    int64_t later = uptimeCs();
    EXPECT_GE(later, 29);
    EXPECT_LT(later, 300) << "generous: 100 per second";
    int64_t viaTaskClock = taskClock();
    EXPECT_GE(viaTaskClock, later);
    EXPECT_LT(viaTaskClock - later, 100);
}

TEST_F(TaskUptimeClock, BoardCounterDrivesTheClock) {
    boardTicks = 5000;
    setBoardTickSource(readBoard);
    EXPECT_EQ(uptimeCs(), 0);
    boardTicks = 5250;
    EXPECT_EQ(uptimeCs(), 250);
    boardTicks = 5250 + 360000;
    EXPECT_EQ(uptimeCs(), 360250);
}

TEST_F(TaskUptimeClock, BoardCounterAtZeroIsAValidZeroPoint) {
    boardTicks = 0;
    setBoardTickSource(readBoard);
    EXPECT_EQ(uptimeCs(), 0);
    boardTicks = 100;
    EXPECT_EQ(uptimeCs(), 100);
}

// Installing the board counter after the zero point was taken from the
// process clock neither jumps nor goes back.
TEST_F(TaskUptimeClock, SwitchToTheBoardKeepsTheClockContinuous) {
    int64_t before = uptimeCs();
    boardTicks = 123456789;
    setBoardTickSource(readBoard);
    int64_t after = uptimeCs();
    EXPECT_GE(after, before);
    EXPECT_LT(after - before, 100);
    boardTicks += 40;
    EXPECT_EQ(uptimeCs(), after + 40);
}

// A failed board read falls back to the process clock for good, continuing
// from where the board left the clock.
TEST_F(TaskUptimeClock, FailedBoardReadFallsBackForTheRestOfTheRun) {
    boardTicks = 1000;
    setBoardTickSource(readBoard);
    uptimeCs();
    boardTicks = 1000 + 50000;
    EXPECT_EQ(uptimeCs(), 50000);
    boardFails = true;
    int64_t fallback = uptimeCs();
    EXPECT_GE(fallback, 50000);
    EXPECT_LT(fallback, 50100);
    int readsAfterFailure = boardReads.load();
    boardFails = false;
    boardTicks = 999999999;
    std::this_thread::sleep_for(100ms);
    int64_t later = uptimeCs();
    EXPECT_GE(later, fallback + 9);
    EXPECT_LT(later, fallback + 1000);
    EXPECT_EQ(boardReads.load(), readsAfterFailure) << "the failed counter is not read again";
}

TEST_F(TaskUptimeClock, RemovingOrReplacingTheSourceKeepsTheClockContinuous) {
    boardTicks = 10;
    setBoardTickSource(readBoard);
    uptimeCs();
    boardTicks = 10 + 9000;
    EXPECT_EQ(uptimeCs(), 9000);
    setBoardTickSource(readOtherBoard);
    int64_t replaced = uptimeCs();
    EXPECT_GE(replaced, 9000);
    EXPECT_LT(replaced, 9100);
    setBoardTickSource(nullptr);
    int64_t removed = uptimeCs();
    EXPECT_GE(removed, replaced);
    EXPECT_LT(removed, replaced + 100);
}

TEST_F(TaskUptimeClock, NeverGoesBackwards) {
    boardTicks = 100000;
    setBoardTickSource(readBoard);
    uptimeCs();
    boardTicks = 100500;
    EXPECT_EQ(uptimeCs(), 500);
    boardTicks = 100200;  // a counter that stepped back
    EXPECT_EQ(uptimeCs(), 500);
    boardTicks = 100600;
    EXPECT_EQ(uptimeCs(), 600);
}

TEST_F(TaskUptimeClock, TestShiftMovesEveryLaterReading) {
    boardTicks = 0;
    setBoardTickSource(readBoard);
    EXPECT_EQ(uptimeCs(), 0);
    shiftUptimeForTesting(8640000);  // one day
    EXPECT_EQ(uptimeCs(), 8640000);
    shiftUptimeForTesting(100);
    boardTicks = 5;
    EXPECT_EQ(taskClock(), 8640105);
}

TEST_F(TaskUptimeClock, ReadersOnManyThreadsSeeAMonotonicClock) {
    setBoardTickSource(readBoard);
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        for (int i = 0; i < 2000 && !stop; ++i)
            boardTicks.fetch_add(1);
        boardFails = true;  // and a switch to the process clock halfway
    });
    std::vector<std::thread> readers;
    std::atomic<int> backwards{0};
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            int64_t last = 0;
            for (int i = 0; i < 5000; ++i) {
                int64_t now = uptimeCs();
                if (now < last)
                    backwards.fetch_add(1);
                last = now;
            }
        });
    }
    for (auto& t : readers)
        t.join();
    stop = true;
    ticker.join();
    EXPECT_EQ(backwards.load(), 0);
}

}  // namespace

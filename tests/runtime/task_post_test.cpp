// Posting to a receiver that does not read: no sender stalls, nothing
// waits under the table lock, lost messages are counted and reported, and
// a receiver stays alive while posters that picked it are still writing.
#include "runtime/task/task.h"

#include "runtime/task/uptime.h"
#include "runtime/task_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

using namespace tasktest;

namespace {

constexpr int32_t kPing = 0x100;
constexpr int32_t kPong = 0x200;
constexpr int32_t kFlood = 0x400;

// A task that does not read its pipe until the test lets it; then it serves
// everything that is pending and ends.
struct DeafTask {
    std::shared_ptr<TaskProbe> probe = std::make_shared<TaskProbe>();
    std::atomic<bool> listen{false};
    ProbeTask* task = nullptr;

    bool start(const char* name) {
        task = startTask(name, probe, [this](ProbeTask& self) {
            while (!listen.load())
                std::this_thread::sleep_for(1ms);
            while (self.servePendingMessage() == 1) {
            }
        });
        return task != nullptr && taskRunning(*probe);
    }
    // Releases the task (also after a failed check, so no thread stays stuck).
    bool finish() {
        listen.store(true);
        return taskEnded(*probe, 30s);
    }
};

// Two tasks that keep a message going back and forth by id, counting the
// round trips, until stopped.
struct PingPong {
    std::atomic<int> roundTrips{0};
    std::atomic<bool> stop{false};
    std::atomic<int32_t> pingerId{0};
    std::atomic<int32_t> pongerId{0};
    std::shared_ptr<TaskProbe> pingProbe = std::make_shared<TaskProbe>();
    std::shared_ptr<TaskProbe> pongProbe = std::make_shared<TaskProbe>();

    bool start() {
        ProbeTask* ponger = startTask("Ponger", pongProbe, nullptr, [this](ProbeTask&, const TaskMessage& m) {
            if (m.flags & kPing)
                postToTaskId(pingerId.load(), message(kPong));
            return 0;
        });
        ProbeTask* pinger = startTask("Pinger", pingProbe, nullptr, [this](ProbeTask&, const TaskMessage& m) {
            if ((m.flags & kPong) && !stop.load()) {
                roundTrips.fetch_add(1);
                postToTaskId(pongerId.load(), message(kPing));
            }
            return 0;
        });
        if (ponger == nullptr || pinger == nullptr)
            return false;
        pongerId = ponger->id;
        pingerId = pinger->id;
        return postToTaskId(pongerId, message(kPing)) == 0;
    }
    // True when at least one more round trip completes (bounded).
    bool advances() {
        int seen = roundTrips.load();
        for (int i = 0; i < 10000; ++i) {
            if (roundTrips.load() > seen)
                return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    bool end() {
        stop = true;
        postToTaskId(pingerId, message(MSG_QUIT));
        postToTaskId(pongerId, message(MSG_QUIT));
        return taskEnded(*pingProbe) && taskEnded(*pongProbe);
    }
};

int countLines(const std::string& text, const char* what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(TaskPosts, FloodOfADeafReceiverStallsNoOneAndCountsEveryLostMessage) {
    constexpr int kPosts = 10000;
    DeafTask deaf;
    ASSERT_TRUE(deaf.start("Deaf"));
    PingPong pingPong;
    ASSERT_TRUE(pingPong.start());
    ASSERT_TRUE(pingPong.advances());

    const int32_t lostBefore = taskPostsLost.load();
    const int32_t deafId = deaf.task->id;
    shiftUptimeForTesting(100);  // a second after any earlier report
    testing::internal::CaptureStderr();
    const int64_t startCs = uptimeCs();
    // By id, by name and by broadcast in turn; every thousand posts the
    // other tasks must have completed another round trip.
    auto flood = std::async(std::launch::async, [&] {
        for (int i = 0; i < kPosts; ++i) {
            switch (i % 3) {
            case 0:
                postToTaskId(deafId, message(kFlood, i));
                break;
            case 1:
                postToTasksNamed("Deaf", message(kFlood, i));
                break;
            default:
                broadcastToTasks(message(kFlood, i));
                break;
            }
            if (i % 1000 == 999 && !pingPong.advances())
                return false;
        }
        return true;
    });
    bool finished = flood.wait_for(30s) == std::future_status::ready;
    const int64_t floodCs = uptimeCs() - startCs;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(finished) << "posting to a full pipe blocked the sender";
    EXPECT_TRUE(pingPong.advances()) << "round trips stopped";

    ASSERT_TRUE(deaf.finish());
    ASSERT_TRUE(flood.get()) << "round trips stalled during the flood";
    ASSERT_TRUE(pingPong.end());

    // Every message either arrived, in the order it was posted, or was counted.
    auto handled = deaf.probe->handledCopy();
    const int32_t lost = taskPostsLost.load() - lostBefore;
    EXPECT_GT(lost, 0);
    EXPECT_EQ(static_cast<int>(handled.size()) + lost, kPosts);
    for (size_t i = 1; i < handled.size(); ++i)
        ASSERT_LT(handled[i - 1].param, handled[i].param) << i;
    // At most one line per second of the program clock.
    int lines = countLines(log, "messages lost");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 1 + floodCs / 100) << log;
}

TEST(TaskPosts, LossReportWaitsForTheNextSecondOfTheProgramClock) {
    DeafTask deaf;
    ASSERT_TRUE(deaf.start("DeafToo"));
    // Fill the pipe; the first post that finds it full waits once, in vain.
    while (deaf.task->post(message(kFlood)) == 0) {
    }
    shiftUptimeForTesting(100);
    testing::internal::CaptureStderr();
    const int64_t startCs = uptimeCs();
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(postToTaskId(deaf.task->id, message(kFlood)), -1);
    const int64_t spentCs = uptimeCs() - startCs;
    shiftUptimeForTesting(100);
    EXPECT_EQ(postToTasksNamed("DeafToo", message(kFlood)), 1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(deaf.finish());

    // The lost post after the clock moved a second is always reported; the
    // 500 before it at most once per second they took.
    int lines = countLines(log, "messages lost");
    EXPECT_GE(lines, 1) << log;
    EXPECT_LE(lines, 2 + spentCs / 100) << log;
    EXPECT_NE(log.find("task DeafToo("), std::string::npos) << log;
}

TEST(TaskPosts, PostUnderTheTableLockDoesNotWaitForRoom) {
    DeafTask deaf;
    ASSERT_TRUE(deaf.start("DeafLocked"));
    // Fill the pipe directly, then clear the congestion mark as a reader would.
    while (deaf.task->post(message(kFlood)) == 0) {
    }
    deaf.task->pipeClogged = false;
    const int32_t lostBefore = taskPostsLost.load();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(TLOCK());
    // A post waiting here would hold up every other poster and starter.
    int rc = postToTasksNamed("DeafLocked", message(kFlood));
    EXPECT_FALSE(deaf.task->pipeClogged.load()) << "no wait ran out: none was made";
    unlockTaskTable();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(taskPostsLost.load(), lostBefore + 1);
    EXPECT_TRUE(deaf.finish());
}

// A receiver that ends while a poster, having picked it by name, still
// waits for room in its pipe: the object outlives the post.
TEST(TaskPosts, ReceiverOutlivesThePostersThatPickedIt) {
    DeafTask deaf;
    ASSERT_TRUE(deaf.start("DeafEnding"));
    ProbeTask* task = deaf.task;
    while (task->post(message(kFlood)) == 0) {
    }
    task->pipeClogged = false;
    auto poster = std::async(std::launch::async, [] { return postToTasksNamed("DeafEnding", message(kFlood)); });
    // The poster holds its pin while it waits for room (unless it already
    // gave up: the task's end is then the plain case).
    for (int i = 0; i < 10000 && task->postPins.load() == 0; ++i)
        std::this_thread::sleep_for(100us);
    // The task ends at once, without reading.
    auto ended = std::async(std::launch::async, [&] { return deaf.finish(); });
    ASSERT_EQ(poster.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(poster.get(), 1);
    EXPECT_TRUE(ended.get());
    EXPECT_EQ(postToTasksNamed("DeafEnding", message(kFlood)), 0);
}

// Tasks that come and go while other threads post to them by name and by
// broadcast: no post touches a task that is gone (the sanitizer builds
// catch one that does).
TEST(TaskPosts, PostsRaceWithTasksEndingWithoutHarm) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < 3; ++p) {
        posters.emplace_back([&stop, p] {
            for (int i = 0; i < 20000 && !stop.load(); ++i) {
                if (p == 0)
                    broadcastToTasks(message(kFlood));
                else
                    postToTasksNamed("Brief", message(kFlood));
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        auto probe = std::make_shared<TaskProbe>();
        ASSERT_NE(startTask("Brief", probe, [](ProbeTask& self) { self.wait(0); }), nullptr);
        ASSERT_TRUE(taskEnded(*probe));
    }
    stop = true;
    for (auto& t : posters)
        t.join();
    EXPECT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
}

}  // namespace

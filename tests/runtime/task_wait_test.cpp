// Task::wait, servePendingMessage and receiveMessage.
#include "runtime/task/task.h"

#include "runtime/task_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace tasktest;

namespace {

using Clock = std::chrono::steady_clock;

// Body helper: marks the probe before a wait, so the test knows when to act.
constexpr int kAboutToWait = -100;

int waitReported(ProbeTask& self, int64_t timeoutCs, int fd = -1) {
    self.probe().report(kAboutToWait);
    return self.wait(timeoutCs, fd);
}

bool reached(TaskProbe& probe, int marker) {
    return probe.waitUntil([marker](TaskProbe& p) {
        for (int r : p.results)
            if (r == marker)
                return true;
        return false;
    });
}

TEST(TaskWait, ZeroTimeOutLooksAndReturns) {
    std::atomic<int> idle{-1}, drained{-1}, woken{-1};
    std::atomic<size_t> served{0};
    std::atomic<double> idleSeconds{99};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        auto t0 = Clock::now();
        idle = self.wait(0);
        idleSeconds = secondsSince(t0);
        // Messages that do not end the wait are all served in one call.
        self.post(message(MSG_ADDRESS_CHANGED));
        self.post(message(0x0100));
        drained = self.wait(0);
        served = self.probe().handledCount();
        self.post(message(MSG_PARAMS_CHANGED));
        woken = self.wait(0);
    }));
    EXPECT_EQ(idle, WAIT_TIMEOUT);
    EXPECT_LT(idleSeconds, 1.0);
    EXPECT_EQ(drained, WAIT_TIMEOUT);
    EXPECT_EQ(served, 2u);
    EXPECT_EQ(woken, WAIT_WOKEN);
}

// Which handler results end a wait.
TEST(TaskWait, HandlerResultDecidesWhetherTheWaitEnds) {
    struct Case {
        int32_t flags;
        bool consumeParams;  // the handler clears MSG_PARAMS_CHANGED
        int expected;
    } cases[] = {
        {MSG_PARAMS_CHANGED, false, WAIT_WOKEN},
        {MSG_NOTIFY, false, WAIT_WOKEN},
        {MSG_WLAN_UP, false, WAIT_WOKEN},
        {MSG_ADDRESS_CHANGED, false, WAIT_TIMEOUT},
        {0x0100, false, WAIT_TIMEOUT},
        {MSG_PARAMS_CHANGED, true, WAIT_TIMEOUT},
        {MSG_PARAMS_CHANGED | MSG_NOTIFY, true, WAIT_WOKEN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags << " consume " << c.consumeParams);
        auto probe = std::make_shared<TaskProbe>();
        TaskHandler handler = [&c](ProbeTask&, const TaskMessage& m) {
            return c.consumeParams ? m.flags & ~MSG_PARAMS_CHANGED : m.flags;
        };
        ProbeTask* t = startTask(
            "WaitCase", probe,
            [&c](ProbeTask& self) {
                self.post(message(c.flags));
                self.probe().report(self.wait(20));
            },
            handler);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(taskEnded(*probe));
        EXPECT_EQ(probe->resultsCopy(), std::vector<int>{c.expected});
        EXPECT_EQ(probe->handledCount(), 1u);
    }
}

TEST(TaskWait, ParamsChangeEndsALongWaitEarly) {
    auto probe = std::make_shared<TaskProbe>();
    std::atomic<double> seconds{99};
    ProbeTask* t = startTask("Sleeper", probe, [&seconds](ProbeTask& self) {
        auto t0 = Clock::now();
        self.probe().report(waitReported(self, 500));
        seconds = secondsSince(t0);
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(t->post(message(MSG_PARAMS_CHANGED)), 0);
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy().back(), WAIT_WOKEN);
    EXPECT_LT(seconds, 4.0);
}

TEST(TaskWait, AddressChangeIsServedAndTheWaitGoesOn) {
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* t = startTask("Sleeper", probe, [](ProbeTask& self) { self.probe().report(waitReported(self, 500)); });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    t->post(message(MSG_ADDRESS_CHANGED));
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(probe->resultsCopy().size(), 1u) << "still waiting";
    t->post(message(MSG_PARAMS_CHANGED));
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy().back(), WAIT_WOKEN);
    auto handled = probe->handledCopy();
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0].flags, MSG_ADDRESS_CHANGED);
    EXPECT_EQ(handled[1].flags, MSG_PARAMS_CHANGED);
}

// Serving messages does not restart the time-out.
TEST(TaskWait, TimeOutCoversTheWholeWait) {
    auto probe = std::make_shared<TaskProbe>();
    std::atomic<double> seconds{0};
    ProbeTask* t = startTask("Sleeper", probe, [&seconds](ProbeTask& self) {
        auto t0 = Clock::now();
        self.probe().report(waitReported(self, 100));
        seconds = secondsSince(t0);
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    // Keep it busy for 4 s; a wait that restarted would outlast this.
    auto t0 = Clock::now();
    while (secondsSince(t0) < 4.0 && !probe->destroyed) {
        t->post(message(MSG_ADDRESS_CHANGED));
        std::this_thread::sleep_for(100ms);
        std::lock_guard<std::mutex> g(probe->m);
        if (probe->destroyed)
            break;
    }
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy().back(), WAIT_TIMEOUT);
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 3.5);
    EXPECT_GE(probe->handledCount(), 2u);
}

struct PipeFds {
    int r = -1, w = -1;
    PipeFds() {
        int fds[2];
        if (pipe(fds) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~PipeFds() {
        if (r >= 0)
            close(r);
        if (w >= 0)
            close(w);
    }
};

TEST(TaskWait, ExtraDescriptor) {
    PipeFds p;
    ASSERT_GE(p.r, 0);
    ASSERT_EQ(write(p.w, "x", 1), 1);
    std::atomic<int> ready{-1}, both{-1}, zeroFd{-1}, negativeFd{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        ready = self.wait(500, p.r);
        // A message that ends the wait wins over a ready descriptor.
        self.post(message(MSG_PARAMS_CHANGED));
        both = self.wait(500, p.r);
        // 0 and negative mean no extra descriptor (stdin is not watched).
        zeroFd = self.wait(5, 0);
        negativeFd = self.wait(5, -1);
    }));
    EXPECT_EQ(ready, WAIT_FD_READY);
    EXPECT_EQ(both, WAIT_WOKEN);
    EXPECT_EQ(zeroFd, WAIT_TIMEOUT);
    EXPECT_EQ(negativeFd, WAIT_TIMEOUT);
}

TEST(TaskWait, ForeverEndsOnlyForAMessageOrTheDescriptor) {
    PipeFds p;
    ASSERT_GE(p.r, 0);
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* t = startTask("Forever", probe, [&p](ProbeTask& self) {
        self.probe().report(waitReported(self, -1, p.r));
        self.probe().report(waitReported(self, -1));
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    t->post(message(MSG_ADDRESS_CHANGED));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe->resultsCopy().size(), 1u);
    ASSERT_EQ(write(p.w, "x", 1), 1);
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.results.size() == 3; }));
    t->post(message(MSG_NOTIFY, 3));
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy(), (std::vector<int>{kAboutToWait, WAIT_FD_READY, kAboutToWait, WAIT_WOKEN}));
}

TEST(TaskWait, ClosedExtraDescriptorFails) {
    std::atomic<int> rc{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        int fd = fcntl(self.pipeRead, F_DUPFD_CLOEXEC, 100);
        close(fd);
        rc = self.wait(100, fd);
    }));
    EXPECT_EQ(rc, WAIT_FAILED);
}

std::atomic<int> usr1Count{0};
void onUsr1(int) {
    usr1Count.fetch_add(1);
}

struct SignalHandlerScope {
    int sig;
    struct sigaction old {};
    SignalHandlerScope(int s, void (*handler)(int)) : sig(s) {
        struct sigaction sa {};
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: the wait sees EINTR
        sigaction(sig, &sa, &old);
    }
    ~SignalHandlerScope() { sigaction(sig, &old, nullptr); }
};

// A signal that interrupts the wait neither fails it nor restarts its time.
TEST(TaskWait, SignalsDoNotEndTheWait) {
    SignalHandlerScope scope(SIGUSR1, onUsr1);
    usr1Count = 0;
    auto probe = std::make_shared<TaskProbe>();
    std::atomic<double> seconds{0};
    ProbeTask* t = startTask("Interrupted", probe, [&seconds](ProbeTask& self) {
        auto t0 = Clock::now();
        self.probe().report(waitReported(self, 150));
        seconds = secondsSince(t0);
        self.probe().report(waitReported(self, -1));
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(signalOtherTasks("Interrupted", SIGUSR1), 1);
    }
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.results.size() == 3; }));
    EXPECT_EQ(probe->resultsCopy()[1], WAIT_TIMEOUT);
    EXPECT_GE(seconds, 1.45);
    // Without a time limit as well.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(signalOtherTasks("Interrupted", SIGUSR1), 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe->resultsCopy().size(), 3u);
    t->post(message(MSG_PARAMS_CHANGED));
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy().back(), WAIT_WOKEN);
    EXPECT_EQ(usr1Count.load(), 4);
}

// Raises the soft descriptor limit so descriptors above 1024 can be used.
bool allowDescriptorsUpTo(int highest) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur <= static_cast<rlim_t>(highest)) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max <= static_cast<rlim_t>(highest))
            return false;
        rl.rlim_cur = static_cast<rlim_t>(highest) + 1;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            return false;
    }
    return true;
}

// Descriptors at or above FD_SETSIZE must work: the extra descriptor and the
// task's own pipe.
TEST(TaskWait, DescriptorsAboveTheSelectLimit) {
    if (!allowDescriptorsUpTo(1600))
        GTEST_SKIP() << "descriptor limit too low";
    PipeFds p;
    ASSERT_GE(p.r, 0);
    int high = fcntl(p.r, F_DUPFD_CLOEXEC, 1500);
    ASSERT_GE(high, 1500);

    // Occupy every low descriptor so the task's pipe lands above 1024.
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= 1030)
            break;
    }
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("HighFds", probe, [high](ProbeTask& self) {
        self.probe().report(self.pipeRead);
        self.probe().report(waitReported(self, 500, high));
        char c;
        self.probe().report(static_cast<int>(read(high, &c, 1)));
        self.probe().report(waitReported(self, 500, high));
        self.probe().report(self.wait(1, high));
    });
    for (int fd : fillers)
        close(fd);
    ASSERT_GT(t->start(20480), 0);
    ASSERT_TRUE(reached(*probe, kAboutToWait));
    ASSERT_EQ(write(p.w, "x", 1), 1);
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.results.size() == 5; }));
    t->post(message(MSG_PARAMS_CHANGED));
    ASSERT_TRUE(taskEnded(*probe));
    close(high);
    auto r = probe->resultsCopy();
    ASSERT_EQ(r.size(), 7u);
    EXPECT_GE(r[0], 1024) << "task pipe";
    EXPECT_EQ(r[2], WAIT_FD_READY);
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(r[5], WAIT_WOKEN);
    EXPECT_EQ(r[6], WAIT_TIMEOUT);
}

TEST(TaskWait, ServePendingMessageNeverBlocks) {
    std::atomic<int> empty{-1}, first{-1}, second{-1}, third{-1}, noPipe{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        empty = self.servePendingMessage();
        self.post(message(0x0100));
        self.post(message(MSG_PARAMS_CHANGED));
        first = self.servePendingMessage();
        second = self.servePendingMessage();
        third = self.servePendingMessage();
        int saved = self.pipeRead;
        self.pipeRead = -1;
        noPipe = self.servePendingMessage();
        self.pipeRead = saved;
    }));
    EXPECT_EQ(empty, 0);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(third, 0);
    EXPECT_EQ(noPipe, 0);
}

TEST(TaskWait, ReceiveMessageReturnsTheHandlerResult) {
    auto probe = std::make_shared<TaskProbe>();
    TaskHandler handler = [](ProbeTask&, const TaskMessage& m) { return m.flags & ~0x0100; };
    ProbeTask* t = startTask(
        "Receiver", probe,
        [](ProbeTask& self) {
            self.post(message(0x0100 | MSG_NOTIFY, 9));
            self.probe().report(self.receiveMessage());
        },
        handler);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy(), std::vector<int>{MSG_NOTIFY});
    EXPECT_EQ(probe->handledCopy().at(0).param, 9);
}

}  // namespace

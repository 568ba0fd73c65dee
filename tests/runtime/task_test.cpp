// Task life, ids, the task table and message delivery.
#include "runtime/task/task.h"

#include "runtime/task_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <set>
#include <sys/syscall.h>
#include <thread>

using namespace tasktest;

namespace {

int32_t idCounter() {
    int32_t v = 0;
    if (TLOCK()) {
        v = taskIdCounter;
        unlockTaskTable();
    }
    return v;
}

TEST(TaskLife, IdsCountUpFromTheCounterAndAreNotReused) {
    int32_t before = idCounter();
    std::vector<std::shared_ptr<TaskProbe>> probes;
    std::vector<ProbeTask*> tasks;
    for (int i = 0; i < 3; ++i) {
        probes.push_back(std::make_shared<TaskProbe>());
        auto* t = new ProbeTask("IdTask", probes.back());
        EXPECT_EQ(t->id, 0) << "not started yet";
        ASSERT_EQ(t->start(20480), before + 1 + i);
        EXPECT_EQ(t->id, before + 1 + i);
        tasks.push_back(t);
    }
    if (before == 0) {
        EXPECT_EQ(tasks[0]->id, 1) << "the first task of the process gets id 1";
    }
    EXPECT_EQ(broadcastToTasks(message(MSG_QUIT)), 0);
    for (auto& p : probes)
        ASSERT_TRUE(taskEnded(*p));
    // Every quit task is gone; the next id continues the count.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(postToTaskId(before + 1 + i, message(0x100)), -1);
    auto probe2 = std::make_shared<TaskProbe>();
    ASSERT_NE(startTask("IdTask", probe2, [](ProbeTask&) {}), nullptr);
    EXPECT_TRUE(taskEnded(*probe2));
    EXPECT_EQ(idCounter(), before + 4);
    EXPECT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
}

TEST(TaskLife, CounterStartsAgainInsteadOfOverflowing) {
    ASSERT_TRUE(TLOCK());
    int32_t saved = taskIdCounter;
    taskIdCounter = INT32_MAX;
    unlockTaskTable();
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* t = startTask("WrapTask", probe, [](ProbeTask& self) { self.probe().report(self.id); });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy(), std::vector<int>{1});
    ASSERT_TRUE(TLOCK());
    taskIdCounter = saved;
    unlockTaskTable();
}

TEST(TaskLife, ConcurrentStartsGetDistinctGaplessIds) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 6;
    int32_t before = idCounter();
    auto probe = std::make_shared<TaskProbe>();
    std::mutex idsLock;
    std::vector<int> ids;
    std::vector<std::thread> starters;
    for (int i = 0; i < kThreads; ++i) {
        starters.emplace_back([&] {
            for (int k = 0; k < kPerThread; ++k) {
                auto* t = new ProbeTask("Racer", probe, [](ProbeTask& self) { self.probe().report(self.id); });
                int id = t->start(20480);
                std::lock_guard<std::mutex> g(idsLock);
                ids.push_back(id);
            }
        });
    }
    for (auto& s : starters)
        s.join();
    constexpr size_t kTotal = kThreads * kPerThread;
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.results.size() == kTotal; }));
    std::set<int> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), kTotal);
    EXPECT_EQ(*unique.begin(), before + 1);
    EXPECT_EQ(*unique.rbegin(), before + static_cast<int>(kTotal));
    // Each task saw the id its start returned.
    auto seen = probe->resultsCopy();
    EXPECT_EQ(std::set<int>(seen.begin(), seen.end()), unique);
    for (int i = 0; i < 200 && freeTableSlots() != TASK_TABLE_SIZE; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
    std::this_thread::sleep_for(50ms);  // let the last threads leave
}

TEST(TaskLife, StackIsAtLeastTheThreadLibraryDefault) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    size_t deflt = 0;
    ASSERT_EQ(pthread_attr_getstacksize(&attr, &deflt), 0);
    pthread_attr_destroy(&attr);
    ASSERT_LT(deflt + 65536, static_cast<size_t>(INT32_MAX));

    struct Case {
        int32_t requested;
        size_t expected;
    } cases[] = {{0, deflt}, {20480, deflt}, {static_cast<int32_t>(deflt + 65536), deflt + 65536}};
    for (const Case& c : cases) {
        auto probe = std::make_shared<TaskProbe>();
        auto* t = new ProbeTask("StackTask", probe);
        EXPECT_EQ(t->stackSize, 0);
        ASSERT_GT(t->start(c.requested), 0);
        ASSERT_TRUE(taskRunning(*probe));
        ASSERT_TRUE(TLOCK());
        EXPECT_EQ(static_cast<size_t>(t->stackSize), c.expected) << "requested " << c.requested;
        unlockTaskTable();
        t->post(message(MSG_QUIT));
        EXPECT_TRUE(taskEnded(*probe));
    }
}

TEST(TaskLife, ThreadRecordsItsOwnIdsAndName) {
    auto probeA = std::make_shared<TaskProbe>();
    auto probeB = std::make_shared<TaskProbe>();
    ProbeTask* a = startTask("AVeryLongTaskNameForTheKernel", probeA);
    ProbeTask* b = startTask("Short", probeB);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(taskRunning(*probeA));
    ASSERT_TRUE(taskRunning(*probeB));
    ASSERT_TRUE(TLOCK());
    int pidA = a->pid, pidB = b->pid;
    EXPECT_EQ(a->ppid, getppid());
    EXPECT_TRUE(pthread_equal(a->threadSelf, a->thread));
    unlockTaskTable();
    EXPECT_NE(pidA, pidB);
    EXPECT_NE(pidA, getpid());

    auto comm = [](int tid) {
        std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string s;
        std::getline(f, s);
        return s;
    };
    EXPECT_EQ(comm(pidA), "AVeryLongTaskNa") << "the kernel keeps 15 characters";
    EXPECT_EQ(comm(pidB), "Short");
    a->post(message(MSG_QUIT));
    b->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*probeA));
    EXPECT_TRUE(taskEnded(*probeB));
}

TEST(TaskLife, QueriesOnMainThreadAndInsideATask) {
    EXPECT_EQ(currentTask(), nullptr);
    EXPECT_EQ(currentTaskId(), -1);
    EXPECT_EQ(currentTaskIdForLog(), -1);
    EXPECT_STREQ(currentTaskName(), "NoTask");

    std::atomic<bool> ok{false};
    ASSERT_TRUE(runInTask(
        [&ok](ProbeTask& self) {
            ok = currentTask() == &self && currentTaskId() == self.id && currentTaskIdForLog() == self.id &&
                 self.id > 0 && strcmp(currentTaskName(), "QueryTask") == 0;
        },
        "QueryTask"));
    EXPECT_TRUE(ok);
}

// Each way a task's thread can end destroys the task and frees its slot;
// code after the ending call never runs.
TEST(TaskLife, EveryEndingDestroysTheTaskAndFreesItsSlot) {
    struct Case {
        const char* what;
        TaskBody body;
        bool postQuit;
    } cases[] = {
        {"run returns", [](ProbeTask&) {}, false},
        {"exit",
         [](ProbeTask& self) {
             self.exit();
         },
         false},
        {"MSG_QUIT in wait",
         [](ProbeTask& self) {
             self.wait(-1);
             self.probe().report(1);
         },
         true},
        {"MSG_QUIT in pollEvents",
         [](ProbeTask& self) {
             self.pollEvents(-1);
             self.probe().report(1);
         },
         true},
        {"broken pipe read",
         [](ProbeTask& self) {
             close(self.pipeWrite);
             self.pipeWrite = -1;
             self.wait(-1);
             self.probe().report(1);
         },
         false},
    };
    int freeBefore = freeTableSlots();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto probe = std::make_shared<TaskProbe>();
        ProbeTask* t = startTask("EndingTask", probe, c.body);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(taskRunning(*probe));
        if (c.postQuit) {
            EXPECT_EQ(t->post(message(MSG_QUIT | MSG_PARAMS_CHANGED)), 0);
        }
        ASSERT_TRUE(taskEnded(*probe));
        EXPECT_TRUE(probe->resultsCopy().empty());
        EXPECT_TRUE(probe->handledCopy().empty()) << "no handler call for MSG_QUIT";
        EXPECT_EQ(freeTableSlots(), freeBefore);
    }
}

TEST(TaskLife, ConstructedTaskIsRegisteredAndQueuesMessagesUntilStarted) {
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("Queued", probe);
    EXPECT_TRUE(inTable(t));
    EXPECT_EQ(postToTasksNamed("Queued", message(MSG_ADDRESS_CHANGED, 7)), 1);
    ASSERT_GT(t->start(20480), 0);
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    auto handled = probe->handledCopy();
    EXPECT_EQ(handled[0].flags, MSG_ADDRESS_CHANGED);
    EXPECT_EQ(handled[0].param, 7);
    EXPECT_EQ(handled[0].target, 0) << "the receiver's id when it was posted";
    t->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*probe));
}

TEST(TaskLife, UnstartedTaskCanBeDeletedByItsCreator) {
    int freeBefore = freeTableSlots();
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("NeverStarted", probe);
    EXPECT_EQ(freeTableSlots(), freeBefore - 1);
    delete t;
    EXPECT_EQ(freeTableSlots(), freeBefore);
}

int failingCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return EAGAIN;
}

// A task whose thread could not be created must not stay in the table: it
// would keep the table from ever emptying and would be signalled at shutdown.
TEST(TaskLife, StartFailureDeregistersAndLeavesTheObjectToTheCaller) {
    int freeBefore = freeTableSlots();
    int32_t before = idCounter();
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("NoThread", probe);
    setTaskThreadCreatorForTesting(failingCreate);
    int rc = t->start(20480);
    setTaskThreadCreatorForTesting(nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(t->id, -1);
    EXPECT_FALSE(inTable(t));
    EXPECT_EQ(freeTableSlots(), freeBefore);
    EXPECT_EQ(postToTasksNamed("NoThread", message(0x100)), 0);
    EXPECT_EQ(postToTaskId(-1, message(0x100)), -1);
    EXPECT_EQ(signalOtherTasks("NoThread", SIGUSR2), 0);
    EXPECT_EQ(broadcastToTasks(message(0x100)), 0);
    EXPECT_EQ(t->post(message(0x100)), 0) << "the object stays usable";
    delete t;
    EXPECT_TRUE(probe->destroyed);
    EXPECT_TRUE(probe->handledCopy().empty());

    // The next start works and the ids keep counting.
    auto probe2 = std::make_shared<TaskProbe>();
    ProbeTask* ok = startTask("AfterFailure", probe2, [](ProbeTask&) {});
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(taskEnded(*probe2));
    EXPECT_GT(idCounter(), before);
}

TEST(TaskTable, TaskBeyondAFullTableRunsButIsUnreachable) {
    int freeSlots = freeTableSlots();
    ASSERT_EQ(freeSlots, TASK_TABLE_SIZE);
    int overflowsBefore = taskTableOverflows.load();

    // Fill the table with constructed tasks; they need no thread.
    auto fillerProbe = std::make_shared<TaskProbe>();
    std::vector<ProbeTask*> fillers;
    for (int i = 0; i < freeSlots; ++i)
        fillers.push_back(new ProbeTask("Filler", fillerProbe));
    EXPECT_EQ(freeTableSlots(), 0);
    EXPECT_EQ(taskTableOverflows.load(), overflowsBefore);

    auto probe = std::make_shared<TaskProbe>();
    auto* extra = new ProbeTask("Overflow", probe);
    EXPECT_EQ(taskTableOverflows.load(), overflowsBefore + 1);
    EXPECT_FALSE(inTable(extra));
    int id = extra->start(20480);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(taskRunning(*probe));

    EXPECT_EQ(postToTasksNamed("Overflow", message(0x100)), 0);
    EXPECT_EQ(postToTaskId(id, message(0x100)), -1);
    EXPECT_EQ(postToTasksNamed("Filler", message(0x200)), freeSlots);
    EXPECT_EQ(broadcastToTasks(message(0x400)), 0);
    // Whoever holds its pointer still reaches it.
    EXPECT_EQ(extra->post(message(0x800)), 0);
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return !p.handled.empty(); }));
    std::this_thread::sleep_for(50ms);
    auto handled = probe->handledCopy();
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].flags, 0x800);

    extra->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*probe));
    for (ProbeTask* f : fillers)
        delete f;
    EXPECT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
}

// A listener serves a new client only while the client's task leaves
// enough slots for the system's own tasks.
TEST(TaskTable, ClientTasksLeaveSlotsForTheSystem) {
    ASSERT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
    EXPECT_TRUE(taskTableHasRoomForClient());
    auto fillerProbe = std::make_shared<TaskProbe>();
    std::vector<ProbeTask*> fillers;
    while (freeTableSlots() > TASK_SLOTS_KEPT_FOR_SYSTEM + 1)
        fillers.push_back(new ProbeTask("Filler", fillerProbe));
    EXPECT_TRUE(taskTableHasRoomForClient()) << "the client's task takes the last slot above the reserve";
    fillers.push_back(new ProbeTask("Filler", fillerProbe));
    EXPECT_EQ(freeTableSlots(), TASK_SLOTS_KEPT_FOR_SYSTEM);
    EXPECT_FALSE(taskTableHasRoomForClient());
    delete fillers.back();
    fillers.pop_back();
    EXPECT_TRUE(taskTableHasRoomForClient());
    for (ProbeTask* f : fillers)
        delete f;
    EXPECT_EQ(freeTableSlots(), TASK_TABLE_SIZE);
}

TEST(TaskMessages, PostsByNameAndIdReachExactlyTheirTargets) {
    auto probeA = std::make_shared<TaskProbe>();
    auto probeB = std::make_shared<TaskProbe>();
    auto probeC = std::make_shared<TaskProbe>();
    ProbeTask* a = startTask("Bootp", probeA);
    ProbeTask* b = startTask("Bootp", probeB);
    ProbeTask* c = startTask("Other", probeC);
    ASSERT_TRUE(a && b && c);

    EXPECT_EQ(postToTasksNamed("Bootp", message(MSG_WLAN_UP)), 2);
    EXPECT_EQ(postToTasksNamed("bootp", message(MSG_WLAN_UP)), 0) << "names are case-sensitive";
    EXPECT_EQ(postToTasksNamed("Boot", message(MSG_WLAN_UP)), 0) << "names match exactly";
    EXPECT_EQ(postToTasksNamed("NoSuchTask", message(MSG_WLAN_UP)), 0);
    EXPECT_EQ(postToTaskId(c->id, message(MSG_NOTIFY, 0x21)), 0);
    EXPECT_EQ(postToTaskId(99999999, message(MSG_NOTIFY)), -1);

    ASSERT_TRUE(probeA->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    ASSERT_TRUE(probeB->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    ASSERT_TRUE(probeC->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(probeA->handledCopy()[0].target, a->id);
    EXPECT_EQ(probeB->handledCopy()[0].target, b->id);
    auto toC = probeC->handledCopy();
    ASSERT_EQ(toC.size(), 1u);
    EXPECT_EQ(toC[0].flags, MSG_NOTIFY);
    EXPECT_EQ(toC[0].param, 0x21);
    EXPECT_EQ(toC[0].extra, 0);
    EXPECT_EQ(probeA->handledCount(), 1u);

    for (ProbeTask* t : {a, b, c})
        t->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*probeA));
    EXPECT_TRUE(taskEnded(*probeB));
    EXPECT_TRUE(taskEnded(*probeC));
}

TEST(TaskMessages, BroadcastReachesEveryTaskIncludingTheCaller) {
    auto other = std::make_shared<TaskProbe>();
    ProbeTask* listener = startTask("Listener", other);
    ASSERT_NE(listener, nullptr);
    auto caller = std::make_shared<TaskProbe>();
    ProbeTask* sender = startTask("Sender", caller, [](ProbeTask& self) {
        self.probe().report(broadcastToTasks(message(0x0100, 5)));
        self.probe().report(self.wait(10) == WAIT_TIMEOUT);  // serves its own copy
    });
    ASSERT_NE(sender, nullptr);
    ASSERT_TRUE(taskEnded(*caller));
    EXPECT_EQ(caller->resultsCopy(), (std::vector<int>{0, 1}));
    auto own = caller->handledCopy();
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].flags, 0x0100);
    EXPECT_EQ(own[0].param, 5);
    ASSERT_TRUE(other->waitUntil([](TaskProbe& p) { return p.handled.size() == 1; }));
    listener->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*other));
}

TEST(TaskMessages, ManyWritersNeverInterleaveMessages) {
    constexpr int kWriters = 4;
    constexpr int kEach = 500;
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* t = startTask("Sink", probe);
    ASSERT_NE(t, nullptr);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([t, w] {
            for (int i = 0; i < kEach; ++i)
                t->post(message((w + 1) << 8, i));
        });
    }
    for (auto& w : writers)
        w.join();
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return p.handled.size() == kWriters * kEach; }));
    std::vector<int> next(kWriters, 0);
    for (const TaskMessage& m : probe->handledCopy()) {
        int w = (m.flags >> 8) - 1;
        ASSERT_EQ(m.flags & 0xff, 0);
        ASSERT_TRUE(w >= 0 && w < kWriters);
        ASSERT_EQ(m.param, next[w]) << "writer " << w;
        ASSERT_EQ(m.target, t->id);
        ++next[w];
    }
    t->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*probe));
}

std::atomic<int> usr2Seen{0};
std::atomic<int> usr2Tid{0};
void onUsr2(int) {
    usr2Seen.fetch_add(1);
    usr2Tid.store(static_cast<int>(syscall(SYS_gettid)));
}

TEST(TaskTable, SignalOtherTasksSkipsTheCallerAndUnstartedTasks) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = onUsr2;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);

    auto unstartedProbe = std::make_shared<TaskProbe>();
    auto* unstarted = new ProbeTask("Signalled", unstartedProbe);
    auto targetProbe = std::make_shared<TaskProbe>();
    ProbeTask* target = startTask("Signalled", targetProbe);
    ASSERT_NE(target, nullptr);
    ASSERT_TRUE(taskRunning(*targetProbe));

    usr2Seen = 0;
    ASSERT_TRUE(runInTask(
        [](ProbeTask& self) {
            self.probe().report(signalOtherTasks("Signalled", SIGUSR2));
            self.probe().report(signalOtherTasks("Caller", SIGUSR2));
        },
        "Caller"));
    for (int i = 0; i < 1000 && usr2Seen.load() == 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(usr2Seen.load(), 1);
    EXPECT_EQ(usr2Tid.load(), target->pid);

    target->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*targetProbe));
    delete unstarted;
    sigaction(SIGUSR2, &old, nullptr);
}

TEST(TaskTable, SignalCountsAreReportedToTheCaller) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = onUsr2;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    auto p1 = std::make_shared<TaskProbe>();
    auto p2 = std::make_shared<TaskProbe>();
    ProbeTask* t1 = startTask("Sig1", p1);
    ProbeTask* t2 = startTask("Sig2", p2);
    ASSERT_TRUE(t1 && t2);
    ASSERT_TRUE(taskRunning(*p1) && taskRunning(*p2));
    usr2Seen = 0;
    EXPECT_EQ(signalOtherTasks(nullptr, SIGUSR2), 2) << "from the main thread every task is another";
    for (int i = 0; i < 1000 && usr2Seen.load() < 2; ++i)
        std::this_thread::sleep_for(2ms);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers signals to threads blocked in its intercepted
    // calls and now and then drops one of two that arrive together; the
    // plain and address-sanitizer builds check the delivery itself.
    EXPECT_GE(usr2Seen.load(), 1);
#else
    EXPECT_EQ(usr2Seen.load(), 2);
#endif
    t1->post(message(MSG_QUIT));
    t2->post(message(MSG_QUIT));
    EXPECT_TRUE(taskEnded(*p1));
    EXPECT_TRUE(taskEnded(*p2));
    sigaction(SIGUSR2, &old, nullptr);
}

TEST(TaskTable, ShiftTaskStartTimesMovesEveryRegisteredTask) {
    auto probe = std::make_shared<TaskProbe>();
    auto* a = new ProbeTask("ShiftA", probe);
    auto* b = new ProbeTask("ShiftB", probe);
    int64_t a0 = a->createdCs, b0 = b->createdCs;
    shiftTaskStartTimes(-360000);
    EXPECT_EQ(a->createdCs, a0 - 360000);
    EXPECT_EQ(b->createdCs, b0 - 360000);
    shiftTaskStartTimes(360000);
    EXPECT_EQ(a->createdCs, a0);
    delete a;
    delete b;
}

TEST(TaskTable, LockIsRecursiveAndSyncWorks) {
    ASSERT_EQ(TLOCK(), 1);
    ASSERT_EQ(TLOCK(), 1);
    // A task can be constructed and posted to while the lock is held.
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("UnderLock", probe);
    EXPECT_EQ(postToTasksNamed("UnderLock", message(0x100)), 1);
    delete t;
    unlockTaskTable();
    unlockTaskTable();
    EXPECT_EQ(syncTaskTable(), 1);
}

}  // namespace

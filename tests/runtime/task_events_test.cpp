// Task::pollEvents and the epoll registrations of a task.
#include "runtime/task/task.h"

#include "runtime/task_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

using namespace tasktest;

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe(fds) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        close(r);
        close(w);
    }
    void fill() { (void)!write(w, "x", 1); }
};

// A record whose callback logs its call and returns a chosen value.
struct LoggedRecord {
    TaskEventRecord record;
    std::vector<int>* log;
    int tag;
    int result;
};

int loggedCallback(TaskEventRecord* record, uint32_t events) {
    auto* r = reinterpret_cast<LoggedRecord*>(record);
    if (events & EPOLLIN)
        r->log->push_back(r->tag);
    return r->result;
}

LoggedRecord makeRecord(void* owner, int fd, std::vector<int>* log, int tag, int result) {
    return LoggedRecord{TaskEventRecord{owner, loggedCallback, fd}, log, tag, result};
}

TEST(TaskEvents, DispatchesReadyRecordsAndMessages) {
    Pipe a, b;
    int ownerA = 0, ownerB = 0;
    std::vector<int> log;
    std::atomic<int> first{-9}, idle{-9}, viaPipe{-9}, addRc{-9}, delRc{-9}, modRc{-9};
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* t = startTask("Poller", probe, [&](ProbeTask& self) {
        LoggedRecord ra = makeRecord(&ownerA, a.r, &log, 1, 0);
        LoggedRecord rb = makeRecord(&ownerB, b.r, &log, 2, 0);
        addRc = self.addEvent(&ra.record, EPOLLIN);
        self.addEvent(&rb.record, EPOLLIN);
        modRc = self.modifyEvent(&rb.record, EPOLLIN | EPOLLHUP);
        a.fill();
        first = self.pollEvents(1000);
        char c;
        (void)!read(a.r, &c, 1);
        idle = self.pollEvents(0);
        // Messages arrive through the pipe record in the same loop.
        self.post(message(0x0100, 4));
        viaPipe = self.pollEvents(1000);
        delRc = self.removeEvent(b.r);
        b.fill();
        self.probe().report(self.pollEvents(50));
        self.removeEvent(a.r);
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(addRc, 0);
    EXPECT_EQ(modRc, 0);
    EXPECT_EQ(delRc, 0);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(idle, 0);
    EXPECT_EQ(viaPipe, 1);
    EXPECT_EQ(log, std::vector<int>{1});
    EXPECT_EQ(probe->resultsCopy(), std::vector<int>{0}) << "a removed descriptor is not watched";
    auto handled = probe->handledCopy();
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].param, 4);
}

TEST(TaskEvents, AtMostFourEventsPerCall) {
    constexpr int kPipes = 6;
    std::vector<int> log;
    std::atomic<int> firstCall{-1}, secondCall{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        std::vector<std::unique_ptr<Pipe>> pipes;
        std::vector<LoggedRecord> records;
        records.reserve(kPipes);
        int owner = 0;
        for (int i = 0; i < kPipes; ++i) {
            pipes.push_back(std::make_unique<Pipe>());
            records.push_back(makeRecord(&owner, pipes.back()->r, &log, i, 0));
            self.addEvent(&records.back().record, EPOLLIN);
            pipes.back()->fill();
        }
        firstCall = self.pollEvents(1000);
        // Level-triggered: the unread ones come again, so drain in between.
        for (int tag : log) {
            char c;
            (void)!read(pipes[tag]->r, &c, 1);
        }
        secondCall = self.pollEvents(1000);
        for (auto& p : pipes)
            self.removeEvent(p->r);
    }));
    EXPECT_EQ(firstCall, 4);
    EXPECT_EQ(secondCall, 2);
    EXPECT_EQ(log.size(), static_cast<size_t>(kPipes));
}

// After a callback reports that its owner went away, no later record of the
// same batch with that owner runs; other owners still do.
TEST(TaskEvents, NegativeCallbackDisablesTheOwnersLaterRecords) {
    Pipe p1, p2, p3;
    int gone = 0, other = 0;
    std::vector<int> log;
    LoggedRecord r1{}, r2{}, r3{};
    std::atomic<int> n{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        r1 = makeRecord(&gone, p1.r, &log, 1, -1);
        r2 = makeRecord(&gone, p2.r, &log, 2, -1);
        r3 = makeRecord(&other, p3.r, &log, 3, 0);
        self.addEvent(&r1.record, EPOLLIN);
        self.addEvent(&r2.record, EPOLLIN);
        self.addEvent(&r3.record, EPOLLIN);
        p1.fill();
        p2.fill();
        p3.fill();
        n = self.pollEvents(1000);
        self.removeEvent(p1.r);
        self.removeEvent(p2.r);
        self.removeEvent(p3.r);
    }));
    EXPECT_EQ(n, 3);
    // Exactly one of the two records of the departed owner ran (whichever
    // came first); the other one is now disabled.
    int goneRuns = static_cast<int>(std::count(log.begin(), log.end(), 1) + std::count(log.begin(), log.end(), 2));
    EXPECT_EQ(goneRuns, 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), 3), 1);
    bool firstRan = std::count(log.begin(), log.end(), 1) == 1;
    EXPECT_EQ(firstRan ? r2.record.owner : r1.record.owner, nullptr);
    EXPECT_EQ(firstRan ? r1.record.owner : r2.record.owner, &gone) << "the reporting record keeps its owner";
    EXPECT_EQ(r3.record.owner, &other);
}

TEST(TaskEvents, DisabledRecordsAreSkippedButCounted) {
    Pipe p;
    std::vector<int> log;
    LoggedRecord r{};
    std::atomic<int> n{-1};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        r = makeRecord(nullptr, p.r, &log, 1, 0);
        self.addEvent(&r.record, EPOLLIN);
        p.fill();
        n = self.pollEvents(1000);
        self.removeEvent(p.r);
    }));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(log.empty());
}

TEST(TaskEvents, PipeCallbackNeedsRecordAndOwner) {
    EXPECT_EQ(taskPipeEventCallback(nullptr, EPOLLIN), 0);
    TaskEventRecord noOwner{nullptr, taskPipeEventCallback, 0};
    EXPECT_EQ(taskPipeEventCallback(&noOwner, EPOLLIN), 0);
}

TEST(TaskEvents, PipeRecordIsRegisteredAtConstruction) {
    auto probe = std::make_shared<TaskProbe>();
    auto* t = new ProbeTask("Recorded", probe);
    EXPECT_EQ(t->pipeEvent.owner, t);
    EXPECT_EQ(t->pipeEvent.fd, t->pipeRead);
    EXPECT_EQ(t->pipeEvent.callback, &taskPipeEventCallback);
    // Registered already: adding it again is refused.
    EXPECT_EQ(t->addEvent(&t->pipeEvent, EPOLLIN), -1);
    EXPECT_EQ(errno, EEXIST);
    delete t;
}

TEST(TaskEvents, PollErrorIsNegative) {
    std::atomic<int> rc{0};
    ASSERT_TRUE(runInTask([&](ProbeTask& self) {
        int saved = self.epollFd;
        self.epollFd = -1;
        rc = self.pollEvents(0);
        self.epollFd = saved;
    }));
    EXPECT_LT(rc, 0);
}


// A callback that waits (and so serves the pending message) before the pipe
// record of the same epoll batch is dispatched: the pipe record must find
// the pipe empty and return, not block on it.
TEST(TaskEvents, PipeRecordAfterANestedWaitDoesNotBlock) {
    Pipe other;
    std::atomic<int> served{0}, polled{-9};
    auto probe = std::make_shared<TaskProbe>();
    struct Nested {
        TaskEventRecord record;
        Task* task;
    };
    ProbeTask* t = startTask(
        "Nested", probe,
        [&](ProbeTask& self) {
            Nested n{TaskEventRecord{&self, nullptr, other.r}, &self};
            n.record.callback = [](TaskEventRecord* r, uint32_t) {
                auto* nested = reinterpret_cast<Nested*>(r);
                char c;
                (void)!read(nested->record.fd, &c, 1);
                nested->task->wait(0, -1);  // serves the message already in the pipe
                return 0;
            };
            self.addEvent(&n.record, EPOLLIN);
            // The other descriptor becomes ready first, so epoll lists it first.
            other.fill();
            self.post(message(0x0100, 1));
            polled = self.pollEvents(1000);
            self.probe().report(1);
            self.removeEvent(other.r);
        },
        [&](ProbeTask&, const TaskMessage& m) {
            ++served;
            return m.flags;
        });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(probe->waitUntil([](TaskProbe& p) { return !p.results.empty(); }, 5s))
        << "pollEvents blocked on an empty message pipe";
    EXPECT_EQ(polled, 2);
    EXPECT_EQ(served, 1);
    ASSERT_TRUE(taskEnded(*probe));
}

}  // namespace

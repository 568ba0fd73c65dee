// The trap outbox between the threads that make traps and the agent.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/task/task.h"
#include "snmp/trapoutbox.h"

namespace {

// A registered task that never runs: the outbox's wake-ups wait in its
// pipe, where the test counts them.
class PipeProbe : public Task {
 public:
  PipeProbe() : Task("OutboxProbe") {}
  void run() override {}
  int wakeUps() {
    int n = 0;
    pollfd p{pipeRead, POLLIN, 0};
    while (poll(&p, 1, 0) == 1) {
      TaskMessage msg;
      if (read(pipeRead, &msg, sizeof msg) != static_cast<ssize_t>(sizeof msg)) break;
      if (msg.flags & MSG_TRAP_OUTBOX) n++;
    }
    return n;
  }
};

SnmpTrapRecord record(int32_t specific) {
  SnmpTrapRecord r{};
  r.easy = true;
  r.specific = specific;
  return r;
}

void collect(const SnmpTrapRecord& r, void* context) { static_cast<std::vector<int32_t>*>(context)->push_back(r.specific); }

class TrapOutboxTest : public ::testing::Test {
 protected:
  void SetUp() override { openTrapOutbox(probe_.id); }
  void TearDown() override { closeTrapOutbox(); }
  PipeProbe probe_;
};

TEST_F(TrapOutboxTest, OneWakeUpUntilTheAgentDrainsInOrder) {
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(queueSnmpTrap(record(i)));
  EXPECT_EQ(probe_.wakeUps(), 1);
  std::vector<int32_t> sent;
  EXPECT_EQ(drainTrapOutbox(collect, &sent), 3);
  EXPECT_EQ(sent, (std::vector<int32_t>{1, 2, 3}));
  // Drained: the next record wakes the agent again.
  ASSERT_TRUE(queueSnmpTrap(record(4)));
  EXPECT_EQ(probe_.wakeUps(), 1);
  EXPECT_EQ(drainTrapOutbox(collect, &sent), 1);
  EXPECT_EQ(drainTrapOutbox(collect, &sent), 0);
}

TEST_F(TrapOutboxTest, FullQueueAndClosedOutboxRefuse) {
  for (int i = 0; i < SNMP_TRAP_QUEUE_SIZE; ++i) ASSERT_TRUE(queueSnmpTrap(record(i))) << i;
  EXPECT_FALSE(queueSnmpTrap(record(99)));
  std::vector<int32_t> sent;
  EXPECT_EQ(drainTrapOutbox(collect, &sent), SNMP_TRAP_QUEUE_SIZE);
  EXPECT_EQ(sent.back(), SNMP_TRAP_QUEUE_SIZE - 1);

  ASSERT_TRUE(queueSnmpTrap(record(5)));
  closeTrapOutbox();
  EXPECT_FALSE(queueSnmpTrap(record(6)));
  // What was queued went with the agent.
  EXPECT_EQ(drainTrapOutbox(collect, &sent), 0);
}

TEST_F(TrapOutboxTest, AWakeUpThatCannotBePostedIsTriedAgain) {
  // The agent's pipe refuses one write: the first wake-up is lost.
  int saved = dup(probe_.pipeWrite);
  ASSERT_GE(saved, 0);
  close(probe_.pipeWrite);
  ASSERT_TRUE(queueSnmpTrap(record(1)));
  ASSERT_EQ(dup2(saved, probe_.pipeWrite), probe_.pipeWrite);
  close(saved);
  // Its mark went with it, so the next record wakes the agent.
  ASSERT_TRUE(queueSnmpTrap(record(2)));
  EXPECT_EQ(probe_.wakeUps(), 1);
  std::vector<int32_t> sent;
  EXPECT_EQ(drainTrapOutbox(collect, &sent), 2);
}

TEST_F(TrapOutboxTest, RecordsFromManyThreadsAllArrive) {
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([t] {
      for (int i = 0; i < 10; ++i) EXPECT_TRUE(queueSnmpTrap(record(t * 100 + i)));
    });
  std::vector<int32_t> sent;
  for (std::thread& p : producers) p.join();
  drainTrapOutbox(collect, &sent);
  EXPECT_EQ(sent.size(), 40u);
  EXPECT_EQ(probe_.wakeUps(), 1);
}

}  // namespace

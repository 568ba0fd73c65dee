// The running "Notify" task with producers on other threads: traps reach
// the outbox, announcements never pile up in its pipe, mails are collected
// in its loop, and its end leaves no producer inside the object.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "notify/notifyproducer.h"
#include "notify/notifytask.h"
#include "notify/support/notify_fixture.h"
#include "notify/trapcontents.h"
#include "params/store/paramstore.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

namespace {

class NotifyRunTest : public NotifyFixture {
 protected:
  void SetUp() override {
    NotifyFixture::SetUp();
    setFeatures(FEATURE_EMAIL | FEATURE_PWRLNK);
    for (const char* key : {"trapdev", "trapact", "trap_pwr", "trap_lnk", "trappup", "pop3"}) setParam(key, "off");
    for (const char* key : {"mailto_1", "mailto_2"}) setParam(key, "");
  }

  // Collects what the outbox holds until cond says enough (bounded).
  bool collectUntil(std::vector<SnmpTrapRecord>& traps, const std::function<bool()>& enough) {
    return eventually([&] {
      for (const SnmpTrapRecord& r : drainTraps()) traps.push_back(r);
      return enough();
    });
  }
};

int pendingMessages(const Task& task) {
  int bytes = 0;
  ioctl(task.pipeRead, FIONREAD, &bytes);
  return bytes / static_cast<int>(sizeof(TaskMessage));
}

TEST_F(NotifyRunTest, OneAnnouncementStaysOutstandingHoweverManyEventsArePushed) {
  setParam("trapdev", "on");
  NotifyTask task(true, 0);
  bool pop3On = false, notifyOn = false, announced = true;
  ASSERT_TRUE(task.loadConfiguration(&pop3On, &notifyOn, &announced));
  notifyTaskId.store(task.id);  // not started: its id is 0
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_ATTACHED, i % 4 + 1, "A", "B", "C"));
  EXPECT_EQ(pendingMessages(task), 1);
  // The handler clears the mark before it scans: the next event is announced.
  EXPECT_TRUE(task.servePendingMessage());
  EXPECT_EQ(drainTraps().size(), 16u);
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_DETACHED, 1, "A", "B", "C"));
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_DETACHED, 2, "A", "B", "C"));
  EXPECT_EQ(pendingMessages(task), 1);
  EXPECT_TRUE(task.servePendingMessage());
  EXPECT_EQ(drainTraps().size(), 2u);
  notifyTaskId.store(-1);
  notifyTask.store(nullptr);
}

TEST_F(NotifyRunTest, StartTrapThenDeviceTrapsAndTheEndLetsGoOfTheGlobals) {
  setParam("trappup", "on");
  setParam("trapdev", "on");
  setParam("life", "23");
  ASSERT_TRUE(startRunningTask(true, 1));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  std::vector<SnmpTrapRecord> traps;
  ASSERT_TRUE(collectUntil(traps, [&] { return !traps.empty(); }));
  EXPECT_TRUE(traps[0].easy);
  EXPECT_EQ(traps[0].generic, TRAP_WARM_START);
  EXPECT_EQ(traps[0].specific, 23);

  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_ATTACHED, 3, "Acme", "Stick", "0042"));
  ASSERT_TRUE(collectUntil(traps, [&] { return traps.size() >= 2; }));
  EXPECT_EQ(trapVarbindInteger(traps[1].varbinds[0]), 3);
  EXPECT_EQ(trapVarbindInteger(traps[1].varbinds[1]), 3);
  EXPECT_EQ(trapText(traps[1], 5), "0042");

  // A second instance ends at once and leaves the first one's globals.
  const int32_t id = notifyTaskId.load();
  ASSERT_TRUE(startNotifyTask(true, 1));
  EXPECT_FALSE(eventually([&] { return notifyTaskId.load() != id; }, 300));

  ASSERT_TRUE(quitRunningTask());
  EXPECT_FALSE(produceNotifyEvent(NOTIFY_USB_DETACHED, 3));
  EXPECT_EQ(postNotifyEvent(NOTIFY_USB_DETACHED), 0);
}

TEST_F(NotifyRunTest, SeventeenEventsBetweenTwoMailPassesGiveOneMailOfTheSurvivors) {
  setParam("mailto_1", "ops@example.org");
  setParam("noti_dev_1", "on");
  ASSERT_TRUE(startRunningTask(false));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  ASSERT_TRUE(eventually([&] { return !mailCodes().empty(); }));
  EXPECT_EQ(mailCodes().front(), NOTIFY_SERVICE_START);
  const size_t before = mailCodes().size();
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_DETACHED, 1));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_ATTACHED, 1));
  ASSERT_TRUE(passLoopWaitUntil([&] { return mailCodes().size() > before; }));
  EXPECT_EQ(mailCodes()[before], NOTIFY_USB_ATTACHED);
  // An event pushed after the pass waits for the next one.
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_DETACHED, 1));
  ASSERT_TRUE(passLoopWaitUntil([&] { return mailCodes().size() > before + 1; }));
  EXPECT_EQ(mailCodes()[before + 1], NOTIFY_USB_DETACHED);
}

TEST_F(NotifyRunTest, APollRequestPollsTheMailboxWithoutWaitingForTheLoop) {
  setParam("pop3_poll", "60");
  ASSERT_TRUE(startRunningTask(false));
  const int polls = mailboxPolls();
  postNotifyEvent(NOTIFY_POLL_MAILBOX);
  // The poll follows once the requested second has passed.
  shiftUptimeForTesting(200);
  ASSERT_TRUE(eventually([&] { return mailboxPolls() > polls; }));
  EXPECT_EQ(mailboxPolls(), polls + 1);
}

TEST_F(NotifyRunTest, ARefusedTrapIsSentOnceTheOutboxTakesItWithoutAFurtherEvent) {
  setParam("trapdev", "on");
  ASSERT_TRUE(startRunningTask(true));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  closeTrapOutbox();  // the agent is away
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_DETACHED, 4, "Acme", "Stick", "0042"));
  ASSERT_TRUE(eventually([] { return !notifyAnnouncementOutstanding(); }));
  openTrapOutbox(0x7ffffff0);
  std::vector<SnmpTrapRecord> traps;
  ASSERT_TRUE(collectUntil(traps, [&] { return !traps.empty(); }));
  EXPECT_EQ(trapVarbindInteger(traps[0].varbinds[0]), 4);
  EXPECT_EQ(trapText(traps[0], 5), "0042");
}

TEST_F(NotifyRunTest, ParameterMailChangesAreCommittedAndARebootEndsTheTask) {
  char dir[] = "/tmp/notifyrootXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string savedRoot = dataRoot();
  setDataRoot(dir);
  ASSERT_EQ(std::system(("mkdir -p " + std::string(dir) + "/etc").c_str()), 0);
  ASSERT_TRUE(startRunningTask(true));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));

  // A change of restart class: saved, announced, and the task goes on.
  setParam("sys_name", "lab-usb");
  notifyTask.load()->setPendingChangeClass(CHANGE_RESTART);
  const std::string file = std::string(dir) + "/etc/params.dat";
  EXPECT_TRUE(passLoopWaitUntil([&] { return std::ifstream(file).good(); }));
  EXPECT_EQ(shutDownRequests(), 0);
  EXPECT_NE(notifyTaskId.load(), -1);

  // A change that needs a reboot: "ShutDown" is asked for, the task ends.
  setParam("ip_addr", "192.0.2.7");
  notifyTask.load()->setPendingChangeClass(CHANGE_REBOOT);
  EXPECT_TRUE(passLoopWaitUntil([] { return notifyTaskId.load() == -1 && notifyTask.load() == nullptr; }));
  EXPECT_EQ(shutDownRequests(), 1);
  setDataRoot(savedRoot.c_str());
  ASSERT_EQ(std::system(("rm -rf " + std::string(dir)).c_str()), 0);
}

TEST_F(NotifyRunTest, ReloadingToNothingAndBackWhileAProducerRunsLeavesNoLockBehind) {
  setParam("noti_dev_1", "on");
  setParam("mailto_1", "ops@example.org");
  ASSERT_TRUE(startRunningTask(false));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  std::atomic<bool> stop{false};
  std::atomic<long> pushes{0};
  std::thread producer([&] {
    while (!stop.load()) {
      if (produceNotifyEvent(NOTIFY_USB_ATTACHED, 1, "A", "B", "C")) pushes.fetch_add(1);
      std::this_thread::yield();
    }
  });
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    setParam("mailto_1", "");
    broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
    ASSERT_TRUE(eventually([] { return notifyTask.load() == nullptr; }));
    setParam("mailto_1", "ops@example.org");
    broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
    ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
    const long seen = pushes.load();
    ASSERT_TRUE(eventually([&] { return pushes.load() > seen + 10; }, 5000)) << "the producer is stuck";
  }
  stop.store(true);
  producer.join();
}

TEST_F(NotifyRunTest, StormOfConnectsAndReleasesWithLinkTrapsOn) {
  setParam("trapact", "on");
  setParam("trap_lnk", "on");
  ASSERT_TRUE(startRunningTask(true));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  std::atomic<bool> done{false};
  std::atomic<bool> lastSeen{false};
  std::vector<SnmpTrapRecord> traps;  // the agent thread's until it is joined
  std::thread agent([&] {
    while (!done.load()) {
      for (const SnmpTrapRecord& r : drainTraps()) {
        traps.push_back(r);
        if (trapText(r, 5) == "after") lastSeen.store(true);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string serial = std::to_string(t) + "-" + std::to_string(i);
        produceNotifyEvent(NOTIFY_USB_CONNECTED, t + 1, "Acme", "Stick", (serial + "c").c_str(),
                           "pc (169.254.001.002)");
        produceNotifyEvent(NOTIFY_USB_DISCONNECTED, t + 1, "Acme", "Stick", (serial + "r").c_str(),
                           "pc (169.254.001.002)");
      }
    });
  }
  for (std::thread& p : producers) p.join();
  // One more event after the storm still gets its trap.
  ASSERT_TRUE(produceNotifyEvent(NOTIFY_USB_CONNECTED, 9, "Acme", "Stick", "after", "169.254.001.009"));
  const bool after = eventually([&] { return lastSeen.load(); }, 10000);
  done.store(true);
  agent.join();
  ASSERT_TRUE(after);

  std::set<std::string> serials;
  for (const SnmpTrapRecord& r : traps) {
    ASSERT_EQ(r.varbindCount, 6);
    const int32_t number = trapVarbindInteger(r.varbinds[0]);
    const std::string text = trapText(r, 2);
    const std::string serial = trapText(r, 5);
    ASSERT_TRUE(serials.insert(serial).second) << "trapped twice: " << serial;
    if (serial == "after") {
      EXPECT_EQ(text, "device connected: 169.254.001.009");
    } else if (number == 5) {
      EXPECT_EQ(text, "device connected: 169.254.001.002");
      EXPECT_EQ(serial.back(), 'c');
    } else {
      EXPECT_EQ(number, 6);
      EXPECT_EQ(text, "device disconnected");
      EXPECT_EQ(serial.back(), 'r');
    }
    EXPECT_EQ(trapText(r, 3), "Acme");
  }
}

TEST_F(NotifyRunTest, EndingTheTaskInTheMiddleOfAStormLeavesProducersSafe) {
  setParam("trapdev", "on");
  ASSERT_TRUE(startRunningTask(true));
  ASSERT_TRUE(eventually([] { return notifyTask.load() != nullptr; }));
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      while (!stop.load()) {
        produceNotifyEvent(NOTIFY_USB_ATTACHED, t + 1, "Acme", "Stick", "sn");
        drainTraps();
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(quitRunningTask());
  // Producers keep going against no task at all.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop.store(true);
  for (std::thread& p : producers) p.join();
  EXPECT_FALSE(produceNotifyEvent(NOTIFY_USB_ATTACHED, 1));
}

}  // namespace

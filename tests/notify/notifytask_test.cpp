// The notification task's handler, configuration, trap scan and status-mail
// schedule, on a task object driven from the test thread (not started).
#include "notify/notifytask.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/interface/netinterface.h"
#include "notify/notifyproducer.h"
#include "notify/support/notify_fixture.h"
#include "notify/trapcontents.h"
#include "params/types/paramflags.h"
#include "runtime/task/uptime.h"

namespace {

class NotifyTaskTest : public NotifyFixture {
 protected:
  void SetUp() override {
    NotifyFixture::SetUp();
    setFeatures(FEATURE_EMAIL | FEATURE_PWRLNK);
    for (const char* key : {"trapdev", "trapact", "trap_pwr", "trap_lnk", "trappup"}) setParam(key, "off");
    setParam("mailto_1", "");
    setParam("mailto_2", "");
    setParam("pop3", "off");
  }
  void TearDown() override {
    if (task_) {
      notifyTask.store(nullptr);
      task_.reset();
    }
    NotifyFixture::TearDown();
  }

  // A task object on the test thread, configured (notifyTask names it).
  NotifyTask& makeTask(bool trapsEnabled, int kickOff = 0) {
    task_.reset(new NotifyTask(trapsEnabled, kickOff));
    bool pop3On = false, notifyOn = false, announced = true;
    task_->loadConfiguration(&pop3On, &notifyOn, &announced);
    return *task_;
  }

  int announce(uint32_t code, int32_t flags = MSG_NOTIFY) {
    return task_->onMessage(TaskMessage{0, flags, static_cast<int32_t>(code), 0});
  }

  void push(uint32_t code, int32_t value, const char* serial = "sn", const char* host = nullptr) {
    ASSERT_TRUE(task_->pushEvent(code, value, "Acme", "Stick", serial, host));
  }

  std::unique_ptr<NotifyTask> task_;
};

TEST_F(NotifyTaskTest, FortyEventsBeforeOneAnnouncementGiveSixteenTrapsForTheLastSixteen) {
  setParam("trapdev", "on");
  makeTask(true);
  for (int i = 0; i < 40; ++i) push(NOTIFY_USB_ATTACHED, i);
  EXPECT_EQ(announce(NOTIFY_USB_ATTACHED), 0);
  std::vector<SnmpTrapRecord> traps = drainTraps();
  ASSERT_EQ(traps.size(), 16u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(trapVarbindInteger(traps[i].varbinds[0]), 3);
    EXPECT_EQ(trapVarbindInteger(traps[i].varbinds[1]), 24 + i) << "oldest first";
  }
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0u);
  EXPECT_EQ(task_->ring().pendingMailMask(), 0xffffu) << "mail is collected apart";
  // Nothing is trapped twice.
  announce(NOTIFY_USB_ATTACHED);
  EXPECT_TRUE(drainTraps().empty());
}

TEST_F(NotifyTaskTest, ADisabledClassKeepsItsBitAndTheNextEnabledEventIsTrapped) {
  setParam("trapact", "on");
  makeTask(true);
  push(NOTIFY_USB_ATTACHED, 2);
  announce(NOTIFY_USB_ATTACHED);
  EXPECT_TRUE(drainTraps().empty());
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0x1u);

  push(NOTIFY_USB_CONNECTED, 2, "sn", "lab (169.254.001.002)");
  announce(NOTIFY_USB_CONNECTED);
  std::vector<SnmpTrapRecord> traps = drainTraps();
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(trapVarbindInteger(traps[0].varbinds[0]), 5);
  EXPECT_EQ(trapText(traps[0], 2), "device connected: 169.254.001.002");
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0x1u);
}

TEST_F(NotifyTaskTest, ARefusedRecordKeepsItsBitUntilTheOutboxTakesIt) {
  setParam("trap_pwr", "on");
  makeTask(true);
  closeTrapOutbox();
  push(NOTIFY_POWER_SUPPLY, 0x1);
  announce(NOTIFY_POWER_SUPPLY);
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0x1u);

  openTrapOutbox(0x7ffffff0);
  announce(NOTIFY_POWER_SUPPLY);
  std::vector<SnmpTrapRecord> traps = drainTraps();
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].varbindCount, 3);
  EXPECT_EQ(trapVarbindInteger(traps[0].varbinds[0]), 11);
  EXPECT_EQ(trapVarbindInteger(traps[0].varbinds[1]), 0x1);
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0u);
}

TEST_F(NotifyTaskTest, WithoutATrapSinkNoTrapIsBuiltAndTheTrapBitsGo) {
  setParam("trapdev", "on");
  setParam("mailto_1", "ops@example.org");
  setParam("noti_dev_1", "on");
  makeTask(false);
  push(NOTIFY_USB_DETACHED, 1);
  announce(NOTIFY_USB_DETACHED);
  EXPECT_TRUE(drainTraps().empty());
  EXPECT_EQ(task_->ring().pendingTrapMask(), 0u);
  EXPECT_EQ(task_->ring().pendingMailMask(), 0x1u);
}

// A trap sent while the Ethernet link is down is lost on the wire: the
// traps wait for the link, and its return sends them in their order, the
// link-down trap first. Over the WLAN interface nothing waits.
TEST_F(NotifyTaskTest, TrapsWaitForTheEthernetLinkAndFollowItsReturnInOrder) {
  struct Case {
    const char* name;
    NetInterface* inUse;
    size_t sentAfterStep[3];
  } cases[] = {{"ethernet", &lanInterface, {0, 0, 3}}, {"wlan", &wlanInterface, {1, 1, 1}}};
  struct RestoreInterface {
    ~RestoreInterface() { activeInterface = &lanInterface; }
  } restore;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    activeInterface = c.inUse;
    setParam("trapdev", "on");
    setParam("trap_lnk", "on");
    makeTask(true);
    const struct {
      uint32_t code;
      int32_t value;
    } steps[] = {{NOTIFY_NETWORK_LINK, 0}, {NOTIFY_USB_ATTACHED, 2}, {NOTIFY_NETWORK_LINK, 0x3}};
    std::vector<std::pair<int32_t, int32_t>> sent;
    for (int i = 0; i < 3; ++i) {
      push(steps[i].code, steps[i].value);
      announce(steps[i].code);
      std::vector<SnmpTrapRecord> traps = drainTraps();
      EXPECT_EQ(traps.size(), c.sentAfterStep[i]) << "step " << i;
      for (const SnmpTrapRecord& t : traps)
        sent.emplace_back(trapVarbindInteger(t.varbinds[0]), trapVarbindInteger(t.varbinds[1]));
    }
    const std::vector<std::pair<int32_t, int32_t>> inOrder = {{17, 0}, {3, 2}, {17, 0x3}};
    EXPECT_EQ(sent, inOrder);
    EXPECT_EQ(task_->ring().pendingTrapMask(), 0u);
    notifyTask.store(nullptr);
    task_.reset();
  }
}

TEST_F(NotifyTaskTest, TheHandlerTrapsRingCodesPollsOnRequestAndKeepsTheOtherFlags) {
  setParam("trapdev", "on");
  setParam("trappup", "on");
  makeTask(true);
  struct Case {
    int32_t flags;
    uint32_t param;
    uint32_t pushed;  // 0: nothing in the ring
    int traps;
    int32_t result;
  } cases[] = {
      {MSG_NOTIFY, NOTIFY_USB_DETACHED, NOTIFY_USB_DETACHED, 1, 0},
      {MSG_NOTIFY, NOTIFY_GENERAL, NOTIFY_GENERAL, 1, 0},
      // Only the task itself announces its start and status codes.
      {MSG_NOTIFY, NOTIFY_SERVICE_START, 0, 0, 0},
      {MSG_NOTIFY, NOTIFY_STATUS_REPORT | NOTIFY_GENERAL, NOTIFY_GENERAL, 0, 0},
      {MSG_NOTIFY | MSG_PARAMS_CHANGED, NOTIFY_USB_ATTACHED, NOTIFY_USB_ATTACHED, 1, MSG_PARAMS_CHANGED},
      {MSG_ADDRESS_CHANGED, 0, 0, 0, MSG_ADDRESS_CHANGED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << c.param);
    if (c.pushed) push(c.pushed, 1);
    EXPECT_EQ(announce(c.param, c.flags), c.result);
    std::vector<SnmpTrapRecord> traps = drainTraps();
    EXPECT_EQ(static_cast<int>(traps.size()), c.traps);
    if (!traps.empty() && c.pushed == NOTIFY_GENERAL) {
      EXPECT_EQ(trapVarbindInteger(traps[0].varbinds[0]), 1);
      EXPECT_EQ(trapText(traps[0], 2), "device unknown event");
    }
    task_->ring().clearPendingMasks();
  }
  EXPECT_TRUE(task_->configChanged());

  // Poll now: the next poll second becomes the current uptime second.
  pop3NextPollSecond.store(999999);
  shiftUptimeForTesting(300);
  EXPECT_EQ(announce(NOTIFY_POLL_MAILBOX), 0);
  EXPECT_EQ(pop3NextPollSecond.load(), static_cast<uint32_t>(uptimeCs() / 100));
}

TEST_F(NotifyTaskTest, ConfigurationDecidesWhetherProducersReachTheRing) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> params;
    bool traps;
    bool pop3On;
    bool notifyOn;
  } cases[] = {
      {"nothing", {}, false, false, false},
      {"trap sink", {}, true, false, true},
      {"recipient without events", {{"mailto_1", "a@example.org"}}, false, false, false},
      {"recipient with device events", {{"mailto_2", "a@example.org"}, {"noti_dev_2", "on"}}, false, false, true},
      {"events without recipient", {{"noti_act_1", "on"}}, false, false, false},
      {"power events only", {{"mailto_1", "a@example.org"}, {"noti_pwr_1", "on"}}, false, false, false},
      {"mailbox", {{"pop3", "on"}, {"pop3_srv", "pop.example.org"}, {"pop3_usr", "u"}, {"pop3_pwd", "p"}},
       false, true, false},
      {"mailbox without password", {{"pop3", "on"}, {"pop3_srv", "pop.example.org"}, {"pop3_usr", "u"}},
       false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* key : {"mailto_1", "mailto_2", "pop3_srv", "pop3_usr", "pop3_pwd"}) setParam(key, "");
    for (const char* key : {"pop3", "noti_dev_1", "noti_act_1", "noti_pwr_1", "noti_dev_2"}) setParam(key, "off");
    for (const auto& kv : c.params) setParam(kv.first, kv.second);
    NotifyTask task(c.traps, 0);
    bool pop3On = true, notifyOn = true, announced = true;
    EXPECT_EQ(task.loadConfiguration(&pop3On, &notifyOn, &announced), c.pop3On || c.notifyOn);
    EXPECT_EQ(pop3On, c.pop3On);
    EXPECT_EQ(notifyOn, c.notifyOn);
    EXPECT_EQ(notifyTask.load() == &task, c.pop3On || c.notifyOn);
    EXPECT_EQ(produceNotifyEvent(NOTIFY_USB_DETACHED, 1), c.pop3On || c.notifyOn);
    notifyTask.store(nullptr);
  }
}

TEST_F(NotifyTaskTest, TheStartIsAnnouncedOnceAtTheFirstLoadThatFindsAnything) {
  setParam("trappup", "on");
  setParam("life", "17");
  NotifyTask task(true, 0);
  bool pop3On = false, notifyOn = false, announced = false;
  ASSERT_TRUE(task.loadConfiguration(&pop3On, &notifyOn, &announced));
  EXPECT_TRUE(announced);
  ASSERT_TRUE(task.loadConfiguration(&pop3On, &notifyOn, &announced));
  std::vector<SnmpTrapRecord> traps = drainTraps();
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_TRUE(traps[0].easy);
  EXPECT_EQ(traps[0].generic, TRAP_COLD_START);
  EXPECT_EQ(traps[0].specific, 17);
  EXPECT_EQ(mailCodes(), std::vector<uint32_t>{NOTIFY_SERVICE_START});
  notifyTask.store(nullptr);

  // Nothing configured: no announcement, and it is still owed.
  NotifyTask quiet(false, 1);
  announced = false;
  EXPECT_FALSE(quiet.loadConfiguration(&pop3On, &notifyOn, &announced));
  EXPECT_FALSE(announced);
  EXPECT_TRUE(drainTraps().empty());
}

TEST_F(NotifyTaskTest, StatusMailOncePerScheduledWindowAndOnlyOnceTheClockIsSet) {
  setParam("notistat_d", "al");
  setParam("notistat_h", "7");
  setParam("notistat_tm", "3");
  NotifyTask& task = makeTask(true);
  struct Step {
    int year;
    int hour;
    int minute;
    bool mail;
  } steps[] = {
      {2026, 7, 29, false},  // the first check only loads the schedule
      {2026, 7, 29, false},
      {2026, 6, 35, false},
      {2009, 7, 35, false},  // clock not set yet
      {2026, 7, 30, true},
      {2026, 7, 31, false},  // armed again: this check reloads
      {2026, 7, 39, true},
      {2026, 7, 39, false},
      {2026, 7, 40, false},
      {2026, 8, 35, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.year << " " << s.hour << ":" << s.minute);
    const size_t before = mailCodes().size();
    setWallClock(s.year, 3, 10, s.hour, s.minute);
    task.checkScheduledStatusMail();
    ASSERT_EQ(mailCodes().size(), before + (s.mail ? 1 : 0));
    if (s.mail) {
      EXPECT_EQ(mailCodes().back(), NOTIFY_STATUS_REPORT);
    }
  }

  // A weekday schedule: 2026-03-10 is a Tuesday.
  setParam("notistat_d", "mo");
  NotifyTask weekly(true, 0);
  setWallClock(2026, 3, 10, 7, 35);
  weekly.checkScheduledStatusMail();
  const size_t before = mailCodes().size();
  weekly.checkScheduledStatusMail();
  EXPECT_EQ(mailCodes().size(), before);
  setWallClock(2026, 3, 9, 7, 35);
  weekly.checkScheduledStatusMail();
  EXPECT_EQ(mailCodes().size(), before + 1);
}

}  // namespace

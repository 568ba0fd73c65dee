#include "notify/notifytask.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "net/interface/netinterface.h"
#include "notify/notifyhooks.h"
#include "notify/notifyproducer.h"
#include "notify/paramread.h"
#include "notify/trapcontents.h"
#include "params/store/paramstore.h"
#include "params/types/paramflags.h"
#include "runtime/task/uptime.h"
#include "runtime/text/randomkey.h"
#include "snmp/trapoutbox.h"

std::atomic<NotifyTask*> notifyTask{nullptr};
std::atomic<int32_t> notifyTaskId{-1};
std::atomic<uint32_t> pop3NextPollSecond{0};
std::atomic<int32_t> mailSuccessCount[2];
std::atomic<int32_t> mailFailureCount[2];

namespace {

constexpr int kStartWaitSeconds = 15;
constexpr int kLoopWaitSeconds = 30;
constexpr int64_t kStatusCheckPeriodCs = 36000;  // six minutes
constexpr int64_t kLinkSettleCs = 50;
// waitSeconds looks at the program clock this often, so a moved clock or a
// due mailbox poll ends it without a message.
constexpr int64_t kWaitSliceCs = 50;
constexpr int kStatusYearFrom = 2010;
constexpr const char kParamFile[] = "/etc/params.dat";

uint32_t uptimeSeconds() { return static_cast<uint32_t>(uptimeCs() / 100); }

bool mailRecipientWants(int n) {
  char key[24];
  std::snprintf(key, sizeof key, "mailto_%d", n);
  if (!notifyParamHasValue(key)) return false;
  for (const char* stem : {"noti_dev_", "noti_act_", "noti_stat_", "noti_pup_"}) {
    std::snprintf(key, sizeof key, "%s%d", stem, n);
    if (notifyParamOn(key)) return true;
  }
  return false;
}

int weekdayIndexOfSchedule() {
  static const struct {
    const char* key;
    int index;
  } kDays[] = {{"mo", 1}, {"tu", 2}, {"we", 3}, {"th", 4}, {"fr", 5}, {"sa", 6}, {"al", 7}};
  for (const auto& d : kDays)
    if (notifyChoiceIs("notistat_d", d.key)) return d.index;
  return 0;  // "su" and anything else: Sunday
}

}  // namespace

NotifyTask::NotifyTask(bool trapsEnabled, int kickOff)
    : Task("Notify"), trapsEnabled_(trapsEnabled), kickOff_(kickOff) {}

// ---- producers ----

bool NotifyTask::pushEvent(uint32_t code, int32_t value, const char* manufacturer, const char* product,
                           const char* serial, const char* host) {
  if (notifyTask.load() != this) return false;
  ring_.push(code, value, manufacturer, product, serial, host);
  return true;
}

// ---- messages ----

int NotifyTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_NOTIFY) {
    const uint32_t code = static_cast<uint32_t>(msg.param);
    if (code == NOTIFY_POLL_MAILBOX) {
      pop3NextPollSecond.store(uptimeSeconds());
    } else if (code & NOTIFY_RING_TRAP_CODES) {
      trapRingAnnouncement(code & NOTIFY_RING_TRAP_CODES);
    } else if (!(code & (NOTIFY_STATUS_REPORT | NOTIFY_SERVICE_START)) && (code & NOTIFY_GENERAL)) {
      trapRingAnnouncement(NOTIFY_GENERAL);
    }
  }
  if (msg.flags & MSG_PARAMS_CHANGED) {
    configChanged_ = true;
    woken_ = true;
  }
  return msg.flags & ~MSG_NOTIFY;
}

void NotifyTask::trapRingAnnouncement(uint32_t codes) {
  // Served from the wait inside sendTraps: that call scans again instead
  // of this one nesting another.
  if (sendingTraps_) {
    rescanTraps_ = true;
    return;
  }
  sendTraps(codes);
}

// ---- traps ----

bool NotifyTask::sendTraps(uint32_t codes) {
  if (!trapsEnabled_) {
    clearNotifyAnnouncement();
    ring_.clearTrapMask();
    return false;
  }
  if (codes & NOTIFY_SERVICE_START) {
    if (notifyParamOn("trappup")) {
      buildStartTrap(kickOff_, notifyParamInt("life", 0), &scan_.record);
      if (!queueSnmpTrap(scan_.record)) std::fprintf(stderr, "sendTraps: start trap not queued\n");
    }
    return true;
  }
  if (sendingTraps_) {
    rescanTraps_ = true;
    return true;
  }
  sendingTraps_ = true;
  if (notifyParamOn("trap_lnk")) wait(kLinkSettleCs);
  do {
    rescanTraps_ = false;
    clearNotifyAnnouncement();
    scanPendingTraps();
  } while (rescanTraps_);
  sendingTraps_ = false;
  return true;
}

void NotifyTask::scanPendingTraps() {
  uint32_t disabled = 0;
  if (!notifyParamOn("trapdev")) disabled |= NOTIFY_USB_PLUG_EVENTS;
  if (!notifyParamOn("trapact")) disabled |= NOTIFY_USB_USE_EVENTS;
  if (!notifyParamOn("trap_pwr")) disabled |= NOTIFY_POWER_SUPPLY;
  if (!notifyParamOn("trap_lnk")) disabled |= NOTIFY_NETWORK_LINK;
  if (!notifyParamOn("trap_sdunusable")) disabled |= NOTIFY_CARD_TROUBLE_EVENTS;
  if (!notifyParamOn("trap_sdinout")) disabled |= NOTIFY_CARD_INOUT_EVENTS;
  trapRetry_ = false;
  // Traps leave through the Ethernet link: while it is down a trap would be
  // dropped on the wire and still counted as sent. The entries keep their
  // bits; the event of the link's return announces them all, the link-down
  // event first.
  if (activeInterface == &lanInterface && ring_.linkLost()) return;
  // Oldest entry first, so managers see the events in their order. The
  // entries are copied under one lock; the records are queued outside it.
  const int count = ring_.trapCandidates(disabled, scan_.events, scan_.indexes, scan_.generations);
  int taken = 0;
  for (; taken < count; ++taken) {
    buildTrapVarbinds(scan_.events[taken], &scan_.record);
    if (!queueSnmpTrap(scan_.record)) {
      // The agent is not there or busy: this entry and the later ones keep
      // their bits.
      trapRetry_ = true;
      break;
    }
  }
  ring_.trapsDone(scan_.indexes, scan_.generations, taken);
}

// ---- configuration ----

bool NotifyTask::loadConfiguration(bool* pop3On, bool* notifyOn, bool* startAnnounced) {
  *pop3On = notifyParamOn("pop3") && notifyParamHasValue("pop3_srv") && notifyParamHasValue("pop3_usr") &&
            notifyParamHasValue("pop3_pwd");
  *notifyOn = trapsEnabled_ || mailRecipientWants(1) || mailRecipientWants(2);
  const bool any = *pop3On || *notifyOn;
  {
    std::lock_guard<std::mutex> lock(notifyProducerMutex());
    notifyTask.store(any ? this : nullptr);
  }
  if (!*startAnnounced && any) {
    *startAnnounced = true;
    sendTraps(NOTIFY_SERVICE_START);
    sendEventMail(NOTIFY_SERVICE_START);
  }
  return any;
}

void NotifyTask::checkScheduledStatusMail() {
  if (statusMailArmed_) {
    statusSchedule_ = tm{};
    statusSchedule_.tm_min = notifyParamInt("notistat_tm", 0) * 10;
    statusSchedule_.tm_hour = notifyParamInt("notistat_h", 0);
    statusSchedule_.tm_wday = weekdayIndexOfSchedule();
    statusMailArmed_ = false;
    return;
  }
  const time_t now = static_cast<time_t>(notifyWallClock());
  tm local{};
  if (!localtime_r(&now, &local) || local.tm_year + 1900 < kStatusYearFrom) return;
  if (statusSchedule_.tm_wday != 7 && statusSchedule_.tm_wday != local.tm_wday) return;
  if (statusSchedule_.tm_hour != local.tm_hour) return;
  if (local.tm_min >= statusSchedule_.tm_min && local.tm_min <= statusSchedule_.tm_min + 9) {
    sendEventMail(NOTIFY_STATUS_REPORT);
    statusMailArmed_ = true;
  }
}

// ---- mail (through the hooks) ----

bool NotifyTask::sendEventMail(uint32_t codes) {
  const NotifyHooks* hooks = notifyHooks();
  return hooks && hooks->sendEventMail && hooks->sendEventMail(codes);
}

void NotifyTask::pollMailbox() {
  const NotifyHooks* hooks = notifyHooks();
  if (hooks && hooks->pollMailbox) hooks->pollMailbox();
}

void NotifyTask::closeSessions() {
  const NotifyHooks* hooks = notifyHooks();
  if (hooks && hooks->closeSessions) hooks->closeSessions();
}

bool NotifyTask::commitPendingChanges() {
  // Taken first: a change left meanwhile waits for the next pass.
  if (pendingChangeClass_.exchange(0) == 0) return true;
  const int flags = paramStore.resetModified();
  if (flags & CHANGE_SAVE) paramStore.save(kParamFile);
  if (flags & CHANGE_REBOOT) return false;
  if (flags & CHANGE_RESTART) broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  return true;
}

// ---- the thread ----

void NotifyTask::waitSeconds(int n) {
  const int64_t deadline = uptimeCs() + 100 * static_cast<int64_t>(n);
  woken_ = false;
  for (;;) {
    int64_t left = deadline - uptimeCs();
    if (left <= 0) return;
    wait(left < kWaitSliceCs ? left : kWaitSliceCs);
    if (woken_ && configChanged_) return;
    const uint32_t due = pop3NextPollSecond.load();
    if (due != 0 && due < uptimeSeconds()) return;
    if (trapRetry_ && !sendingTraps_) sendTraps(NOTIFY_RING_TRAP_CODES);
  }
}

void NotifyTask::run() {
  for (int i = 0; i < 2; ++i) {
    mailSuccessCount[i].store(0);
    mailFailureCount[i].store(0);
  }
  {
    std::lock_guard<std::mutex> lock(notifyProducerMutex());
    int32_t none = -1;
    // Another instance runs: this one leaves without touching the globals.
    if (!notifyTaskId.compare_exchange_strong(none, id)) return;
    clearNotifyAnnouncement();
  }
  generateTan(nullptr);
  waitSeconds(kStartWaitSeconds);
  ring_.clearPendingMasks();

  bool pop3On = false;
  bool notifyOn = false;
  bool startAnnounced = false;
  int64_t nextStatusCheck =
      loadConfiguration(&pop3On, &notifyOn, &startAnnounced) ? uptimeCs() : INT64_MAX;
  if (notifyFeatures() & FEATURE_SDBACKUP) {
    const NotifyHooks* hooks = notifyHooks();
    if (hooks && hooks->reannounceStorageMedium) hooks->reannounceStorageMedium();
  }

  for (;;) {
    if (uptimeSeconds() >= pop3NextPollSecond.load()) {
      pollMailbox();
      pop3NextPollSecond.store(static_cast<uint32_t>((uptimeCs() + 50) / 100) +
                               static_cast<uint32_t>(notifyParamInt("pop3_poll", 2)) * 60);
    }
    if (!commitPendingChanges()) break;
    waitSeconds(kLoopWaitSeconds);
    if (configChanged_) {
      configChanged_ = false;
      if (loadConfiguration(&pop3On, &notifyOn, &startAnnounced)) nextStatusCheck = uptimeCs();
    }
    if (notifyOn) {
      const uint32_t codes = ring_.takeMailCodes();
      if (codes) sendEventMail(codes);
    }
    if (notifyOn && uptimeCs() >= nextStatusCheck) {
      checkScheduledStatusMail();
      nextStatusCheck = uptimeCs() + kStatusCheckPeriodCs;
    }
  }

  // A parameter mail asked for a reboot.
  const NotifyHooks* hooks = notifyHooks();
  if (hooks && hooks->startShutDown) hooks->startShutDown(1);
  releaseGlobals();
  closeSessions();
}

void NotifyTask::releaseGlobals() {
  std::lock_guard<std::mutex> lock(notifyProducerMutex());
  NotifyTask* self = this;
  notifyTask.compare_exchange_strong(self, nullptr);
  int32_t own = id;
  notifyTaskId.compare_exchange_strong(own, -1);
}

void NotifyTask::onEnd() {
  // However the thread ends (MSG_QUIT included), producers stop reaching
  // this object before it goes.
  releaseGlobals();
}

// ---- start ----

bool startNotifyTask(bool trapsEnabled, int kickOff) {
  NotifyTask* task = new NotifyTask(trapsEnabled, kickOff);
  if (task->start(NOTIFY_TASK_STACK) < 0) {
    delete task;
    return false;
  }
  return true;
}

bool notifyTaskRunning() { return notifyTaskId.load() >= 0; }

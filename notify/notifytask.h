// The notification task "Notify": turns device, power, link and card events
// into SNMP traps (at once, from its message handler) and notification
// mails (collected in its loop), polls the POP3 mailbox for command mails
// and sends the scheduled status mail. Only models with FEATURE_EMAIL run
// it, one instance per process.
//
// Producers (USB connection tasks, the main thread, the storage task) do
// not touch the task directly: they call produceNotifyEvent
// (notifyproducer.h), which pushes under the producer lock and announces
// the event with MSG_NOTIFY only while no announcement is outstanding.
#ifndef NOTIFY_NOTIFYTASK_H
#define NOTIFY_NOTIFYTASK_H

#include <atomic>
#include <cstdint>
#include <ctime>

#include "notify/eventring.h"
#include "runtime/task/task.h"
#include "snmp/trapoutbox.h"

constexpr int32_t NOTIFY_TASK_STACK = 20480;

class NotifyTask : public Task {
 public:
  // trapsEnabled: at least one trap sink was configured for the SNMP agent.
  // kickOff: the start counter of this run (-1 when absent).
  NotifyTask(bool trapsEnabled, int kickOff);

  void run() override;
  int onMessage(const TaskMessage& msg) override;
  void onEnd() override;

  // Stores one event in the ring; false when notifications are off
  // (notifyTask is not this task). Callers hold the producer lock
  // (produceNotifyEvent does).
  bool pushEvent(uint32_t code, int32_t value, const char* manufacturer, const char* product,
                 const char* serial, const char* host);

  // Reads the mail, POP3 and trap settings; sets notifyTask to this task
  // when anything is configured, else null; sends the start trap and mail
  // once (startAnnounced). True when anything is configured.
  bool loadConfiguration(bool* pop3On, bool* notifyOn, bool* startAnnounced);
  // The scheduled status mail: reloads the schedule when armed, else sends
  // one mail when the local time lies in the schedule's ten minutes.
  void checkScheduledStatusMail();
  // Queues the traps of the pending ring entries (or the start trap for
  // 0x2000) to the SNMP agent; while the Ethernet link in use is down they
  // stay pending until it is back. False when traps are off.
  bool sendTraps(uint32_t codes);
  // Waits up to n seconds on the program clock serving messages; returns
  // early on a configuration change or a due mailbox poll.
  void waitSeconds(int n);

  // Mail commands leave the change classes of a parameter mail here for
  // the loop to commit.
  void setPendingChangeClass(int changeClass) { pendingChangeClass_.store(changeClass); }

  EventRing& ring() { return ring_; }
  bool trapsEnabled() const { return trapsEnabled_; }
  bool configChanged() const { return configChanged_; }

 private:
  bool sendEventMail(uint32_t codes);
  void pollMailbox();
  void closeSessions();
  void scanPendingTraps();
  void trapRingAnnouncement(uint32_t codes);
  // One parameter-mail commit; false when the device must restart.
  bool commitPendingChanges();
  void releaseGlobals();

  bool statusMailArmed_ = true;
  bool configChanged_ = true;
  tm statusSchedule_{};
  const bool trapsEnabled_;
  const int kickOff_;
  EventRing ring_;
  std::atomic<int> pendingChangeClass_{0};
  // Set by a configuration change served during waitSeconds.
  bool woken_ = false;
  // sendTraps runs: an announcement served meanwhile only asks it to scan again.
  bool sendingTraps_ = false;
  bool rescanTraps_ = false;
  // The outbox refused a record: the loop tries again.
  bool trapRetry_ = false;
  // Room of one trap scan, kept off the task's small stack.
  struct TrapScan {
    NotifyEvent events[NOTIFY_RING_SIZE];
    int indexes[NOTIFY_RING_SIZE];
    uint32_t generations[NOTIFY_RING_SIZE];
    SnmpTrapRecord record;
  } scan_;
};

// The running task while anything is configured (mail, POP3 or traps),
// else null. Changed only under the producer lock.
extern std::atomic<NotifyTask*> notifyTask;
// Id of the running "Notify", -1 when none.
extern std::atomic<int32_t> notifyTaskId;
// Uptime second of the next POP3 poll; 0 before the first.
extern std::atomic<uint32_t> pop3NextPollSecond;
// Notification mails sent and failed per recipient (mailto_1, mailto_2).
extern std::atomic<int32_t> mailSuccessCount[2];
extern std::atomic<int32_t> mailFailureCount[2];

// Creates and starts "Notify"; false when it could not start.
bool startNotifyTask(bool trapsEnabled, int kickOff);
// A "Notify" task runs.
bool notifyTaskRunning();

#endif

// The "LazyHubWatcher" task: the slow follow-up of parameter changes
// (resolver file, a late start of the mDNS responder) and the daily
// restart at the hour of `dailyrestart`.
#ifndef APP_LAZYHUBWATCHER_H
#define APP_LAZYHUBWATCHER_H

#include <time.h>

#include <cstdint>

#include "runtime/task/task.h"

constexpr int LAZY_HUB_WATCHER_STACK = 20480;
// The daily restart waits this long after start (61 minutes), so that a
// restart in the hour does not repeat.
constexpr int64_t DAILY_RESTART_MIN_UPTIME = 366000;

class LazyHubWatcherTask : public Task {
 public:
  LazyHubWatcherTask();
  void run() override;
  // Notes MSG_PARAMS_CHANGED; returns the flags unchanged, so the wait ends.
  int onMessage(const TaskMessage& msg) override;

  int paramsChanged;  // only the task's own thread uses it
};

// Creates and starts the task; false when it could not start.
bool startLazyHubWatcher();

// The daily restart is due: restartHour 0..23, the program clock past
// DAILY_RESTART_MIN_UPTIME, the local time known (a year after 2018) and
// in that hour.
bool dailyRestartDue(int restartHour, int64_t uptime, time_t now);

// The wall clock the daily restart reads; tests move it (null: time()).
void setWallClockForTesting(time_t (*now)());

#endif

#include "app/lazyhubwatcher.h"

#include <atomic>

#include "app/discoverystart.h"
#include "app/pending.h"
#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "net/interface/netinterface.h"
#include "net/system/resolvconf.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/parambase.h"
#include "runtime/task/uptime.h"

namespace {

constexpr int kPollMs = 6000;
constexpr int kKnownYear = 118;  // tm_year of 2018: earlier means no time source yet

std::atomic<time_t (*)()> wallClockForTesting{nullptr};

time_t wallNow() {
  if (time_t (*now)() = wallClockForTesting.load()) return now();
  return time(nullptr);
}

bool paramOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

}  // namespace

LazyHubWatcherTask::LazyHubWatcherTask() : Task("LazyHubWatcher"), paramsChanged(0) {}

int LazyHubWatcherTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) paramsChanged = 1;
  return msg.flags;
}

void LazyHubWatcherTask::run() {
  // Hidden on models without the daily restart: then never looked at.
  IntParam* dailyRestart = paramStore.findInt("dailyrestart");
  for (;;) {
    pollEvents(kPollMs);
    if (paramsChanged) {
      paramsChanged = 0;
      writeResolvConf();
      reloadResolverConfig();
      if (bonjourRunning() < 0 && paramOn("bonjour")) startBonjourResponder(*activeInterface);
    }
    if (dailyRestart && dailyRestartDue(dailyRestart->value(), uptimeCs(), wallNow())) {
      exitCode.store(EXIT_REBOOT);
      startShutDown(1);
      return;
    }
  }
}

bool startLazyHubWatcher() {
  LazyHubWatcherTask* task = new LazyHubWatcherTask;
  if (task->start(LAZY_HUB_WATCHER_STACK) < 0) {
    delete task;
    return false;
  }
  return true;
}

bool dailyRestartDue(int restartHour, int64_t uptime, time_t now) {
  if (restartHour < 0 || restartHour > 23 || uptime <= DAILY_RESTART_MIN_UPTIME) return false;
  tm local{};
  if (!localtime_r(&now, &local)) return false;
  return local.tm_year > kKnownYear && local.tm_hour == restartHour;
}

void setWallClockForTesting(time_t (*now)()) { wallClockForTesting.store(now); }

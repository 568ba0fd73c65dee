#include "notify/notifyhooks.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<const NotifyHooks*> installedHooks{nullptr};
std::atomic<int64_t (*)()> wallClockOverride{nullptr};

}  // namespace

void setNotifyHooks(const NotifyHooks* hooks) { installedHooks.store(hooks); }

const NotifyHooks* notifyHooks() { return installedHooks.load(); }

int64_t notifyWallClock() {
  int64_t (*clock)() = wallClockOverride.load();
  return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

void setNotifyWallClockForTesting(int64_t (*clock)()) { wallClockOverride.store(clock); }

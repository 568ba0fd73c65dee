#include "platform/clock/wallclock.h"

#include <cerrno>
#include <mutex>

#include "runtime/file/paths.h"

namespace {

std::mutex clockMutex;
WallClockRecord record{};
void (*follower)(int64_t, void*) = nullptr;
void* followerContext = nullptr;
bool forced = false;

int64_t hostNowCs() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec) * 100 + now.tv_usec / 10000;
}

bool useRealClock() {
  std::lock_guard<std::mutex> g(clockMutex);
  return !forced && dataRoot().empty();
}

}  // namespace

int setWallClock(const timeval& when) {
  if (when.tv_usec < 0 || when.tv_usec >= 1000000) {
    errno = EINVAL;
    return -1;
  }
  if (useRealClock()) return settimeofday(&when, nullptr);

  const int64_t stepCs = static_cast<int64_t>(when.tv_sec) * 100 + when.tv_usec / 10000 - hostNowCs();
  void (*move)(int64_t, void*) = nullptr;
  void* context = nullptr;
  {
    std::lock_guard<std::mutex> g(clockMutex);
    ++record.sets;
    record.lastSeconds = when.tv_sec;
    record.lastMicros = when.tv_usec;
    record.lastStepCs = stepCs;
    move = follower;
    context = followerContext;
  }
  if (move) move(stepCs, context);
  return 0;
}

WallClockRecord simulatedWallClock() {
  std::lock_guard<std::mutex> g(clockMutex);
  return record;
}

void resetSimulatedWallClock() {
  std::lock_guard<std::mutex> g(clockMutex);
  record = WallClockRecord{};
}

void setWallClockTickFollower(void (*moveTicks)(int64_t, void*), void* context) {
  std::lock_guard<std::mutex> g(clockMutex);
  follower = moveTicks;
  followerContext = moveTicks ? context : nullptr;
}

void* wallClockTickFollowerContext() {
  std::lock_guard<std::mutex> g(clockMutex);
  return followerContext;
}

void forceSimulatedWallClock(bool force) {
  std::lock_guard<std::mutex> g(clockMutex);
  forced = force;
}

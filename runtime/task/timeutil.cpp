#include "runtime/task/timeutil.h"

#include <sys/time.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<int64_t> baseSecond{0};
}

char* formatUptime(int64_t timeCs, char* buffer, size_t size) {
  if (!buffer || size == 0) return buffer;
  const int64_t minutes = timeCs / 6000;
  std::snprintf(buffer, size, "%3lld/%02d/%02d", static_cast<long long>(minutes / 1440),
                static_cast<int>(minutes / 60 % 24), static_cast<int>(minutes % 60));
  return buffer;
}

int64_t millisecondsSince(int reset) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  if (reset) baseSecond.store(now.tv_sec);
  return (static_cast<int64_t>(now.tv_sec) - baseSecond.load()) * 1000 + now.tv_usec / 1000;
}

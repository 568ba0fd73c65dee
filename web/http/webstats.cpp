#include "web/http/webstats.h"

WebStats webStats;

namespace {

// Raises target to value; true when value was the new maximum.
template <typename T>
bool raiseTo(std::atomic<T>& target, T value) {
  T seen = target.load(std::memory_order_relaxed);
  while (value > seen)
    if (target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) return true;
  return false;
}

template <typename T>
bool lowerTo(std::atomic<T>& target, T value) {
  T seen = target.load(std::memory_order_relaxed);
  while (value < seen)
    if (target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) return true;
  return false;
}

}  // namespace

void noteTemplateOutput(int64_t output, int64_t bufferSize, int32_t page) {
  if (raiseTo(webStats.largestOutput, output)) {
    webStats.largestOutputBuffer.store(bufferSize, std::memory_order_relaxed);
    webStats.largestOutputPage.store(page, std::memory_order_relaxed);
  }
  if (lowerTo(webStats.smallestHeadroom, bufferSize - output)) {
    webStats.smallestHeadroomBuffer.store(bufferSize, std::memory_order_relaxed);
    webStats.smallestHeadroomPage.store(page, std::memory_order_relaxed);
    webStats.smallestHeadroomOutput.store(output, std::memory_order_relaxed);
  }
}

void noteVariableList(int32_t capacity, int32_t used, int32_t page) {
  raiseTo(webStats.largestVariableList, capacity);
  if (raiseTo(webStats.largestVariableUse, used)) webStats.largestVariableUsePage.store(page, std::memory_order_relaxed);
}

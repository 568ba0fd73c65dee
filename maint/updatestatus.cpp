#include "maint/updatestatus.h"

#include <cstring>
#include <mutex>

std::atomic<int> updateState{UPDATE_IDLE};
std::atomic<int> updateResultCode{0};
std::atomic<int> updateProgress{0};

namespace {

std::mutex statusTextMutex;
char statusText[kUpdateStatusTextSize];

}  // namespace

std::string updateStatusText() {
  std::lock_guard<std::mutex> lock(statusTextMutex);
  return std::string(statusText);
}

void setUpdateStatusText(const char* text) {
  std::lock_guard<std::mutex> lock(statusTextMutex);
  size_t n = text ? std::strlen(text) : 0;
  if (n > sizeof statusText - 1) n = sizeof statusText - 1;
  if (n) std::memcpy(statusText, text, n);
  statusText[n] = 0;
}

void resetUpdateStatus() {
  updateState = UPDATE_IDLE;
  setUpdateStatusText(nullptr);
  updateProgress = 0;
  updateResultCode = 0;
}

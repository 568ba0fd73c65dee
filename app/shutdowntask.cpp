#include "app/shutdowntask.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "app/gpiodevice.h"
#include "app/processstate.h"
#include "app/statusdisplay.h"

namespace {

// Only the first run does the work; testing and clearing is one step.
std::atomic<bool> shutdownOnce{true};
std::atomic<bool (*)(int)> starterForTesting{nullptr};

// A full second even when a signal interrupts the sleep.
void sleepOneSecond() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

ShutDownTask::ShutDownTask(int delay) : Task("ShutDown"), delaySeconds(delay) {}

void ShutDownTask::run() {
  if (shutdownOnce.exchange(false)) {
    if (StatusDisplay* display = gpioDevice.statusDisplay()) display->show('R', 'S', DISP_FREEZE | DISP_BLINK);
    if (delaySeconds > 0) wait(static_cast<int64_t>(delaySeconds) * 100);
    broadcastToTasks(TaskMessage{0, MSG_QUIT, 0, 0});
    sleepOneSecond();
    signalOtherTasks(nullptr, SIGTERM);
  }
  shutdownCount.fetch_add(1);
}

bool startShutDown(int delaySeconds) {
  if (bool (*starter)(int) = starterForTesting.load()) return starter(delaySeconds);
  ShutDownTask* task = new ShutDownTask(delaySeconds);
  if (task->start(SHUTDOWN_TASK_STACK) < 0) {
    delete task;
    return false;
  }
  return true;
}

void setShutDownStarterForTesting(bool (*starter)(int)) { starterForTesting.store(starter); }

void rearmShutDownForTesting() { shutdownOnce.store(true); }

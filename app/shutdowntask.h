// The "ShutDown" task: every orderly end of the program runs through it.
// The first run freezes the status display on "RS", waits its delay, tells
// every task to quit and then signals the task threads that remain; every
// run counts in shutdownCount. Whoever wants a restart sets exitCode when
// needed and calls startShutDown.
#ifndef APP_SHUTDOWNTASK_H
#define APP_SHUTDOWNTASK_H

#include "runtime/task/task.h"

constexpr int SHUTDOWN_TASK_STACK = 20480;

class ShutDownTask : public Task {
 public:
  explicit ShutDownTask(int delaySeconds);
  void run() override;

  int delaySeconds;
};

// Creates and starts a "ShutDown" task with the delay; false when its
// thread could not be started.
bool startShutDown(int delaySeconds);

// Tests: startShutDown calls starter instead (null: the real task), and
// the next run does the full shutdown again.
void setShutDownStarterForTesting(bool (*starter)(int delaySeconds));
void rearmShutDownForTesting();

#endif

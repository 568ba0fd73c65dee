#include "snmp/taskbridge.h"

#include <unistd.h>

#include <cstdio>

#include "runtime/task/task.h"

void finish(int) {
  if (Task* task = currentTask()) task->exit();
  for (;;) {
    std::fprintf(stderr, "Fatal ERROR: no task context for calling finish in ftpd?!\n");
    ::sleep(5);
  }
}

int getCurrentTaskMessageFd() {
  Task* task = currentTask();
  return task ? task->pipeRead : -1;
}

void deliverFlagsToCurrentTask(int32_t flags) {
  Task* task = currentTask();
  if (task == nullptr) return;
  TaskMessage msg{0, flags, 0, 0};
  task->onMessage(msg);
}

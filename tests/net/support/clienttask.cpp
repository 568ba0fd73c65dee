#include "net/support/clienttask.h"

#include <unistd.h>

#include <cstring>

#include "runtime/task/task.h"

bool waitUntil(const std::function<bool()>& condition, int maxMs) {
  for (int waited = 0; waited < maxMs; waited += 20) {
    if (condition()) return true;
    ::usleep(20000);
  }
  return condition();
}

int tasksNamed(const char* name) {
  int count = 0;
  if (!TLOCK()) return 0;
  for (Task* task : taskTable)
    if (task && task->name && std::strcmp(task->name, name) == 0) ++count;
  unlockTaskTable();
  return count;
}

bool quitTasksNamed(const char* name) {
  if (tasksNamed(name) == 0) return true;
  postToTasksNamed(name, TaskMessage{0, MSG_QUIT, 0, 0});
  return waitUntil([name] { return tasksNamed(name) == 0; }, 10000);
}

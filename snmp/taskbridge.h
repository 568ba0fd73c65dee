// What the agent loop needs of the task it runs in: its message pipe, its
// message handler and its end.
#ifndef SNMP_TASKBRIDGE_H
#define SNMP_TASKBRIDGE_H

#include <cstdint>

// Ends the calling task through Task::exit (the code is not used). Outside
// any task it reports that on standard error every 5 seconds, for ever.
[[noreturn]] void finish(int code);

// The read end of the calling task's message pipe; -1 when not a task.
int getCurrentTaskMessageFd();

// Hands {0, flags, 0, 0} straight to the calling task's onMessage on this
// thread; nothing when not a task.
void deliverFlagsToCurrentTask(int32_t flags);

#endif

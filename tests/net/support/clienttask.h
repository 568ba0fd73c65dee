// Helpers of the tests that run a network task in-process: bounded waits
// for a condition and the end of a task.
#ifndef TESTS_NET_SUPPORT_CLIENTTASK_H
#define TESTS_NET_SUPPORT_CLIENTTASK_H

#include <functional>

// Polls condition every 20 ms, at most maxMs; its last result.
bool waitUntil(const std::function<bool()>& condition, int maxMs = 20000);

// Registered tasks of that name.
int tasksNamed(const char* name);

// Posts MSG_QUIT to every task of that name and waits until none is left;
// false when one stayed.
bool quitTasksNamed(const char* name);

#endif

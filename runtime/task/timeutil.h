// Time texts and the millisecond wall clock.
#ifndef RUNTIME_TASK_TIMEUTIL_H
#define RUNTIME_TASK_TIMEUTIL_H

#include <cstddef>
#include <cstdint>

// Formats a time in 1/100 s as "%3d/%02d/%02d": whole days, hours of the
// day, minutes of the hour. Returns buffer.
char* formatUptime(int64_t timeCs, char* buffer, size_t size);

// Milliseconds of the wall clock since the base second (initially the
// epoch). A non-zero reset first makes the current second the base.
int64_t millisecondsSince(int reset);

#endif

// The program clock: 1/100 s since its first reading.
//
// Every time-out, age and retry period of the program is measured on this
// clock. It reads the board's tick counter when the board layer has
// installed one, else a monotonic process clock at 100 Hz. Switching from
// one source to the other keeps the value continuous, and the value never
// goes backwards.
#ifndef RUNTIME_TASK_UPTIME_H
#define RUNTIME_TASK_UPTIME_H

#include <cstdint>

// 1/100 s since the first call in this process (the first call returns 0).
// Safe from any thread.
int64_t uptimeCs();

// The same clock under the name the SNMP engine uses.
int64_t taskClock();

// Installs the board's tick counter (1/100 s); null removes it. The reader
// is called without any lock of the clock held, so it may take the board
// device's lock. A false return means the read failed: the clock then uses
// the process clock for the rest of the run (until another reader is
// installed).
void setBoardTickSource(bool (*readTicks)(int64_t* cs));

// Tests: adds deltaCs to every later reading.
void shiftUptimeForTesting(int64_t deltaCs);

// Tests: forgets the zero point, the tick source and any shift, so the next
// reading is 0 again.
void resetUptimeForTesting();

#endif

// Setting the system's wall clock.
//
// On the real root (the appliance, the VM) the clock is set with
// settimeofday. Anywhere else the program shares the host's clock with
// everything else on the machine (no namespace separates clocks), so a
// stand-in takes the time instead: it records what was set and, when asked
// to, moves the board's tick counter by the step, like a board whose counter
// follows the wall clock. Tests and the simulated board's control socket
// ("clock") read the record.
#ifndef PLATFORM_CLOCK_WALLCLOCK_H
#define PLATFORM_CLOCK_WALLCLOCK_H

#include <sys/time.h>

#include <cstdint>

// Sets the wall clock through the layer chosen for the data root: 0, or -1
// with errno when the clock cannot be set.
int setWallClock(const timeval& when);

// What the stand-in holds.
struct WallClockRecord {
  int64_t sets;        // how many times the clock was set
  int64_t lastSeconds; // the last time set (Unix seconds)
  int64_t lastMicros;
  int64_t lastStepCs;  // the last step against the host's clock, 1/100 s
};

// The stand-in's record (all zero before the first set).
WallClockRecord simulatedWallClock();
// Forgets the record.
void resetSimulatedWallClock();

// Makes the stand-in move a tick counter by every step (null: the counter
// stays, like a counter that never looks at the wall clock). The mover is
// called without any lock of this layer held.
void setWallClockTickFollower(void (*moveTicks)(int64_t stepCs, void* context), void* context);
// The follower's context, so an owner can remove only its own follower.
void* wallClockTickFollowerContext();

// Tests: true selects the stand-in even on the real root, false restores
// the choice by data root.
void forceSimulatedWallClock(bool force);

#endif

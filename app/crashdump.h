// The crash dump of a fatal signal.
#ifndef APP_CRASHDUMP_H
#define APP_CRASHDUMP_H

#include <signal.h>

// Writes to standard output, with async-signal-safe calls only: the signal
// line, the registers of the interrupted context, 512 bytes of its stack
// and the process memory map; then ends the process with EXIT_CRASH
// (without exit handlers, which must not run in a broken process).
[[noreturn]] void onFatalSignal(int sig, siginfo_t* info, void* context);

#endif

// Process-wide set-up of the TLS library.
#ifndef RUNTIME_TLS_TLSINIT_H
#define RUNTIME_TLS_TLSINIT_H

#include <cstdint>

// Once per process, on the main thread before any task uses TLS: library
// strings, random generator seeded with callerState as well, the hardware
// engine, and mode 0600 for the own private key. Later calls do nothing.
void initTls(uint64_t callerState);

// At process exit; the library cleans up after itself.
void shutdownTls();

// Yields the processor when the program clock has moved since the last call.
void yieldOncePerTick();

#endif

// Process-wide values of the start-up and the shutdown: the exit code, the
// shutdown requests, the "KickOff" start counter and the listening ports.
#ifndef APP_PROCESSSTATE_H
#define APP_PROCESSSTATE_H

#include <atomic>
#include <cstdint>

// Exit codes of the program, read by the process that starts it.
constexpr int EXIT_NORMAL = 0;    // an orderly end: start again
constexpr int EXIT_SOFTWARE = 1;  // a software archive was installed
constexpr int EXIT_REBOOT = 2;    // firmware written, daily restart, factory reset, cold restart
constexpr int EXIT_CRASH = 3;     // a fatal signal: the crash dump went to standard output

// Returned by main; set by whoever asks for a restart that needs more
// than a plain start.
extern std::atomic<int> exitCode;
// Shutdown requests: SIGINT/SIGTERM, every "ShutDown" run, a change of the
// interface to use. A positive value makes the supervision loop start
// "ShutDown".
extern std::atomic<int> shutdownCount;
// SIGINTs received.
extern std::atomic<int> sigInts;
// Program clock (1/100 s) of the last SIGINT or SIGTERM; 0 = none. Kept by
// the supervision loop from what the signal handler recorded (the handler
// itself never touches the program clock).
extern std::atomic<int64_t> shutdownRequestTime;

// Decimal value of the environment variable "KickOff", -1 when absent.
extern int kickOffValue;

// Listening ports: -1 until the start-up fills in 80, 443 and 161.
extern int httpListenPort;
extern int httpsListenPort;
extern int snmpAgentPort;

// Tests: every value above back to its initial state.
void resetProcessStateForTesting();

#endif

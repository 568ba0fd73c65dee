// Signal handling: the logging handler through which SIGINT and SIGTERM
// ask for a shutdown, the installers of the start-up, and a line builder
// that signal handlers may use.
//
// A handler here only counts, records a time stamp from CLOCK_MONOTONIC and
// writes with write(2): it takes no lock, so it cannot deadlock with the
// thread it interrupted (which may hold the stdio, board or clock lock).
#ifndef APP_SIGNALS_H
#define APP_SIGNALS_H

#include <signal.h>

#include <cstddef>
#include <cstdint>

// A text line built without allocation or locks, for signal handlers.
// Text beyond the buffer is dropped.
class SignalSafeText {
 public:
  SignalSafeText& add(const char* text);
  SignalSafeText& dec(int64_t value);
  // Lower-case hexadecimal, at least minDigits digits.
  SignalSafeText& hex(uint64_t value, int minDigits);
  const char* data() const { return buffer_; }
  size_t size() const { return length_; }
  // write(2) of the whole text to fd.
  void writeTo(int fd) const;

 private:
  char buffer_[256];
  size_t length_ = 0;
};

// write(2) of all bytes, retried on EINTR; false when the write failed.
bool writeAllSignalSafe(int fd, const void* data, size_t size);

// The logging handler: SIGINT counts in sigInts; SIGINT and SIGTERM record
// a shutdown request and count in shutdownCount; every signal writes
// "sigXXX(%d) <%s> shutdowns:%d sigInts:%d\n" to standard error. Any
// other signal is only logged and the interrupted code goes on.
void sigXXX(int sig);

// Crash handlers for SIGSEGV, SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSYS,
// SIGXCPU and SIGXFSZ, then sigXXX for SIGTERM. Stops at the first
// failure, which is reported through perror ("SIGSEGV fail to install",
// ...). 1 when all were installed.
int installCrashHandlers();

// The logging handler for SIGFPE, SIGTERM, SIGBUS, SIGINT, SIGUSR1,
// SIGUSR2 and SIGPIPE, in this order. Only the first result is looked at:
// on failure "####### install SIGFPE handler failed!\n########" goes to
// standard error and 0 is returned. From now on a SIGFPE or SIGBUS sent by
// a process (kill, tgkill, sigqueue) is only logged; one raised by a real
// fault still ends the process through the crash dump, since the faulting
// instruction would otherwise run again for ever.
int installLoggingSignalHandlers();

// True when the signal was sent by a process rather than raised by a
// fault of the interrupted code.
bool signalSentByProcess(const siginfo_t* info);

// CLOCK_MONOTONIC in 1/100 s, cut to 32 bits; async-signal-safe.
uint32_t monotonicCs32();

// Shutdown requests by SIGINT or SIGTERM: how many so far.
uint32_t signalShutdownRequests();
// When requests arrived since *seen: *seen := their number, *programTime
// := the program clock (uptimeCs) of the last one, and true.
bool takeSignalShutdownRequest(uint32_t* seen, int64_t* programTime);

// Tests: forgets the recorded requests.
void resetSignalRequestsForTesting();

#endif

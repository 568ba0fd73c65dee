#include "app/signals.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "app/crashdump.h"
#include "app/processstate.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

namespace {

// What the handler records of the last SIGINT/SIGTERM: a 32-bit stamp is
// written with one store on every platform, so reading it takes no lock.
std::atomic<uint32_t> requestCount{0};
std::atomic<uint32_t> requestStampCs{0};

void recordShutdownRequest() {
  requestStampCs.store(monotonicCs32());
  requestCount.fetch_add(1);
}

void loggingEntry(int sig, siginfo_t* info, void* context) {
  if ((sig == SIGFPE || sig == SIGBUS) && !signalSentByProcess(info)) {
    onFatalSignal(sig, info, context);
    return;
  }
  sigXXX(sig);
}

int install(int sig, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return sigaction(sig, &action, nullptr);
}

}  // namespace

SignalSafeText& SignalSafeText::add(const char* text) {
  if (!text) text = "(null)";
  while (*text && length_ < sizeof buffer_) buffer_[length_++] = *text++;
  return *this;
}

SignalSafeText& SignalSafeText::dec(int64_t value) {
  char digits[24];
  int n = 0;
  // Work on the negative value so that INT64_MIN needs no special case.
  bool negative = value < 0;
  int64_t v = negative ? value : -value;
  do {
    digits[n++] = static_cast<char>('0' - v % 10);
    v /= 10;
  } while (v != 0);
  if (negative && length_ < sizeof buffer_) buffer_[length_++] = '-';
  while (n > 0 && length_ < sizeof buffer_) buffer_[length_++] = digits[--n];
  return *this;
}

SignalSafeText& SignalSafeText::hex(uint64_t value, int minDigits) {
  static const char kDigits[] = "0123456789abcdef";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = kDigits[value & 0xf];
    value >>= 4;
  } while (value != 0);
  while (n < minDigits && n < 16) digits[n++] = '0';
  while (n > 0 && length_ < sizeof buffer_) buffer_[length_++] = digits[--n];
  return *this;
}

void SignalSafeText::writeTo(int fd) const { writeAllSignalSafe(fd, buffer_, length_); }

bool writeAllSignalSafe(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint32_t monotonicCs32() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 100u + static_cast<uint64_t>(ts.tv_nsec) / 10000000u);
}

void sigXXX(int sig) {
  int savedErrno = errno;
  if (sig == SIGINT) sigInts.fetch_add(1);
  if (sig == SIGINT || sig == SIGTERM) {
    recordShutdownRequest();
    shutdownCount.fetch_add(1);
  }
  SignalSafeText line;
  line.add("sigXXX(").dec(sig).add(") <").add(currentTaskName()).add("> shutdowns:").dec(shutdownCount.load());
  line.add(" sigInts:").dec(sigInts.load()).add("\n");
  // Standard error a pipe nobody reads: the write would raise SIGPIPE,
  // whose handler would write again, for ever.
  pollfd err{STDERR_FILENO, POLLOUT, 0};
  const bool broken = ::poll(&err, 1, 0) > 0 && (err.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  if (!broken) line.writeTo(STDERR_FILENO);
  errno = savedErrno;
}

bool signalSentByProcess(const siginfo_t* info) {
  // SI_USER (kill), SI_QUEUE (sigqueue), SI_TKILL (tgkill) and the other
  // codes of software origin are zero or negative; faults are positive.
  return info == nullptr || info->si_code <= 0;
}

int installCrashHandlers() {
  static const struct {
    int sig;
    const char* failure;
  } kFatal[] = {
      {SIGSEGV, "SIGSEGV fail to install"}, {SIGILL, "SIGILL fail to install"},
      {SIGABRT, "SIGABRT fail to install"}, {SIGFPE, "SIGFPE fail to install"},
      {SIGBUS, "SIGBUS fail to install"},   {SIGSYS, "SIGSYS fail to install"},
      {SIGXCPU, "SIGXCPU fail to install"}, {SIGXFSZ, "SIGXFSZ fail to install"},
  };
  for (const auto& f : kFatal) {
    if (install(f.sig, onFatalSignal) != 0) {
      std::perror(f.failure);
      return 0;
    }
  }
  if (install(SIGTERM, loggingEntry) != 0) {
    std::perror("SIGTERM fail to install");
    return 0;
  }
  return 1;
}

int installLoggingSignalHandlers() {
  static const int kLogged[] = {SIGFPE, SIGTERM, SIGBUS, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE};
  int first = install(kLogged[0], loggingEntry);
  for (size_t i = 1; i < sizeof kLogged / sizeof kLogged[0]; ++i) install(kLogged[i], loggingEntry);
  if (first != 0) {
    std::fputs("####### install SIGFPE handler failed!\n########", stderr);
    return 0;
  }
  return 1;
}

uint32_t signalShutdownRequests() { return requestCount.load(); }

bool takeSignalShutdownRequest(uint32_t* seen, int64_t* programTime) {
  uint32_t count = requestCount.load();
  if (count == *seen) return false;
  // The stamp of the last request: re-read until no request came in between.
  uint32_t stamp;
  do {
    count = requestCount.load();
    stamp = requestStampCs.load();
  } while (count != requestCount.load());
  uint32_t elapsed = monotonicCs32() - stamp;  // modulo 2^32: wraps safely
  int64_t t = uptimeCs() - static_cast<int64_t>(elapsed);
  *programTime = t > 0 ? t : 1;  // 0 means "no request"
  *seen = count;
  return true;
}

void resetSignalRequestsForTesting() {
  requestCount.store(0);
  requestStampCs.store(0);
}

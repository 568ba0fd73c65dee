// Signal handling: the logging handler, the installers and the crash dump.
// Real signals and faults are raised in forked children, so the test
// program's own handlers stay as they are.
#include "app/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "app/crashdump.h"
#include "app/processstate.h"
#include "runtime/task/uptime.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs body in a forked child with standard output and error in files;
// the child's exit status.
struct ChildResult {
  bool exited = false;
  int code = -1;
  int signal = 0;
  std::string out;
  std::string err;
};

ChildResult runInChild(const std::function<void()>& body) {
  char dir[] = "/tmp/signalstestXXXXXX";
  ChildResult r;
  if (!mkdtemp(dir)) return r;
  std::string outPath = std::string(dir) + "/out", errPath = std::string(dir) + "/err";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    body();
    _exit(100);  // the body was expected to end the process itself
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.exited = WIFEXITED(status);
  r.code = r.exited ? WEXITSTATUS(status) : -1;
  r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  std::string rm = std::string("rm -rf '") + dir + "'";
  (void)!std::system(rm.c_str());
  return r;
}

// A real bus error: a read beyond the end of a mapped empty file.
void busFault() {
  char path[] = "/tmp/signalsbusXXXXXX";
  int fd = mkstemp(path);
  unlink(path);
  void* map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  volatile const char* p = static_cast<const char*>(map);
  (void)*p;
}

// A real segmentation fault on a page without access rights.
void segmentationFault() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  volatile int* p = static_cast<int*>(page);
  *p = 1;
}

void sendToSelf(int sig) { kill(getpid(), sig); }

void queueToSelf(int sig) {
  sigval value{};
  sigqueue(getpid(), sig, value);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SignalSafeTextTest, FormatsNumbersWithoutTheLibrary) {
  struct Case {
    std::function<void(SignalSafeText&)> build;
    const char* expected;
  } cases[] = {
      {[](SignalSafeText& t) { t.dec(0); }, "0"},
      {[](SignalSafeText& t) { t.dec(-42); }, "-42"},
      {[](SignalSafeText& t) { t.dec(INT64_MIN); }, "-9223372036854775808"},
      {[](SignalSafeText& t) { t.dec(INT64_MAX); }, "9223372036854775807"},
      {[](SignalSafeText& t) { t.hex(0x1f, 8); }, "0000001f"},
      {[](SignalSafeText& t) { t.hex(0x123456789aULL, 8); }, "123456789a"},
      {[](SignalSafeText& t) { t.hex(UINT64_MAX, 8); }, "ffffffffffffffff"},
      {[](SignalSafeText& t) { t.add("a").add(nullptr).add("b"); }, "a(null)b"},
  };
  for (const Case& c : cases) {
    SignalSafeText t;
    c.build(t);
    EXPECT_EQ(std::string(t.data(), t.size()), c.expected);
  }
}

TEST(SignalSafeTextTest, DropsWhatDoesNotFit) {
  SignalSafeText t;
  std::string longText(1000, 'x');
  t.add(longText.c_str()).dec(12345).hex(0xabc, 4);
  EXPECT_EQ(t.size(), 256u);
  EXPECT_EQ(std::string(t.data(), t.size()), std::string(256, 'x'));
}

class LoggingHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
  }
  void TearDown() override {
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
  }
};

TEST_F(LoggingHandlerTest, CountsInterruptsAndShutdownRequests) {
  testing::internal::CaptureStderr();
  sigXXX(SIGINT);
  sigXXX(SIGUSR1);
  sigXXX(SIGINT);
  sigXXX(SIGTERM);
  std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(sigInts.load(), 2);
  EXPECT_EQ(shutdownCount.load(), 3);
  EXPECT_EQ(signalShutdownRequests(), 3u);
  EXPECT_EQ(err,
            "sigXXX(2) <NoTask> shutdowns:1 sigInts:1\n"
            "sigXXX(10) <NoTask> shutdowns:1 sigInts:1\n"
            "sigXXX(2) <NoTask> shutdowns:2 sigInts:2\n"
            "sigXXX(15) <NoTask> shutdowns:3 sigInts:2\n");
}

TEST_F(LoggingHandlerTest, ShutdownRequestIsDatedOnTheProgramClock) {
  uint32_t seen = 0;
  int64_t when = -1;
  EXPECT_FALSE(takeSignalShutdownRequest(&seen, &when));

  testing::internal::CaptureStderr();
  int64_t before = uptimeCs();
  sigXXX(SIGTERM);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(takeSignalShutdownRequest(&seen, &when));
  int64_t after = uptimeCs();
  EXPECT_EQ(seen, 1u);
  // The stamp is whole 1/100 s of another clock: allow a tick either way.
  EXPECT_GE(when, before - 1);
  EXPECT_LE(when, after + 1);
  EXPECT_GT(when, 0);
  // Taken once: the same request is not reported again.
  EXPECT_FALSE(takeSignalShutdownRequest(&seen, &when));
}

TEST(SignalOriginTest, ToldApartBySignalCode) {
  siginfo_t info{};
  struct Case {
    int code;
    bool sent;
  } cases[] = {{SI_USER, true}, {SI_QUEUE, true}, {SI_TKILL, true}, {BUS_ADRERR, false}, {FPE_INTDIV, false}};
  for (const Case& c : cases) {
    info.si_code = c.code;
    EXPECT_EQ(signalSentByProcess(&info), c.sent) << "code " << c.code;
  }
}

TEST(CrashHandlerTest, RealFaultsDumpAndEndWithTheCrashCode) {
  struct Case {
    const char* what;
    bool loggingInstalled;  // start-up step of the logging handlers passed
    std::function<void()> trigger;
    const char* head;
  } cases[] = {
      {"segmentation fault", true, segmentationFault, "Signal 11, errno 0, code 2, addr "},
      {"bus error after the logging handlers", true, busFault, "Signal 7, errno 0, code 2, addr "},
      {"bus error before them", false, busFault, "Signal 7, errno 0, code 2, addr "},
      {"SIGSEGV sent by kill", true, [] { sendToSelf(SIGSEGV); }, "Signal 11, errno 0, code 0, addr "},
      {"abort", false, [] { abort(); }, "Signal 6, errno 0, code -6, addr "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChildResult r = runInChild([&] {
      if (!installCrashHandlers()) _exit(101);
      if (c.loggingInstalled && !installLoggingSignalHandlers()) _exit(102);
      c.trigger();
    });
    ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
    EXPECT_EQ(r.code, EXIT_CRASH);
    EXPECT_EQ(r.out.compare(0, std::strlen(c.head), c.head), 0) << r.out.substr(0, 200);
#if defined(__x86_64__)
    EXPECT_TRUE(contains(r.out, "\nrip       ="));
    EXPECT_TRUE(contains(r.out, "\nrsp       ="));
#elif defined(__arm__)
    EXPECT_TRUE(contains(r.out, "\narm_pc    ="));
#endif
    EXPECT_TRUE(contains(r.out, "\nStack: \n"));
    // The memory map follows the stack words.
    EXPECT_TRUE(contains(r.out, "[stack]")) << r.out.substr(0, 400);
    EXPECT_TRUE(r.err.empty()) << r.err;
  }
}

TEST(CrashHandlerTest, DumpShowsTheFaultAddressAndThirtyTwoStackLines) {
  ChildResult r = runInChild([] {
    installCrashHandlers();
    segmentationFault();
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, EXIT_CRASH);
  size_t stack = r.out.find("\nStack: ");
  ASSERT_NE(stack, std::string::npos);
  std::istringstream lines(r.out.substr(stack + 8));
  std::string line;
  std::getline(lines, line);  // the rest of the "Stack: " line
  int words = 0;
  for (int i = 0; i < 32 && std::getline(lines, line); ++i) {
    // "%08x: " then four "%08x " words.
    size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos) << line;
    std::istringstream ws(line.substr(colon + 2));
    for (std::string w; ws >> w;) {
      EXPECT_EQ(w.size(), 8u) << line;
      ++words;
    }
  }
  EXPECT_EQ(words, 128);
  EXPECT_TRUE(contains(r.out, "fault_addr=")) << r.out.substr(0, 300);
}

TEST(CrashHandlerTest, UnreadableStackIsShownAsUnknownWords) {
#if defined(__x86_64__)
  ChildResult r = runInChild([] {
    ucontext_t context{};
    context.uc_mcontext.gregs[REG_RSP] = 0x10;  // nothing is mapped there
    siginfo_t info{};
    info.si_signo = SIGSEGV;
    info.si_code = SEGV_MAPERR;
    onFatalSignal(SIGSEGV, &info, &context);
  });
  ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.code, EXIT_CRASH);
  EXPECT_TRUE(contains(r.out, "\n00000010: ???????? ???????? ???????? ???????? ")) << r.out.substr(0, 1200);
#else
  GTEST_SKIP() << "context layout of this platform not built by the test";
#endif
}

TEST(LoggingHandlerInstallTest, SignalsSentByAProcessAreOnlyLogged) {
  struct Case {
    int sig;
    bool queued;
  } cases[] = {{SIGFPE, false}, {SIGBUS, true}, {SIGUSR1, false}, {SIGUSR2, false}, {SIGPIPE, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sig);
    ChildResult r = runInChild([&] {
      resetProcessStateForTesting();
      installCrashHandlers();
      if (!installLoggingSignalHandlers()) _exit(102);
      if (c.queued)
        queueToSelf(c.sig);
      else
        sendToSelf(c.sig);
      _exit(0);  // the interrupted code goes on
    });
    ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "sigXXX(" + std::to_string(c.sig) + ") <NoTask> shutdowns:0 sigInts:0\n");
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(LoggingHandlerInstallTest, InterruptsAndTerminationRequestShutdown) {
  ChildResult r = runInChild([] {
    resetProcessStateForTesting();
    installCrashHandlers();
    installLoggingSignalHandlers();
    sendToSelf(SIGINT);
    sendToSelf(SIGINT);
    sendToSelf(SIGTERM);
    _exit(shutdownCount.load() == 3 && sigInts.load() == 2 && signalShutdownRequests() == 3 ? 0 : 1);
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(contains(r.err, "sigXXX(2) <NoTask> shutdowns:2 sigInts:2\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "sigXXX(15) <NoTask> shutdowns:3 sigInts:2\n")) << r.err;
}

TEST(LoggingHandlerInstallTest, TerminationIsLoggedFromTheCrashHandlerSetAlready) {
  // Before the start-up installs the logging handlers, SIGTERM already
  // counts as a shutdown request.
  ChildResult r = runInChild([] {
    resetProcessStateForTesting();
    installCrashHandlers();
    sendToSelf(SIGTERM);
    _exit(shutdownCount.load() == 1 ? 0 : 1);
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "sigXXX(15) <NoTask> shutdowns:1 sigInts:0\n");
}

TEST(LoggingHandlerInstallTest, BrokenPipeOnStandardErrorEndsTheLogLine) {
  // Standard error a pipe nobody reads: the handler's own line must not
  // raise SIGPIPE again and again; the process goes on and ends normally.
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fds[2];
    if (pipe(fds) != 0) _exit(101);
    ::close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    resetProcessStateForTesting();
    installCrashHandlers();
    if (!installLoggingSignalHandlers()) _exit(102);
    alarm(20);  // a loop ends here by SIGALRM instead of hanging the test
    sendToSelf(SIGPIPE);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

#include "runtime/support/connection_netns.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace conntest {

namespace {

constexpr int kSkipStatus = 77;

}  // namespace

bool shell(const std::string& command) {
  const std::string quiet = command + " >/dev/null 2>&1";
  return std::system(quiet.c_str()) == 0;
}

std::string shellOutput(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

NetnsResult runInPrivateNetwork(const std::function<void()>& body, std::string* why, int timeoutSeconds) {
  if (geteuid() != 0) {
    *why = "needs root for a network namespace";
    return NetnsResult::Skipped;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    *why = "fork failed";
    return NetnsResult::Failed;
  }
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0 || !shell("ip link set lo up")) _exit(kSkipStatus);
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 || std::chrono::steady_clock::now() > end) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      *why = "the child did not finish in time";
      return NetnsResult::Failed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipStatus) {
    *why = "no private network namespace here (unshare or ip failed)";
    return NetnsResult::Skipped;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? NetnsResult::Passed : NetnsResult::Failed;
}

}  // namespace conntest

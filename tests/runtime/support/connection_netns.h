// Runs a test body in a forked child that has a network namespace of its
// own (loopback up), so routes, devices and multicast groups can be made
// freely. Failures inside the child are reported by the child's output and
// turn into a failure of the calling test.
#ifndef TESTS_RUNTIME_SUPPORT_CONNECTION_NETNS_H
#define TESTS_RUNTIME_SUPPORT_CONNECTION_NETNS_H

#include <functional>
#include <string>

namespace conntest {

enum class NetnsResult { Passed, Failed, Skipped };

// Forks, unshares the network namespace in the child and runs body there
// (bounded by timeoutSeconds). Skipped, with the reason in *why, when not
// root or when namespaces are unavailable.
NetnsResult runInPrivateNetwork(const std::function<void()>& body, std::string* why, int timeoutSeconds = 60);

// Runs a shell command (quietly); true when it exits 0.
bool shell(const std::string& command);
// A command's standard output.
std::string shellOutput(const std::string& command);

}  // namespace conntest

// Runs body in a private network namespace, skipping or failing the test.
#define RUN_IN_PRIVATE_NETWORK(...)                                                \
  do {                                                                             \
    std::string why_;                                                              \
    const auto result_ = conntest::runInPrivateNetwork(__VA_ARGS__, &why_);           \
    if (result_ == conntest::NetnsResult::Skipped) GTEST_SKIP() << why_;           \
    EXPECT_EQ(result_, conntest::NetnsResult::Passed) << "see the child's output"; \
  } while (0)

#endif

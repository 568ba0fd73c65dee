// The built program run from outside, as the appliance on a network: the
// program in a network namespace of its own on a veth end named "eth0",
// the other end in a second namespace of the test ("ntfy<pid>-<n>") with
// 169.254.1.2/16, where trap sinks listen and clients connect from. The
// data root is a fresh directory; the simulated board and USB host are
// driven through their control sockets there.
#ifndef TESTS_NOTIFY_SUPPORT_PROGRAM_RUNNER_H
#define TESTS_NOTIFY_SUPPORT_PROGRAM_RUNNER_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

constexpr const char kPeerAddress[] = "169.254.1.2";

struct ProgramSetup {
  const char* fixture = "p353";
  std::string params;          // "/etc/params.dat"
  std::string board;           // "/dev/gpio.sim" lines
  std::string usb = "1-1 hub 4\n";  // "/etc/simusb.conf"
  const char* kickOff = "1";
  // Extra environment of the program ("NAME=value"), e.g. sanitizer options.
  std::vector<std::string> environment;
};

class ProgramRunner {
 public:
  ProgramRunner();
  ~ProgramRunner();
  ProgramRunner(const ProgramRunner&) = delete;
  ProgramRunner& operator=(const ProgramRunner&) = delete;

  // Lays the data root and the peer namespace, starts the program and
  // waits for its banner and its USB server.
  bool start(const ProgramSetup& setup);
  // SIGTERM and a bounded wait; true when it ended with code 0.
  bool stop();
  bool running();

  std::string board(const std::string& command);
  std::string usb(const std::string& command);
  // The relay is energised: output 29 is active low.
  bool relayEnergised();
  // Runs a shell command inside the peer namespace; its exit status.
  int inPeer(const std::string& command);
  // The peer's veth end up or down (the program sees the link change).
  bool setPeerLink(bool up);

  bool hasThread(const std::string& name);
  std::string err();
  const std::string& peerNamespace() const { return peerNs_; }
  const std::string& root() const { return root_; }
  // The program's address on eth0 (from its banner lines), "" before.
  std::string programAddress();

 private:
  std::string root_;
  std::string peerNs_;
  std::string peerIf_;
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

// A thread that runs body inside the named network namespace (sockets it
// opens live there).
std::thread threadInNamespace(const std::string& netns, std::function<void()> body);

// Waits (bounded) until cond holds.
bool eventuallyTrue(const std::function<bool()>& cond, int timeoutMs);

#endif

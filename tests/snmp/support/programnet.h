// The built program in a network namespace of its own (veth end "eth0",
// static address 192.0.2.10/24) with a data root of its own; the other
// veth end "peer0" (192.0.2.20/24) sits in a named namespace of the test
// where Debian's SNMP tools run as managers.
#ifndef TESTS_SNMP_SUPPORT_PROGRAMNET_H
#define TESTS_SNMP_SUPPORT_PROGRAMNET_H

#include <sys/types.h>

#include <string>

constexpr char kProgramAddress[] = "192.0.2.10";
constexpr char kManagerAddress[] = "192.0.2.20";

class ProgramNet {
 public:
  ProgramNet() = default;
  ProgramNet(const ProgramNet&) = delete;
  ProgramNet& operator=(const ProgramNet&) = delete;
  ~ProgramNet();

  // Lays the root (fixture p353, simulated board, the address lines plus
  // extraParams in "/etc/params.dat"), starts the program and waits for its
  // banner; false with the reason in *why.
  bool start(const std::string& extraParams, std::string* why);
  // SIGTERM and the wait for the end; true when it ended with code 0.
  bool stop();

  // A shell command in the managers' namespace (SNMP_PERSISTENT_DIR in the
  // scratch directory) or in the program's; standard output.
  std::string peer(const std::string& command) const;
  std::string inProgramNs(const std::string& command) const;
  // One command to the simulated board; its answer.
  std::string board(const std::string& line) const;

  bool running() const;
  bool hasThread(const std::string& name) const;
  bool fileExists(const char* fixedPath) const;
  std::string err() const;
  std::string out() const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  std::string peerNs_;
  pid_t pid_ = -1;
};

// Whether the program can be run here (root, the program built, Debian's
// SNMP tools); the reason when not.
bool programRunsHere(std::string* why);

// Repeats cond up to tries times, 50 ms apart.
bool eventuallyTrue(bool (*cond)(void*), void* context, int tries);

#endif

// The built program in host mode (scripts/hostmode) in a network namespace
// and data root of the test's own, reached from this host through the
// namespace's veth: the way an administrator's machine on the LAN sees it.
// Needs root; missingFor() names what else a test needs so it can skip.
#ifndef TESTS_WEB_SUPPORT_HOSTMODE_PROGRAM_H
#define TESTS_WEB_SUPPORT_HOSTMODE_PROGRAM_H

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace webtest {

struct HostModeOptions {
  std::string model = "p353";
  // "key = value" lines of etc/params.dat before the first start.
  std::vector<std::string> params;
  // etc/simusb.conf ("" keeps the launcher's hub with three devices).
  std::string simusb;
};

// Polls cond every 100 ms for up to seconds; its last answer.
bool eventuallyWithin(int seconds, const std::function<bool()>& cond);

class HostModeProgram {
 public:
  HostModeProgram();
  ~HostModeProgram();
  HostModeProgram(const HostModeProgram&) = delete;
  HostModeProgram& operator=(const HostModeProgram&) = delete;

  // "" when host mode can run here and every tool (a path or a command
  // name) is there; otherwise what is missing, as a skip reason.
  static std::string missingFor(std::initializer_list<const char*> tools = {});

  // Lays the data root, starts the launcher and waits until the program
  // has an address and answers HTTP on it. False (log in failure()) when not.
  bool launch(const HostModeOptions& options = {});
  // Stops the launcher (and the program), removes namespace and root.
  void stop();

  const std::string& root() const { return root_; }
  const std::string& ns() const { return ns_; }
  // The program's IPv4 address on eth0 now ("" none).
  std::string address() const;
  // The launcher's address on this host's end of the veth.
  std::string hostAddress() const;
  // This host's end of the veth.
  std::string hostInterface() const { return ns_ + "0"; }
  // The launcher's and the program's output so far.
  std::string log() const;
  // What went wrong in launch() or a wait, with the log's tail.
  std::string failure() const;

  // HTTP from this host with curl (session keys are off by default): the
  // body, or with the headers when withHeaders.
  std::string get(const std::string& path, const std::string& curlArgs = "", bool withHeaders = false) const;
  std::string postForm(const std::string& path, const std::string& form, const std::string& curlArgs = "") const;
  // True when the program answers HTTP at its address within seconds.
  bool waitForHttp(int seconds = 60) const;

  // The value of key in etc/params.dat ("" absent) and an exact match.
  std::string paramsValue(const std::string& key) const;
  bool paramsFileHas(const std::string& key, const std::string& value) const;

  // A shell command run inside the namespace; its standard output.
  std::string inNamespace(const std::string& command) const;
  // A command to the simulated board or USB host; the answer's lines.
  std::string board(const std::string& command) const;
  std::string usbHost(const std::string& command) const;

  // How many times the program has ended and been started again so far.
  int restarts() const;
  // Waits until the program has restarted after `before` restarts and
  // answers HTTP again (a restart comes after its 4 s delay).
  bool waitForRestartAfter(int before, int seconds = 90);
  // The program's pid (-1 while none runs).
  pid_t programPid() const;

 private:
  std::string root_, ns_, log_;
  pid_t launcher_ = -1;
  mutable std::string failure_;
};

}  // namespace webtest

#endif

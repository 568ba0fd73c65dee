#include "net/support/privatenetwork.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/file/paths.h"
#include "support/shell_command.h"

bool PrivateNetwork::enter(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root for a network namespace";
    return false;
  }
  originalNamespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (originalNamespace_ < 0) {
    *why = "cannot open the current network namespace";
    return false;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    *why = "unshare(CLONE_NEWNET) failed";
    ::close(originalNamespace_);
    originalNamespace_ = -1;
    return false;
  }
  if (!run("ip link add eth0 type veth peer name peer0")) {
    *why = "cannot make a veth pair (ip, veth)";
    return false;
  }
  char pattern[] = "/tmp/netif-test-XXXXXX";
  if (!::mkdtemp(pattern)) {
    *why = "mkdtemp failed";
    return false;
  }
  root_ = pattern;
  run("mkdir -p " + root_ + "/proc/sys/net/ipv4/conf/all " + root_ + "/proc/sys/net/ipv4/conf/default");
  setDataRoot(root_.c_str());
  return true;
}

PrivateNetwork::~PrivateNetwork() {
  if (!root_.empty()) {
    setDataRoot("");
    run("rm -rf '" + root_ + "'");
  }
  if (originalNamespace_ >= 0) {
    // Leaving the namespace drops its last user: its devices go with it.
    ::setns(originalNamespace_, CLONE_NEWNET);
    ::close(originalNamespace_);
  }
}

bool PrivateNetwork::run(const std::string& command) { return runQuietly(command); }

std::string PrivateNetwork::output(const std::string& command) { return commandOutput(command); }

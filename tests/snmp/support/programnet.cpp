#include "snmp/support/programnet.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/control_client.h"
#include "support/program_child.h"
#include "support/shell_command.h"

bool eventuallyTrue(bool (*cond)(void*), void* context, int tries) {
  for (int i = 0; i < tries; ++i) {
    if (cond(context)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond(context);
}

ProgramNet::~ProgramNet() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (!peerNs_.empty()) runQuietly("ip netns del " + peerNs_);
  if (!root_.empty()) runQuietly("rm -rf '" + root_ + "'");
}

bool programRunsHere(std::string* why) {
  if (geteuid() != 0) return *why = "network namespaces need root", false;
  if (access(kBuiltProgram, X_OK) != 0) return *why = std::string("the program is not built: ") + kBuiltProgram, false;
  if (access("/usr/bin/snmpget", X_OK) != 0) return *why = "needs Debian's snmp package", false;
  return true;
}

bool ProgramNet::start(const std::string& extraParams, std::string* why) {
  if (!programRunsHere(why)) return false;
  root_ = layProgramRoot("snmpprogram-", "p353");
  if (root_.empty()) return *why = "data root", false;
  if (!runQuietly("mkdir -p '" + root_ + "/peer'")) return *why = "mkdir", false;
  std::ofstream(root_ + "/etc/params.dat") << "ip_addr = " << kProgramAddress << "\nip_mask = 255.255.255.0\n"
                                           << extraParams;
  std::ofstream(root_ + "/dev/gpio.sim") << "";
  peerNs_ = "snmpmgr" + std::to_string(getpid());
  if (!runQuietly("ip netns add " + peerNs_)) return *why = "ip netns add", false;

  ProgramChildSetup child;
  child.root = root_;
  child.linkCommand = "ip link add eth0 type veth peer name peer0 netns " + peerNs_ + " && ip link set lo up";
  pid_ = forkProgram(child);
  if (pid_ < 0) return *why = "fork", false;
  if (!runQuietly("ip netns exec " + peerNs_ + " sh -c 'for i in $(seq 200); do ip link show peer0 && break; sleep 0.05; done; "
             "ip link set lo up && ip addr add " + kManagerAddress + "/24 dev peer0 && ip link set peer0 up'"))
    return *why = "peer side of the veth", false;
  for (int i = 0; i < 600; ++i) {
    if (err().find("KickOff:") != std::string::npos) return true;
    if (!running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *why = "no start banner:\n" + err();
  return false;
}

bool ProgramNet::running() const {
  if (pid_ <= 0) return false;
  return waitpid(pid_, nullptr, WNOHANG) == 0;
}

bool ProgramNet::stop() {
  if (pid_ <= 0) return false;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string ProgramNet::peer(const std::string& command) const {
  return commandOutput("ip netns exec " + peerNs_ + " env SNMP_PERSISTENT_DIR=" + root_ + "/peer " + command);
}

std::string ProgramNet::inProgramNs(const std::string& command) const {
  return commandOutput("nsenter --net=/proc/" + std::to_string(pid_) + "/ns/net " + command);
}

std::string ProgramNet::board(const std::string& line) const {
  ControlClient c(root_ + "/var/simboard.ctl");
  return c.connected() ? c.ask(line) : "error no control socket";
}

bool ProgramNet::hasThread(const std::string& name) const { return processHasThread(pid_, name); }

bool ProgramNet::fileExists(const char* fixedPath) const {
  struct stat st;
  return stat((root_ + fixedPath).c_str(), &st) == 0;
}

std::string ProgramNet::err() const { return readWholeFile(root_ + "/stderr.txt"); }
std::string ProgramNet::out() const { return readWholeFile(root_ + "/stdout.txt"); }

#include "notify/support/program_runner.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/control_client.h"
#include "support/namespace_socket.h"
#include "support/program_child.h"

namespace {

std::atomic<int> runCounter{0};

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

int shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

std::thread threadInNamespace(const std::string& netns, std::function<void()> body) {
  return std::thread([netns, body] {
    if (joinNetworkNamespace(netns)) body();
  });
}

bool eventuallyTrue(const std::function<bool()>& cond, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

ProgramRunner::ProgramRunner() {
  const int n = runCounter.fetch_add(1);
  peerNs_ = "ntfy" + std::to_string(getpid()) + "-" + std::to_string(n);
  peerIf_ = "np" + std::to_string(getpid() % 100000) + "x" + std::to_string(n % 100);
}

ProgramRunner::~ProgramRunner() {
  if (pid_ > 0 && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  shell("ip netns del " + peerNs_ + " 2>/dev/null");
  if (!root_.empty()) shell("rm -rf '" + root_ + "'");
}

bool ProgramRunner::start(const ProgramSetup& setup) {
  root_ = layProgramRoot("notifyprog", setup.fixture);
  if (root_.empty()) return false;
  writeFile(root_ + "/etc/params.dat", setup.params);
  writeFile(root_ + "/dev/gpio.sim", setup.board);
  writeFile(root_ + "/etc/simusb.conf", setup.usb);
  if (shell("ip netns add " + peerNs_) != 0) return false;

  ProgramChildSetup child;
  child.root = root_;
  child.linkCommand = "ip link add eth0 type veth peer name " + peerIf_ + " && ip link set " + peerIf_ +
                      " netns " + peerNs_ + " && ip link set lo up && ip netns exec " + peerNs_ +
                      " sh -c 'ip link set lo up && ip addr add " + kPeerAddress + "/16 dev " + peerIf_ +
                      " && ip link set " + peerIf_ + " up'";
  child.kickOff = setup.kickOff;
  child.environment = setup.environment;
  pid_ = forkProgram(child);
  if (pid_ < 0) return false;
  if (!eventuallyTrue([this] { return err().find("KickOff:") != std::string::npos; }, 30000)) return false;
  return eventuallyTrue([this] { return hasThread("UsbSrvd"); }, 15000);
}

bool ProgramRunner::running() {
  if (ended_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

bool ProgramRunner::stop() {
  if (!running()) return false;
  kill(pid_, SIGTERM);
  if (!eventuallyTrue([this] { return !running(); }, 15000)) return false;
  return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

std::string ProgramRunner::board(const std::string& command) {
  ControlClient c(root_ + "/var/simboard.ctl");
  return c.connected() ? c.ask(command) : "error no board socket";
}

std::string ProgramRunner::usb(const std::string& command) {
  ControlClient c(root_ + "/var/simusb.ctl");
  return c.connected() ? c.ask(command) : "error no usb socket";
}

bool ProgramRunner::relayEnergised() {
  std::istringstream in(board("state"));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 8, "outputs ") == 0) {
      const unsigned long outputs = std::stoul(line.substr(8), nullptr, 16);
      return !(outputs & (1ul << 29));
    }
  }
  return false;
}

int ProgramRunner::inPeer(const std::string& command) {
  return shell("ip netns exec " + peerNs_ + " " + command);
}

bool ProgramRunner::setPeerLink(bool up) {
  return inPeer("ip link set " + peerIf_ + (up ? " up" : " down")) == 0;
}

bool ProgramRunner::hasThread(const std::string& name) { return processHasThread(pid_, name); }

std::string ProgramRunner::err() { return readWholeFile(root_ + "/stderr.txt"); }

std::string ProgramRunner::programAddress() {
  const std::string text = err();
  const std::string marks[] = {"### ZeroConf IP:", "### Non Zeronf IP:"};
  for (const std::string& mark : marks) {
    size_t at = text.find(mark);
    if (at == std::string::npos) continue;
    at += mark.size();
    size_t end = text.find(' ', at);
    return text.substr(at, end - at);
  }
  return "";
}

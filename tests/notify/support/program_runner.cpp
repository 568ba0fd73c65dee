#include "notify/support/program_runner.h"

#include <dirent.h>
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
#include "support/identity_fixture.h"

namespace {

const char kProgram[] = TEST_BINARY_DIR "/usbdevsrv";
std::atomic<int> runCounter{0};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

int shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

std::thread threadInNamespace(const std::string& netns, std::function<void()> body) {
  return std::thread([netns, body] {
    int ns = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return;
    const bool joined = setns(ns, CLONE_NEWNET) == 0;
    close(ns);
    if (joined) body();
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
  char tmpl[] = "/tmp/notifyprogXXXXXX";
  if (!mkdtemp(tmpl)) return false;
  root_ = tmpl;
  for (const char* d : {"/etc", "/flash", "/var", "/romfs", "/tmp", "/dev", "/proc/sys/vm",
                        "/proc/sys/net/ipv6/conf/all"})
    if (shell("mkdir -p '" + root_ + d + "'") != 0) return false;
  if (!layIdentityFixture(setup.fixture, root_)) return false;
  writeFile(root_ + "/etc/params.dat", setup.params);
  writeFile(root_ + "/dev/gpio.sim", setup.board);
  writeFile(root_ + "/etc/simusb.conf", setup.usb);
  if (shell("ip netns add " + peerNs_) != 0) return false;

  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int out = open((root_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = open((root_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    if (unshare(CLONE_NEWNET) != 0) _exit(120);
    const std::string link = "ip link add eth0 type veth peer name " + peerIf_ + " && ip link set " + peerIf_ +
                             " netns " + peerNs_ + " && ip link set lo up && ip netns exec " + peerNs_ +
                             " sh -c 'ip link set lo up && ip addr add " + kPeerAddress + "/16 dev " + peerIf_ +
                             " && ip link set " + peerIf_ + " up'";
    if (std::system(link.c_str()) != 0) _exit(121);
    setenv("APPLIANCE_ROOT", root_.c_str(), 1);
    for (const std::string& entry : setup.environment) {
      const size_t eq = entry.find('=');
      if (eq != std::string::npos) setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    if (setup.kickOff)
      setenv("KickOff", setup.kickOff, 1);
    else
      unsetenv("KickOff");
    execl(kProgram, kProgram, static_cast<char*>(nullptr));
    _exit(122);
  }
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

bool ProgramRunner::hasThread(const std::string& name) {
  std::string dir = "/proc/" + std::to_string(pid_) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string comm = readFile(dir + "/" + e->d_name + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) found = true;
  }
  closedir(d);
  return found;
}

std::string ProgramRunner::err() { return readFile(root_ + "/stderr.txt"); }

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

#include "snmp/support/programnet.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/identity_fixture.h"

namespace {

const char kProgram[] = TEST_BINARY_DIR "/usbdevsrv";

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string capture(const std::string& command) {
  std::string text;
  FILE* pipe = popen(("{ " + command + "; } 2>/dev/null").c_str(), "r");
  if (!pipe) return text;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  pclose(pipe);
  return text;
}

bool quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

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
  if (!peerNs_.empty()) quiet("ip netns del " + peerNs_);
  if (!root_.empty()) quiet("rm -rf '" + root_ + "'");
}

bool programRunsHere(std::string* why) {
  if (geteuid() != 0) return *why = "network namespaces need root", false;
  if (access(kProgram, X_OK) != 0) return *why = std::string("the program is not built: ") + kProgram, false;
  if (access("/usr/bin/snmpget", X_OK) != 0) return *why = "needs Debian's snmp package", false;
  return true;
}

bool ProgramNet::start(const std::string& extraParams, std::string* why) {
  if (!programRunsHere(why)) return false;
  char tmpl[] = "/tmp/snmpprogram-XXXXXX";
  if (!mkdtemp(tmpl)) return *why = "mkdtemp", false;
  root_ = tmpl;
  for (const char* d : {"/etc", "/flash", "/var", "/romfs", "/tmp", "/dev", "/peer", "/proc/sys/vm",
                        "/proc/sys/net/ipv6/conf/all"})
    if (!quiet("mkdir -p '" + root_ + d + "'")) return *why = "mkdir", false;
  if (!layIdentityFixture("p353", root_)) return *why = "identity fixture", false;
  std::ofstream(root_ + "/etc/params.dat") << "ip_addr = " << kProgramAddress << "\nip_mask = 255.255.255.0\n"
                                           << extraParams;
  std::ofstream(root_ + "/dev/gpio.sim") << "";
  peerNs_ = "snmpmgr" + std::to_string(getpid());
  if (!quiet("ip netns add " + peerNs_)) return *why = "ip netns add", false;

  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) return *why = "fork", false;
  if (pid_ == 0) {
    int out = open((root_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((root_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (unshare(CLONE_NEWNET) != 0) _exit(120);
    std::string link = "ip link add eth0 type veth peer name peer0 netns " + peerNs_ + " && ip link set lo up";
    if (std::system(link.c_str()) != 0) _exit(121);
    setenv("APPLIANCE_ROOT", root_.c_str(), 1);
    setenv("KickOff", "1", 1);
    execl(kProgram, kProgram, static_cast<char*>(nullptr));
    _exit(122);
  }
  if (!quiet("ip netns exec " + peerNs_ + " sh -c 'for i in $(seq 200); do ip link show peer0 && break; sleep 0.05; done; "
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
  return capture("ip netns exec " + peerNs_ + " env SNMP_PERSISTENT_DIR=" + root_ + "/peer " + command);
}

std::string ProgramNet::inProgramNs(const std::string& command) const {
  return capture("nsenter --net=/proc/" + std::to_string(pid_) + "/ns/net " + command);
}

std::string ProgramNet::board(const std::string& line) const {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/var/simboard.ctl", root_.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "error no control socket";
  }
  std::string request = line + "\n";
  (void)!write(fd, request.data(), request.size());
  std::string answer;
  char buf[1024];
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  while (answer.find("ok\n") == std::string::npos && answer.compare(0, 5, "error") != 0) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

bool ProgramNet::hasThread(const std::string& name) const {
  std::string dir = "/proc/" + std::to_string(pid_) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string comm = readText(dir + "/" + e->d_name + "/comm");
    if (comm == name + "\n") found = true;
  }
  closedir(d);
  return found;
}

bool ProgramNet::fileExists(const char* fixedPath) const {
  struct stat st;
  return stat((root_ + fixedPath).c_str(), &st) == 0;
}

std::string ProgramNet::err() const { return readText(root_ + "/stderr.txt"); }
std::string ProgramNet::out() const { return readText(root_ + "/stdout.txt"); }

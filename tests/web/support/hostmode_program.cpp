#include "web/support/hostmode_program.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/control_client.h"
#include "support/shell_command.h"
#include "support/whole_file.h"

namespace webtest {

namespace fs = std::filesystem;

bool eventuallyWithin(int seconds, const std::function<bool()>& cond) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return cond();
}

namespace {

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool haveTool(const char* tool) {
  if (tool[0] == '/') return ::access(tool, X_OK) == 0;
  return runQuietly(std::string("command -v ") + tool);
}

}  // namespace

HostModeProgram::HostModeProgram() {
  // Unique per process and instance: tests of one run start side by side.
  static int counter = 0;
  ns_ = "hm" + std::to_string(getpid() % 100000) + "x" + std::to_string(counter++);
}

HostModeProgram::~HostModeProgram() { stop(); }

std::string HostModeProgram::missingFor(std::initializer_list<const char*> tools) {
  if (geteuid() != 0) return "needs root for the network namespace";
  if (::access(TEST_BINARY_DIR "/usbdevsrv", X_OK) != 0) return "needs the program built (usbdevsrv)";
  if (!runQuietly("ip netns list")) return "needs ip netns";
  for (const char* tool : {"/usr/bin/curl", "openssl"})
    if (!haveTool(tool)) return std::string("needs ") + tool;
  for (const char* tool : tools)
    if (!haveTool(tool)) return std::string("needs ") + tool;
  return "";
}

bool HostModeProgram::launch(const HostModeOptions& options) {
  char pattern[] = "/tmp/hostmode.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    failure_ = "no temporary data root";
    return false;
  }
  root_ = pattern;
  log_ = root_ + ".log";
  fs::create_directories(root_ + "/etc");
  if (!options.params.empty()) {
    std::ofstream out(root_ + "/etc/params.dat");
    for (const std::string& line : options.params) out << line << "\n";
  }
  if (!options.simusb.empty()) std::ofstream(root_ + "/etc/simusb.conf") << options.simusb;

  launcher_ = fork();
  if (launcher_ < 0) {
    failure_ = "fork failed";
    return false;
  }
  if (launcher_ == 0) {
    setenv("APPLIANCE_ROOT", root_.c_str(), 1);
    setenv("HOSTMODE_NETNS", ns_.c_str(), 1);
    setenv("HOSTMODE_MODEL", options.model.c_str(), 1);
    if (!freopen(log_.c_str(), "w", stdout) || !freopen(log_.c_str(), "a", stderr)) _exit(127);
    setvbuf(stdout, nullptr, _IONBF, 0);
    execl("/bin/bash", "bash", TEST_SOURCE_DIR "/scripts/hostmode", TEST_BINARY_DIR "/usbdevsrv",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!eventuallyWithin(60, [&] { return !address().empty(); })) {
    failure_ = "the program took no address";
    return false;
  }
  if (!waitForHttp(60)) {
    failure_ = "the program answers no HTTP at " + address();
    return false;
  }
  return true;
}

void HostModeProgram::stop() {
  if (launcher_ > 0) {
    kill(launcher_, SIGTERM);
    int status = 0;
    const bool ended = eventuallyWithin(20, [&] { return waitpid(launcher_, &status, WNOHANG) != 0; });
    if (!ended) {
      const pid_t program = programPid();
      if (program > 0) kill(program, SIGKILL);
      kill(launcher_, SIGKILL);
      waitpid(launcher_, &status, 0);
    }
    launcher_ = -1;
    runQuietly("ip netns del " + ns_ + "; ip link del " + hostInterface());
  }
  std::error_code ec;
  if (!root_.empty()) {
    fs::remove_all(root_, ec);
    fs::remove(log_, ec);
    root_.clear();
  }
}

std::string HostModeProgram::address() const {
  const std::string out = commandOutput("ip -n " + ns_ + " -4 -o addr show dev eth0");
  std::smatch m;
  static const std::regex inet("inet ([0-9.]+)/");
  return std::regex_search(out, m, inet) ? m[1].str() : "";
}

std::string HostModeProgram::hostAddress() const {
  const std::string out = commandOutput("ip -4 -o addr show dev " + hostInterface());
  std::smatch m;
  static const std::regex inet("inet ([0-9.]+)/");
  return std::regex_search(out, m, inet) ? m[1].str() : "";
}

std::string HostModeProgram::log() const { return readWholeFile(log_); }

std::string HostModeProgram::failure() const {
  const std::string text = log();
  const size_t keep = 4000;
  return failure_ + "\n--- log ---\n" + (text.size() > keep ? text.substr(text.size() - keep) : text);
}

std::string HostModeProgram::get(const std::string& path, const std::string& curlArgs, bool withHeaders) const {
  return commandOutput("curl -s --max-time 30 " + std::string(withHeaders ? "-i " : "") + curlArgs + " " +
                       quoted("http://" + address() + path));
}

std::string HostModeProgram::postForm(const std::string& path, const std::string& form,
                                      const std::string& curlArgs) const {
  return commandOutput("curl -s --max-time 30 " + curlArgs + " --data " + quoted(form) + " " +
                       quoted("http://" + address() + path));
}

bool HostModeProgram::waitForHttp(int seconds) const {
  return eventuallyWithin(seconds, [&] {
    const std::string addr = address();
    return !addr.empty() &&
           runQuietly("curl -s -o /dev/null --max-time 2 " + quoted("http://" + addr + "/start.html"));
  });
}

std::string HostModeProgram::paramsValue(const std::string& key) const {
  std::istringstream in(readWholeFile(root_ + "/etc/params.dat"));
  const std::regex line("^ *" + key + " = (.*)$");
  std::string text;
  std::smatch m;
  while (std::getline(in, text))
    if (std::regex_match(text, m, line)) return m[1].str();
  return "";
}

bool HostModeProgram::paramsFileHas(const std::string& key, const std::string& value) const {
  return std::regex_search(readWholeFile(root_ + "/etc/params.dat"),
                           std::regex("(^|\n) *" + key + " = " + value + "\n"));
}

std::string HostModeProgram::inNamespace(const std::string& command) const {
  return commandOutput("ip netns exec " + ns_ + " sh -c " + quoted(command));
}

std::string HostModeProgram::board(const std::string& command) const {
  ControlClient client(root_ + "/var/simboard.ctl");
  return client.connected() ? client.ask(command) : "";
}

std::string HostModeProgram::usbHost(const std::string& command) const {
  ControlClient client(root_ + "/var/simusb.ctl");
  return client.connected() ? client.ask(command) : "";
}

int HostModeProgram::restarts() const {
  static const std::regex exitLine("\nhostmode: exit ");
  const std::string text = "\n" + log();
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), exitLine),
                                        std::sregex_iterator()));
}

bool HostModeProgram::waitForRestartAfter(int before, int seconds) {
  if (!eventuallyWithin(seconds, [&] { return restarts() > before; })) {
    failure_ = "the program did not restart";
    return false;
  }
  // The old address may stay on eth0 across the restart: wait for the
  // new program itself to answer.
  if (!eventuallyWithin(seconds, [&] { return programPid() > 0; }) || !waitForHttp(seconds)) {
    failure_ = "the program answers no HTTP after its restart";
    return false;
  }
  return true;
}

pid_t HostModeProgram::programPid() const {
  std::istringstream pids(commandOutput("ip netns pids " + ns_));
  std::string pid;
  while (pids >> pid) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/" + pid + "/exe", ec);
    if (!ec && exe.filename() == "usbdevsrv") return static_cast<pid_t>(std::atoi(pid.c_str()));
  }
  return -1;
}

}  // namespace webtest

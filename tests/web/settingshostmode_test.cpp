// The settings pages of the program in host mode (scripts/hostmode, in a
// network namespace of this test's own), driven over HTTP with curl from
// this host through the namespace's veth: a saved form takes effect in the
// service it configures. Needs root, curl and snmpget; skipped, naming
// what is missing, while the program serves no HTTP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char line[1024];
  while (std::fgets(line, sizeof line, p) != nullptr) out += line;
  const int rc = pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

class SettingsHostMode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the network namespace";
    for (const char* tool : {"/usr/bin/curl", "/usr/bin/snmpget"})
      if (::access(tool, X_OK) != 0) GTEST_SKIP() << "needs " << tool;
    if (::access(TEST_BINARY_DIR "/usbdevsrv", X_OK) != 0) GTEST_SKIP() << "needs the program built (usbdevsrv)";
    char pattern[] = "/tmp/settingshost.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ns_ = "sset" + std::to_string(getpid() % 100000);
    log_ = root_ + ".log";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      setenv("APPLIANCE_ROOT", root_.c_str(), 1);
      setenv("HOSTMODE_NETNS", ns_.c_str(), 1);
      setenv("HOSTMODE_MODEL", "p353", 1);
      if (!freopen(log_.c_str(), "w", stdout) || !freopen(log_.c_str(), "a", stderr)) _exit(127);
      execl("/bin/bash", "bash", TEST_SOURCE_DIR "/scripts/hostmode", TEST_BINARY_DIR "/usbdevsrv",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // The banner names the address (bounded wait).
    const std::regex banner("ZeroConf IP:([0-9.]+) ");
    for (int i = 0; i < 300 && address_.empty(); ++i) {
      std::smatch m;
      const std::string text = readFile(log_);
      if (std::regex_search(text, m, banner)) address_ = m[1];
      else std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(address_.empty()) << readFile(log_);
    int status = 0;
    for (int i = 0; i < 8; ++i) {
      run("curl -s -o /dev/null --max-time 2 http://" + address_ + "/start.html", &status);
      if (status != 7) break;  // 7: nothing accepted the connection
      std::this_thread::sleep_for(250ms);
    }
    if (status == 7) GTEST_SKIP() << "the program serves no HTTP yet (nothing listens on port 80 of eth0)";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      run("(ip netns del " + ns_ + "; ip link del " + ns_ + "0) >/dev/null 2>&1");
    }
    std::error_code ec;
    if (!root_.empty()) {
      fs::remove_all(root_, ec);
      fs::remove(log_, ec);
    }
  }

  // Posts a form as administrator (session keys are off by default).
  std::string postForm(const std::string& page, const std::string& form) {
    return run("curl -s --max-time 10 --data '" + form + "' http://" + address_ + page);
  }
  bool paramsFileHas(const std::string& key, const std::string& value) {
    return std::regex_search(readFile(root_ + "/etc/params.dat"),
                             std::regex("(^|\n) *" + key + " = " + value + "\n"));
  }

  std::string root_, ns_, log_, address_;
  pid_t pid_ = -1;
};

// One program run for every effect: two host-mode programs at once would
// both put the launcher's link-local address on a host interface.
TEST_F(SettingsHostMode, SavedFormsTakeEffect) {
  // The port page moves the USB server.
  std::string page = postForm("/device/port.html", "action=set&zov_port=9300");
  // The USB port takes effect at a restart: the wait page says so.
  EXPECT_TRUE(page.find("Parameters have been changed.") != std::string::npos ||
              page.find("The device is restarting.") != std::string::npos)
      << page.substr(0, 800);
  EXPECT_TRUE(paramsFileHas("zov_port", "9300"));
  const std::string client = TEST_BINARY_DIR "/tools/usbclient --host " + address_;
  int status = -1;
  // The restart comes after its delay, and the USB server opens after the
  // board's start-up.
  for (int i = 0; i < 160 && status != 0; ++i) {
    run(client + " --port 9300 list", &status);
    if (status != 0) std::this_thread::sleep_for(250ms);
  }
  EXPECT_EQ(status, 0) << "nothing lists on 9300";
  run(client + " --port 9200 list", &status);
  EXPECT_NE(status, 0) << "9200 still serves";

  // The SNMP page's community and the description's name reach the agent.
  postForm("/network/snmp.html", "action=set&snmpv1_community=s3cret");
  postForm("/device/description.html", "action=set&sys_name=Lab-hub");
  EXPECT_TRUE(paramsFileHas("snmpv1_community", "s3cret"));
  EXPECT_TRUE(paramsFileHas("sys_name", "Lab-hub"));
  std::string answer;
  for (int i = 0; i < 40 && answer.find("Lab-hub") == std::string::npos; ++i) {
    answer = run("snmpget -v2c -c s3cret -t 1 -r 0 " + address_ + " 1.3.6.1.2.1.1.5.0");
    if (answer.find("Lab-hub") == std::string::npos) std::this_thread::sleep_for(250ms);
  }
  EXPECT_NE(answer.find("Lab-hub"), std::string::npos) << answer;
  run("snmpget -v2c -c tavrin -t 1 -r 0 " + address_ + " 1.3.6.1.2.1.1.5.0", &status);
  EXPECT_NE(status, 0) << "the old community still answers";
}

}  // namespace

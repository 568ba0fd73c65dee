#include "web/support/program_web.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include "runtime/task/task.h"
#include "support/test_port.h"
#include "web/http/httpserver.h"
#include "web/pages/pagetable.h"
#include "web/support/web_fixture.h"

namespace webtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string runCurl(const std::string& args, int maxSeconds) {
  const std::string command = "curl -s -S --max-time " + std::to_string(maxSeconds) + " " + args + " 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "(popen failed)";
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

std::string headerOf(const std::string& answer, const std::string& name) {
  const std::regex line("(^|\r\n)" + name + ": ?([^\r]*)\r\n", std::regex::icase);
  std::smatch m;
  return std::regex_search(answer, m, line) ? m[2].str() : "";
}

int statusOf(const std::string& answer) {
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.c_str() + 9);
}

void ProgramWeb::SetUp() {
  TlsTestRoot::SetUp();
  fs::create_directories(dir_ + "/var");
  fs::create_directories(dir_ + "/tmp");
  fs::create_directories(dir_ + "/romfs");
  fs::copy(TEST_SOURCE_DIR "/content/templates", dir_ + "/romfs/templates", fs::copy_options::recursive);
  params_.set("sessKeys", "off");
  params_.set("sessKeyTimer", "on");
  params_.set("sessKeyTimeout", "120");
  params_.set("http_allowed", "on");
  params_.set("admin_name", "Admin");
  params_.set("admin_pwd", "adminpass");
  params_.set("any_name", "User");
  params_.set("any_pwd", "userpass1");
  params_.set("ip4vlan_mgmt", "off");
  params_.set("ip4vlan_mgmt_any", "off");
  params_.set("ip4vlan_mgmt_untag", "on");
  httpPort_ = freeTestPort();
  httpsPort_ = freeTestPort();
}

void ProgramWeb::TearDown() {
  stopServer();
  params_.restore();
  TlsTestRoot::TearDown();
}

void ProgramWeb::startServer(int kickOff, bool http, bool https) {
  serverId_ = startHttpListener(http ? httpPort_ : -1, https ? httpsPort_ : -1, &loopback_, kickOff);
  ASSERT_GT(serverId_, 0);
  if (!http && !https) return;
  // Bounded: the listener opens its sockets right after its start.
  for (int i = 0; i < 200; ++i) {
    const std::string answer = http ? get("/contact.html") : get("/contact.html", "", true);
    if (statusOf(answer) != 0) return;
    std::this_thread::sleep_for(10ms);
  }
  FAIL() << "the listener never answered";
}

void ProgramWeb::stopServer() {
  if (serverId_ <= 0) return;
  postToTaskId(serverId_, TaskMessage{0, MSG_QUIT, 0, 0});
  serverId_ = -1;
  for (int i = 0; i < 500 && countTasks("HTTPD") > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(countTasks("HTTPD"), 0);
  for (int i = 0; i < 1000 && countTasks("HTTP_") > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(countTasks("HTTP_"), 0) << "request tasks left behind";
}

std::string ProgramWeb::url(const std::string& path, bool tls) const {
  return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(tls ? httpsPort_ : httpPort_) + path;
}

std::string ProgramWeb::get(const std::string& path, const std::string& extra, bool tls) {
  return runCurl("-i -k " + extra + " '" + url(path, tls) + "'");
}

std::string ProgramWeb::login(const std::string& name, const std::string& pwd, bool tls, std::string* answer) {
  const std::string got =
      runCurl("-i -k --data 'action=set&name=" + name + "&pwd=" + pwd + "' '" + url("/index.html", tls) + "'");
  if (answer != nullptr) *answer = got;
  std::smatch m;
  static const std::regex cookie("\r\nSet-Cookie: ?SessKey=([0-9A-Za-z]{16});");
  return std::regex_search(got, m, cookie) ? m[1].str() : "";
}

}  // namespace webtest

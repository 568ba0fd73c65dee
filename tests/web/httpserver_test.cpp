// The listener task "HTTPD" on loopback ports: HTTP and HTTPS, the
// redirection of plain requests, rebuilds on parameter changes, the
// listener table of a 20-port model, silent TLS clients and the reserve of
// the task table.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "params/identity/productparams.h"
#include "params/wiring/tlswiring.h"
#include "runtime/socket/interfaceview.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/http/httpserver.h"
#include "web/pages/pagetable.h"
#include "web/support/program_web.h"
#include "web/support/web_fixture.h"

namespace {

using namespace webtest;
using namespace std::chrono_literals;

class HttpServerTest : public ProgramWeb {};

int connectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The server closed the socket (bounded by limitMs of real time).
bool closedByServer(int fd, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  char byte;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    if (n <= 0) return true;
  }
  return false;
}

TEST_F(HttpServerTest, PlainAndTlsListenersServeThePages) {
  startServer();
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    const std::string answer = get("/contact.html", "", tls);
    EXPECT_EQ(statusOf(answer), 200) << answer.substr(0, 300);
    EXPECT_NE(answer.find("<html"), std::string::npos);
  }
}

TEST_F(HttpServerTest, PlainRequestsAreRedirectedToTlsWhenHttpIsNotAllowed) {
  params_.set("http_allowed", "off");
  startServer();
  const std::string plain = get("/contact.html");
  EXPECT_EQ(statusOf(plain), 200);
  EXPECT_NE(plain.find("http-equiv=\"refresh\""), std::string::npos) << plain;
  EXPECT_NE(plain.find("content=\"3;"), std::string::npos) << plain;
  EXPECT_NE(plain.find("https://"), std::string::npos) << plain;
  const std::string tls = get("/contact.html", "", true);
  EXPECT_EQ(statusOf(tls), 200);
  EXPECT_EQ(tls.find("http-equiv=\"refresh\""), std::string::npos) << tls;
}

TEST_F(HttpServerTest, NegativePortsSwitchListenersOff) {
  startServer(1, true, false);
  EXPECT_EQ(statusOf(get("/contact.html")), 200);
  EXPECT_EQ(statusOf(runCurl("-i -k 'https://127.0.0.1:" + std::to_string(httpsPort_) + "/contact.html'", 3)), 0);
  stopServer();

  PageTable* before = pageTable;
  testing::internal::CaptureStderr();
  startServer(1, false, false);
  std::this_thread::sleep_for(50ms);  // the text comes from the constructor; this only lets the task settle
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("HTTPD stopps, no ports are specified?!"), std::string::npos) << err;
  EXPECT_EQ(pageTable, before) << "no page table is made";
  EXPECT_EQ(statusOf(get("/contact.html")), 0);
}

TEST_F(HttpServerTest, ParameterChangeRebuildsTheListenersWithoutRestart) {
  startServer();
  ASSERT_EQ(statusOf(get("/contact.html")), 200);
  // Management VLAN only: nothing on the untagged interface (and this
  // interface has no VLAN device).
  params_.set("ip4vlan_mgmt", "on");
  params_.set("ip4vlan_mgmt_untag", "off");
  broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) {
    closed = statusOf(runCurl("-i '" + url("/contact.html") + "'", 2)) == 0;
    if (!closed) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(closed);
  params_.set("ip4vlan_mgmt_untag", "on");
  broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  bool open = false;
  for (int i = 0; i < 200 && !open; ++i) {
    open = statusOf(get("/contact.html")) == 200;
    if (!open) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(open);
}

// The calling thread in a network namespace of its own with the devices
// "eth0" and "eth0.<id>" of the port VLANs (veth ends stand in for the
// VLAN devices); the thread's namespace is restored at the end, which
// removes the namespace with its devices.
class PrivateVlans {
 public:
  bool enter(const std::vector<int>& ids) {
    if (geteuid() != 0) return false;
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) return false;
    std::string script = "ip link set lo up && ip link add eth0 type veth peer name peer0";
    for (int id : ids) {
      const std::string name = "eth0." + std::to_string(id);
      script += " && ip link add " + name + " type veth peer name peer" + std::to_string(id);
      // The address the port's VLAN parameters give it (ip4vlan_addr_<id>).
      script += " && ip addr add 10.99." + std::to_string(id) + ".1/24 dev " + name + " && ip link set " + name + " up";
    }
    return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
  }
  ~PrivateVlans() {
    if (original_ < 0) return;
    ::setns(original_, CLONE_NEWNET);
    ::close(original_);
  }

 private:
  int original_ = -1;
};

// An interface named "eth0" without addresses of its own.
class Eth0 : public InterfaceView {
 public:
  const char* name() const override { return "eth0"; }
  int getAddress(IpAddress&, const char*, int) override { return 0; }
};

TEST_F(HttpServerTest, TwentyPortModelGetsListenersOnEveryPortVlan) {
  PrivateVlans vlans;
  if (!vlans.enter({20})) GTEST_SKIP() << "needs root and network namespaces";
  ProductParams& product = productParams();
  const uint32_t savedPorts = product.usb_ports_phy;
  product.usb_ports_phy = 20;
  // The last port's VLAN is switched on; the TLS layer reads it from the
  // parameters.
  wireTlsSettings();
  params_.set("ip4vlan_on_20", "on");
  params_.set("ip4vlan_id_20", "20");
  params_.set("ip4vlan_addr_20", "10.99.20.1");
  params_.set("ip4vlan_mgmt", "on");
  params_.set("ip4vlan_mgmt_any", "on");
  params_.set("ip4vlan_mgmt_untag", "off");
  Eth0 eth0;
  {
    std::unique_ptr<HttpServer> server(new HttpServer(httpPort_, httpsPort_, &eth0, 1));
    server->openListenSockets();
    EXPECT_EQ(server->entryCount(), 22);
    EXPECT_EQ(server->listener(0, 0), nullptr) << "untagged interface off";
    ASSERT_NE(server->listener(20, 0), nullptr);
    ASSERT_NE(server->listener(20, 1), nullptr);
    EXPECT_EQ(server->listener(20, 0)->vlan, 20);
    EXPECT_EQ(server->openListenerCount(), 2);
    server->closeListenSockets();
    EXPECT_EQ(server->openListenerCount(), 0);
  }
  product.usb_ports_phy = savedPorts;
}

TEST_F(HttpServerTest, SilentTlsClientHoldsUpNobodyAndIsClosedAfterItsHandshakeTime) {
  startServer();
  const int silent = connectLoopback(httpsPort_);
  ASSERT_GE(silent, 0);
  std::this_thread::sleep_for(20ms);  // let the listener take it first
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "https" : "http");
    // Far below the silent client's handshake time.
    EXPECT_EQ(statusOf(runCurl("-i -k '" + url("/contact.html", tls) + "'", 2)), 200);
  }
  // The handshake time passes on the program clock.
  shiftUptimeForTesting(kHttpTlsHandshakeCs + 10);
  EXPECT_TRUE(closedByServer(silent, 5000));
  ::close(silent);
}

// CPU ticks (user + system) of a thread, read from its open stat file
// (kept open: the test runs out of descriptors meanwhile).
long threadCpuTicks(int statFd) {
  char buffer[1024];
  const ssize_t n = ::pread(statFd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return -1;
  buffer[n] = '\0';
  const char* end = std::strrchr(buffer, ')');
  if (end == nullptr) return -1;
  // Fields after the name: state .. cmajflt (11), then utime and stime.
  const char* at = end + 2;
  for (int field = 0; field < 11 && at != nullptr; ++field) {
    at = std::strchr(at, ' ');
    if (at != nullptr) ++at;
  }
  if (at == nullptr) return -1;
  char* next = nullptr;
  const long user = std::strtol(at, &next, 10);
  const long system = std::strtol(next, nullptr, 10);
  return user + system;
}

int listenerThreadId() {
  int tid = -1;
  if (!TLOCK()) return -1;
  for (Task* t : taskTable)
    if (t != nullptr && t->name != nullptr && std::strcmp(t->name, "HTTPD") == 0) tid = t->pid;
  unlockTaskTable();
  return tid;
}

TEST_F(HttpServerTest, OutOfDescriptorsTheListenerPausesAndServesAgainAfterwards) {
  startServer();
  const int tid = listenerThreadId();
  ASSERT_GT(tid, 0);
  const int statFd = ::open(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(statFd, 0);
  // The client's socket exists before the process runs out of descriptors.
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  // The lowest free descriptor number becomes the limit: no new one is left.
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(httpPort_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  // The listener stays readable while every accept fails: a listener that
  // tried again at once would use a whole CPU meanwhile.
  const long before = threadCpuTicks(statFd);
  std::this_thread::sleep_for(500ms);
  const long used = threadCpuTicks(statFd) - before;
  setrlimit(RLIMIT_NOFILE, &saved);
  ::close(statFd);
  ASSERT_TRUE(connected);
  ASSERT_GE(before, 0);
  EXPECT_LT(used, 15) << "CPU ticks of the listener in 500 ms without descriptors";
  // With descriptors back, the waiting client is served.
  const std::string request = "GET /contact.html HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::string answer;
  char chunk[4096];
  for (int i = 0; i < 100 && answer.find("\r\n") == std::string::npos; ++i) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    answer.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_EQ(statusOf(answer), 200) << answer;
  ::close(client);
}

// A task that only takes a slot of the task table.
class SlotHolder : public Task {
 public:
  SlotHolder() : Task("SlotHolder") {}
  void run() override {}
};

TEST_F(HttpServerTest, ClientsAreRefusedWhileTheTaskTableKeepsOnlyItsReserve) {
  startServer();
  std::vector<std::unique_ptr<SlotHolder>> holders;
  auto freeSlots = [] {
    int free = 0;
    if (!TLOCK()) return -1;
    for (Task* t : taskTable) free += t == nullptr ? 1 : 0;
    unlockTaskTable();
    return free;
  };
  while (freeSlots() > 16) holders.emplace_back(new SlotHolder);
  const int refusedBefore = webConnectionsRefused.load();
  EXPECT_EQ(statusOf(runCurl("-i '" + url("/contact.html") + "'", 3)), 0);
  EXPECT_GT(webConnectionsRefused.load(), refusedBefore);
  EXPECT_EQ(freeSlots(), 16) << "the reserve stays free";
  holders.pop_back();
  EXPECT_EQ(statusOf(get("/contact.html")), 200);
  holders.clear();
}

}  // namespace

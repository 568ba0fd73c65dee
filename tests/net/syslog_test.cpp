// The remote syslog client against a UDP listener of the test in a peer
// namespace; tshark decodes what it sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>

#include "net/support/netfixture.h"
#include "net/system/syslog.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "params/types/paramflags.h"
#include "support/namespace_socket.h"

namespace {

using namespace std::chrono_literals;

const char* const kSyslogKeys[] = {"syslog", "syslog_ipa", "syslog_upo"};

// The three keys are hidden on every model; the test's store shows them.
Param* rawParam(const char* key) {
  int count = 0;
  Param** items = paramStore.items(&count);
  for (int i = 0; i < count; ++i)
    if (std::strcmp(items[i]->key(), key) == 0) return items[i];
  return nullptr;
}

class SysLogTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    for (int i = 0; i < 3; ++i) {
      const char* key = kSyslogKeys[i];
      Param* p = rawParam(key);
      ASSERT_NE(p, nullptr) << key;
      hidden_[i] = p->hasFlags(PF_HIDDEN);
      p->removeFlags(PF_HIDDEN);
      params_.save(key);
    }
    params_.save("life");
    const char* kickOff = std::getenv("KickOff");
    savedKickOff_ = kickOff ? kickOff : "";
    hadKickOff_ = kickOff != nullptr;
    setenv("KickOff", "4", 1);
    std::snprintf(productParams().default_name, sizeof productParams().default_name, "%s", "HUB-35307");
    setParam("life", "17");
    setParam("ip_addr", "10.9.0.1");
    setParam("syslog", "on");
    setParam("syslog_ipa", "10.9.0.2");
    setParam("syslog_upo", "5514");

    peerNamespace_ = "logpeer" + std::to_string(::getpid());
    ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peerNamespace_ + " && ip link set peer0 netns " + peerNamespace_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 up && ip addr add 10.9.0.1/24 dev eth0"));
    ASSERT_TRUE(PrivateNetwork::run(inPeer("ip link set lo up && ip link set peer0 up && "
                                           "ip addr add 10.9.0.2/24 dev peer0")));
    listener_ = peerListener();
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    stopSysLog();
    if (listener_ >= 0) ::close(listener_);
    if (tsharkPid_ > 0) ::kill(tsharkPid_, SIGTERM);
    if (!peerNamespace_.empty()) PrivateNetwork::run("ip netns del " + peerNamespace_);
    if (!IsSkipped()) {
      for (int i = 0; i < 3; ++i)
        if (hidden_[i]) rawParam(kSyslogKeys[i])->addFlags(PF_HIDDEN);
      if (hadKickOff_)
        setenv("KickOff", savedKickOff_.c_str(), 1);
      else
        unsetenv("KickOff");
    }
    NetworkTest::TearDown();
  }
  std::string inPeer(const std::string& command) const {
    return "ip netns exec " + peerNamespace_ + " sh -c '" + command + "'";
  }
  int peerListener() { return udpSocketInNamespace(peerNamespace_, "10.9.0.2", 5514, false); }
  // The next datagram ("" when none came within the limit).
  std::string nextLine(int limitMs = 3000) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, limitMs) <= 0) return "";
    char buffer[4096];
    const ssize_t n = ::recv(listener_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

  bool hidden_[3] = {false, false, false};
  std::string savedKickOff_;
  bool hadKickOff_ = false;
  std::string peerNamespace_;
  int listener_ = -1;
  pid_t tsharkPid_ = -1;
};

// "<PRI>Mmm dd hh:mm:ss <address> <unit in 18>[line]:task:uptime| text"
const char kHead[] = R"(<(\d+)>[A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d 10\.9\.0\.1 {16}udp\[ *\d+\]:)";

TEST_F(SysLogTest, LinesFromStartToStop) {
  ASSERT_TRUE(startSysLog());
  SysLog* client = sysLog.load();
  ASSERT_NE(client, nullptr);
  const std::regex alive(std::string(kHead) + R"( *\d+: *\d+\.\d\d\| I'm HUB-35307@10\.9\.0\.1 alive:4,17\.\.\.)");
  const std::string first = nextLine();
  EXPECT_TRUE(std::regex_match(first, alive)) << first;
  EXPECT_EQ(first.compare(0, 5, "<133>"), 0);

  // Other levels are local1; tprintf leaves the task id out.
  EXPECT_GT(client->write(2, "udp", 7, "level two"), 0);
  const std::string second = nextLine();
  EXPECT_TRUE(std::regex_match(second, std::regex(std::string(kHead) + R"( *\d+: *\d+\.\d\d\| level two)"))) << second;
  EXPECT_EQ(second.compare(0, 5, "<141>"), 0);
  EXPECT_GT(client->tprintf("udp", 8, "%s %d", "formatted", 42), 0);
  const std::string third = nextLine();
  EXPECT_TRUE(std::regex_match(third, std::regex(std::string(kHead) + R"( *\d+\.\d\d\| formatted 42)"))) << third;

  // A long text leaves cut to the line buffer, in one datagram.
  EXPECT_EQ(client->write(1, "udp", 9, std::string(2000, 'x').c_str()), kSysLogLineSize - 1);
  EXPECT_EQ(nextLine().size(), static_cast<size_t>(kSysLogLineSize - 1));

  // A line from inside a line is refused, not deadlocked.
  ASSERT_EQ(client->lock(), 1);
  EXPECT_EQ(client->write(1, "udp", 10, "nested"), 0);
  client->unlock();
  EXPECT_EQ(client->sentCount(), 4);

  // A second start finds the running client.
  SysLog::start();
  EXPECT_EQ(sysLog.load(), client);

  EXPECT_TRUE(stopSysLog());
  const std::string last = nextLine();
  EXPECT_TRUE(std::regex_match(last, std::regex(std::string(kHead) + R"( *\d+: *\d+\.\d\d\| I'm HUB-35307 stopped)")))
      << last;
  EXPECT_EQ(sysLog.load(), nullptr);
  EXPECT_EQ(nextLine(200), "");  // nothing after the stop line
}

TEST_F(SysLogTest, TsharkDecodesLocal0Notice) {
  if (!PrivateNetwork::run("command -v tshark")) GTEST_SKIP() << "tshark not installed";
  const std::string capture = network_.dataRootDir() + "/syslog.pcap";
  const std::string pidText = PrivateNetwork::output(
      inPeer("tshark -q -i peer0 -f \"udp port 5514\" -c 1 -a duration:20 -w " + capture + " >" + capture +
             ".log 2>&1 & echo $!"));
  tsharkPid_ = std::atoi(pidText.c_str());
  ASSERT_GT(tsharkPid_, 0);
  // tshark may report that it captures a moment before it really does:
  // lines go out until it has caught one.
  ASSERT_TRUE(startSysLog());
  ASSERT_FALSE(nextLine().empty());
  SysLog* client = sysLog.load();
  for (int i = 0; i < 200 && ::kill(tsharkPid_, 0) == 0; ++i) {
    client->write(1, "udp", 11, "probe line");
    nextLine(200);
    std::this_thread::sleep_for(100ms);
  }
  tsharkPid_ = -1;
  const std::string fields = PrivateNetwork::output("tshark -r " + capture +
                                                    " -d udp.port==5514,syslog -T fields -e syslog.facility "
                                                    "-e syslog.level -e syslog.msg");
  // local0, notice
  EXPECT_EQ(fields.compare(0, 4, "16\t5"), 0) << fields << PrivateNetwork::output("cat " + capture + ".log");
  EXPECT_TRUE(fields.find("alive:4,17") != std::string::npos || fields.find("probe line") != std::string::npos)
      << fields;
}

TEST_F(SysLogTest, NoClientWithoutServerOrWhenTheServerCannotBeReached) {
  struct Case {
    const char* what;
    const char* on;
    const char* server;
  } cases[] = {
      {"switched off", "off", "10.9.0.2"},
      {"no server address", "on", "0.0.0.0"},
      {"no route to the server", "on", "10.200.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setParam("syslog", c.on);
    setParam("syslog_ipa", c.server);
    EXPECT_FALSE(startSysLog());
    EXPECT_EQ(sysLog.load(), nullptr);
  }
  EXPECT_EQ(nextLine(200), "");
}

}  // namespace

// The time client against a hand-made server (plain sockets) and against
// chrony: what it sends, which replies it takes, when it tries again, the
// time zone after a commit, and how a clock step moves the program's times.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/dhcp/dhcplease.h"
#include "net/support/netfixture.h"
#include "net/time/ntptask.h"
#include "net/time/timezone.h"
#include "platform/clock/wallclock.h"
#include "runtime/task/uptime.h"

namespace {

using namespace std::chrono_literals;

// The program clock moves only when a test moves it.
std::atomic<int64_t> fakeTicks{500000};
bool readFakeTicks(int64_t* cs) {
  *cs = fakeTicks.load();
  return true;
}
void moveFakeTicks(int64_t stepCs, void*) { fakeTicks.fetch_add(stepCs); }

// 2030-01-01 00:00:00 UTC, ahead of the host's clock.
constexpr int64_t kServerUnixTime = 1893456000LL;

class ObservedNtpTask : public NtpTask {
 public:
  ObservedNtpTask(InterfaceView* nif, std::shared_ptr<std::atomic<bool>> gone) : NtpTask(nif), gone_(gone) {}
  ~ObservedNtpTask() override { gone_->store(true); }

 private:
  std::shared_ptr<std::atomic<bool>> gone_;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

int udpSocket(const char* address, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  inet_pton(AF_INET, address, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> serverReply(uint8_t first, uint8_t stratum, int64_t unixSeconds, size_t size = 48) {
  std::vector<uint8_t> r(size, 0);
  r[0] = first;
  r[1] = stratum;
  const uint32_t word = static_cast<uint32_t>((unixSeconds + kNtpToUnixSeconds) & 0xffffffffLL);
  if (size >= 44) {
    r[40] = static_cast<uint8_t>(word >> 24);
    r[41] = static_cast<uint8_t>(word >> 16);
    r[42] = static_cast<uint8_t>(word >> 8);
    r[43] = static_cast<uint8_t>(word);
  }
  return r;
}

class NtpTaskTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    for (const char* key : {"ntp", "ntp_server", "ntp_update", "ntp_tzone", "dns"}) params_.save(key);
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? tz : "";
    ASSERT_TRUE(PrivateNetwork::run("ip link set lo up && ip link set eth0 up && ip link set peer0 up && "
                                    "ip addr add 10.7.0.1/24 dev eth0"));
    resetSimulatedWallClock();
    setWallClockTickFollower(nullptr, nullptr);
    setBoardTickSource(readFakeTicks);
    setParam("ntp", "on");
    setParam("ntp_server", "10.7.0.2");
    setParam("ntp_update", "60");
    setParam("ntp_tzone", "CET/CEST (EU)");
  }
  void TearDown() override {
    stopTask();
    if (!IsSkipped()) {
      setWallClockTickFollower(nullptr, nullptr);
      setBoardTickSource(nullptr);
      if (serverFd_ >= 0) ::close(serverFd_);
      if (otherFd_ >= 0) ::close(otherFd_);
      if (chronyPid_ > 0) ::kill(chronyPid_, SIGTERM);
      if (!peerNamespace_.empty()) PrivateNetwork::run("ip netns del " + peerNamespace_);
      setenv("TZ", savedTz_.c_str(), 1);
      tzset();
    }
    NetworkTest::TearDown();
  }

  void startTask(int64_t replyTimeoutCs) {
    gone_ = std::make_shared<std::atomic<bool>>(false);
    task_ = new ObservedNtpTask(&nif_, gone_);
    task_->setReplyTimeoutCs(replyTimeoutCs);
    ASSERT_GT(task_->start(20480), 0);
  }
  void stopTask() {
    if (!task_) return;
    TaskMessage quit{0, MSG_QUIT, 0, 0};
    task_->post(quit);
    EXPECT_TRUE(waitFor([&] { return gone_->load(); }));
    task_ = nullptr;
  }

  // The hand-made server on 10.7.0.2:123, and another sender on 10.7.0.3.
  void startServer() {
    ASSERT_TRUE(PrivateNetwork::run("ip addr add 10.7.0.2/24 dev peer0 && ip addr add 10.7.0.3/24 dev peer0"));
    serverFd_ = udpSocket("10.7.0.2", 123);
    otherFd_ = udpSocket("10.7.0.3", 123);
    ASSERT_GE(serverFd_, 0);
    ASSERT_GE(otherFd_, 0);
  }
  // The next request within the limit: its bytes (empty when none came).
  std::vector<uint8_t> nextRequest(int limitMs = 10000) {
    pollfd p{serverFd_, POLLIN, 0};
    if (::poll(&p, 1, limitMs) <= 0) return {};
    std::vector<uint8_t> bytes(512);
    socklen_t length = sizeof client_;
    const ssize_t n =
        ::recvfrom(serverFd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client_), &length);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  void answer(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client_), sizeof client_),
              static_cast<ssize_t>(bytes.size()));
  }
  void moveClock(int64_t cs) { fakeTicks.fetch_add(cs); }

  ObservedNtpTask* task_ = nullptr;
  std::shared_ptr<std::atomic<bool>> gone_;
  int serverFd_ = -1;
  int otherFd_ = -1;
  sockaddr_in client_{};
  std::string savedTz_;
  std::string peerNamespace_;
  pid_t chronyPid_ = -1;
};

TEST_F(NtpTaskTest, ImplausibleRepliesLeaveTheClockAndTheNextTryFollowsFifteenSecondsLater) {
  startServer();
  startTask(100);
  const std::vector<uint8_t> request = nextRequest();
  std::vector<uint8_t> expected(48, 0);
  expected[0] = 0x0B;
  expected[2] = 4;
  ASSERT_EQ(request, expected);

  const int otherPort = udpSocket("10.7.0.2", 1123);
  ASSERT_GE(otherPort, 0);
  struct Case {
    const char* what;
    int fd;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"kiss-o'-death (stratum 0)", serverFd_, serverReply(0x24, 0, kServerUnixTime)},
      {"unsynchronised (leap 3)", serverFd_, serverReply(0xE4, 2, kServerUnixTime)},
      {"zero transmit time", serverFd_, serverReply(0x24, 2, -kNtpToUnixSeconds)},
      {"client mode", serverFd_, serverReply(0x23, 2, kServerUnixTime)},
      {"47 bytes", serverFd_, serverReply(0x24, 2, kServerUnixTime, 47)},
      {"49 bytes", serverFd_, serverReply(0x24, 2, kServerUnixTime, 49)},
      {"another address", otherFd_, serverReply(0x24, 2, kServerUnixTime)},
      {"another port", otherPort, serverReply(0x24, 2, kServerUnixTime)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (n > 0) {
      moveClock(kNtpRetrySeconds * 100);
      ASSERT_EQ(nextRequest().size(), 48u);
    }
    answer(c.fd, c.bytes);
    ++n;
    ASSERT_TRUE(waitFor([&] { return task_->finished() == n; }));
    EXPECT_EQ(task_->successes(), 0);
    EXPECT_EQ(simulatedWallClock().sets, 0);
  }
  ::close(otherPort);

  // Not a moment before the 15 s are up, and other messages meanwhile do
  // not put the try off.
  moveClock(kNtpRetrySeconds * 100 - 1);
  TaskMessage other{0, MSG_ADDRESS_CHANGED, 0, 0};
  ASSERT_EQ(task_->post(other), 0);
  EXPECT_TRUE(nextRequest(1500).empty());
  moveClock(1);
  ASSERT_EQ(nextRequest().size(), 48u);
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 1; }));
  EXPECT_EQ(simulatedWallClock().sets, 1);
  EXPECT_EQ(simulatedWallClock().lastSeconds, kServerUnixTime);
  EXPECT_EQ(simulatedWallClock().lastMicros, 0);

  // After a success `ntp_update` (60 s) decides.
  moveClock(kNtpRetrySeconds * 100);
  EXPECT_TRUE(nextRequest(1500).empty());
  moveClock(6000 - kNtpRetrySeconds * 100);
  ASSERT_EQ(nextRequest().size(), 48u);
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime + 60));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 2; }));
  EXPECT_EQ(simulatedWallClock().lastSeconds, kServerUnixTime + 60);
}

TEST_F(NtpTaskTest, CommitResynchronisesWithTheNewZone) {
  startServer();
  startTask(100);
  ASSERT_EQ(nextRequest().size(), 48u);
  EXPECT_EQ(timeZoneText(), "CET-1CEST,M3.5.0,M10.5.0");
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 1; }));

  setParam("ntp_tzone", "NST/NDT (StJohns)");
  TaskMessage changed{0, MSG_PARAMS_CHANGED, 0, 0};
  ASSERT_EQ(task_->post(changed), 0);
  ASSERT_EQ(nextRequest().size(), 48u);  // at once, the program clock stands still
  EXPECT_EQ(timeZoneText(), "NST3:30NDT,M3.2.0,M11.1.0");
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 2; }));
}

TEST_F(NtpTaskTest, UnresolvableServerOrClientOffSendsNothing) {
  startServer();
  setParam("ntp_server", "no-such-host.invalid");
  startTask(100);
  ASSERT_TRUE(waitFor([&] { return task_->finished() == 1; }, 30s));  // the lookup may wait for DNS
  EXPECT_TRUE(nextRequest(200).empty());
  setParam("ntp_server", "10.7.0.2");
  setParam("ntp", "off");
  moveClock(kNtpRetrySeconds * 100);
  EXPECT_TRUE(nextRequest(1500).empty());
  EXPECT_EQ(task_->finished(), 1);
}

TEST_F(NtpTaskTest, ClockStepMovesStartTimesOnlyWhenTheTickCounterMoves) {
  startServer();
  MessageProbe& other = *probe_;
  const int64_t leaseStart = 123456;
  dhcpLeaseStart.store(leaseStart);

  // A counter that ignores the wall clock: nothing moves.
  const int64_t created = other.createdCs;
  startTask(100);
  ASSERT_EQ(nextRequest().size(), 48u);
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 1; }));
  EXPECT_EQ(other.createdCs, created);
  EXPECT_EQ(dhcpLeaseStart.load(), leaseStart);

  // A counter that follows the wall clock: times move with the step.
  setWallClockTickFollower(moveFakeTicks, nullptr);
  moveClock(6000);
  ASSERT_EQ(nextRequest().size(), 48u);
  answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  ASSERT_TRUE(waitFor([&] { return task_->successes() == 2; }));
  const int64_t step = simulatedWallClock().lastStepCs;
  EXPECT_GT(step, 0);
  EXPECT_EQ(other.createdCs, created + step);
  EXPECT_EQ(dhcpLeaseStart.load(), leaseStart + step);
  dhcpLeaseStart.store(0);
}

// A server name goes through DNS (dnsmasq). The lookup runs in a child
// process with a mount namespace of its own, where the resolver file names
// dnsmasq: the host's own resolver file stays untouched.
TEST_F(NtpTaskTest, ServerNameIsResolvedThroughDns) {
  if (!PrivateNetwork::run("command -v dnsmasq")) GTEST_SKIP() << "dnsmasq not installed";
  startServer();
  const std::string dir = network_.dataRootDir();
  const std::string pidText = PrivateNetwork::output(
      "dnsmasq -k --conf-file=/dev/null --listen-address=10.7.0.3 --bind-interfaces --no-resolv --no-hosts "
      "--address=/time.test/10.7.0.2 --pid-file=" + dir + "/dnsmasq.pid >" + dir + "/dnsmasq.log 2>&1 & echo $!");
  const pid_t dnsmasq = std::atoi(pidText.c_str());
  ASSERT_GT(dnsmasq, 0);
  ASSERT_TRUE(waitFor([&] { return PrivateNetwork::run("ss -Hln sport = :53 | grep -q 10.7.0.3"); }));
  {
    std::ofstream resolv(dir + "/resolv.conf");
    resolv << "nameserver 10.7.0.3\noptions timeout:1 attempts:2\n";
  }
  setParam("ntp_server", "time.test");
  setParam("dns", "on");

  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
      ::_exit(2);
    NtpTask client(&nif_);
    client.setReplyTimeoutCs(500);
    ::_exit(client.synchronize() == 1 && ntpServerAddress().port() == 123 ? 0 : 1);
  }
  const std::vector<uint8_t> request = nextRequest();
  if (request.size() == 48) answer(serverFd_, serverReply(0x24, 2, kServerUnixTime));
  int status = -1;
  ::waitpid(child, &status, 0);
  ::kill(dnsmasq, SIGTERM);
  ASSERT_EQ(request.size(), 48u) << PrivateNetwork::output("cat " + dir + "/dnsmasq.log");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// chrony in a peer namespace (-x: it never adjusts the host's clock).
TEST_F(NtpTaskTest, SetsTheClockFromChrony) {
  if (!PrivateNetwork::run("command -v chronyd")) GTEST_SKIP() << "chronyd not installed";
  peerNamespace_ = "ntppeer" + std::to_string(::getpid());
  const std::string dir = network_.dataRootDir() + "/chrony";
  ASSERT_TRUE(PrivateNetwork::run("mkdir -p " + dir + " && chmod 755 " + network_.dataRootDir() + " " + dir));
  ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peerNamespace_));
  ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 netns " + peerNamespace_));
  const std::string inPeer = "ip netns exec " + peerNamespace_ + " ";
  ASSERT_TRUE(PrivateNetwork::run(inPeer + "sh -c 'ip link set lo up && ip link set peer0 up && "
                                            "ip addr add 10.7.0.2/24 dev peer0'"));
  {
    std::ofstream conf(dir + "/chrony.conf");
    conf << "allow all\nlocal stratum 8\nbindaddress 10.7.0.2\ncmdport 0\n"
         << "pidfile " << dir << "/chronyd.pid\ndriftfile " << dir << "/drift\n";
  }
  const std::string pidText = PrivateNetwork::output(inPeer + "sh -c 'chronyd -x -d -u root -f " + dir +
                                                     "/chrony.conf >" + dir + "/log 2>&1 & echo $!'");
  chronyPid_ = std::atoi(pidText.c_str());
  ASSERT_GT(chronyPid_, 0);

  startTask(200);
  // chrony may need a moment before it calls itself synchronised: retry
  // every 15 s of program time, a bounded number of times.
  for (int tries = 1; tries <= 20; ++tries) {
    ASSERT_TRUE(waitFor([&] { return task_->finished() >= tries; }));
    if (task_->successes() > 0) break;
    moveClock(kNtpRetrySeconds * 100);
  }
  ASSERT_EQ(task_->successes(), 1) << PrivateNetwork::output("cat " + dir + "/log");
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(std::llabs(simulatedWallClock().lastSeconds - now), 2);
}

}  // namespace

// The UDP server task base with a small echo service in a private
// namespace; the peers send from a second namespace. Veths named "eth0.7"
// stand in for VLAN devices.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "net/discovery/udpservertask.h"
#include "net/support/netfixture.h"
#include "params/identity/productparams.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "support/namespace_socket.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPort = 4270;
constexpr const char* kGroup = "239.1.2.3";
constexpr int32_t kHoldFlag = 0x100000;  // the echo service stops in its handler until released

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Answers every datagram from the reply socket with "row R pos P rebuilt B".
class EchoService : public UdpServerTask {
 public:
  EchoService(NetInterface* nif, std::shared_ptr<std::atomic<int>> state, const char* group2 = nullptr)
      : UdpServerTask("UdpEcho", kPort, kGroup, group2), interface_(nif), state_(state) {}
  ~EchoService() override { state_->store(-1); }

  void run() override {
    openSockets(interface_, 0);
    state_->store(1);
    ByteBuffer buffer;
    for (;;) {
      Connection* read = nullptr;
      Connection* reply = nullptr;
      if (receive(buffer, 0, &read, &reply) < 0 || !reply) continue;
      int row = -1;
      int position = -1;
      for (int r = 0; r < kUdpServerRows; ++r)
        for (int p = 0; p < kUdpSocketsPerRow; ++p)
          if (socketAt(r, p) == read) {
            row = r;
            position = p;
          }
      char text[64];
      std::snprintf(text, sizeof text, "row %d pos %d rebuilt %d", row, position, rebuilt);
      rebuilt = 0;
      reply->peer = read->peer;
      reply->send(text, static_cast<int>(std::strlen(text)), 1);
    }
  }
  int onMessage(const TaskMessage& msg) override {
    if (msg.flags & kHoldFlag) {
      state_->store(2);
      waitFor([&] { return state_->load() == 3; });
      state_->store(1);
      return msg.flags & ~kHoldFlag;
    }
    const int result = UdpServerTask::onMessage(msg);
    handled.fetch_add(1);
    return result;
  }

  std::atomic<int> handled{0};  // messages the base handled

 private:
  NetInterface* interface_;
  std::shared_ptr<std::atomic<int>> state_;
};

// A task never started, for building sockets on the test's thread.
class IdleService : public UdpServerTask {
 public:
  IdleService(const char* group1, const char* group2) : UdpServerTask("UdpIdle", kPort, group1, group2) {}
  void run() override {}
};

class UdpServerTaskTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    params_.save("ip4vlan_mgmt_untag");
    productParams().usb_ports_phy = 4;
    setParam("ip4vlan_mgmt_untag", "on");
    setParam("ip4vlan_mgmt", "off");
    for (int n = 1; n <= 20; ++n) setParam(("ip4vlan_on_" + std::to_string(n)).c_str(), "off");
    setParam("ip4vlan_id_3", "7");
    peerNamespace_ = "udppeer" + std::to_string(::getpid());
    ASSERT_TRUE(PrivateNetwork::run("ip link add eth0.7 type veth peer name peer7"));
    ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peerNamespace_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 netns " + peerNamespace_ + " && ip link set peer7 netns " +
                                    peerNamespace_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set lo up && ip link set eth0 up && ip link set eth0.7 up && "
                                    "ip addr add 10.8.0.1/24 dev eth0 && ip addr add 10.8.7.1/24 dev eth0.7"));
    ASSERT_TRUE(PrivateNetwork::run(inPeer("ip link set lo up && ip link set peer0 up && ip link set peer7 up && "
                                           "ip addr add 10.8.0.2/24 dev peer0 && ip addr add 10.8.7.2/24 dev peer7")));
  }
  void TearDown() override {
    stopService();
    if (peer0_ >= 0) ::close(peer0_);
    if (peer7_ >= 0) ::close(peer7_);
    if (!peerNamespace_.empty()) PrivateNetwork::run("ip netns del " + peerNamespace_);
    NetworkTest::TearDown();
  }
  std::string inPeer(const std::string& command) const {
    return "ip netns exec " + peerNamespace_ + " sh -c '" + command + "'";
  }

  // A UDP socket made inside the peer namespace, bound to address:0 and
  // sending its multicast out of that address's device.
  int peerSocket(const char* address) { return udpSocketInNamespace(peerNamespace_, address, 0, true); }
  void sendTo(int fd, const char* address, const char* text = "hello") {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    inet_pton(AF_INET, address, &to.sin_addr);
    ASSERT_GT(::sendto(fd, text, std::strlen(text), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  // The next answer within the limit ("" for none) and where it came from.
  std::string answer(int fd, std::string* source = nullptr, int limitMs = 3000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, limitMs) <= 0) return "";
    char buffer[256];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) return "";
    if (source) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      *source = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    }
    return std::string(buffer, static_cast<size_t>(n));
  }

  void startService() {
    state_ = std::make_shared<std::atomic<int>>(0);
    service_ = new EchoService(&nif_, state_);
    ASSERT_GT(service_->start(20480), 0);
    ASSERT_TRUE(waitFor([&] { return state_->load() == 1; }));
    peer0_ = peerSocket("10.8.0.2");
    peer7_ = peerSocket("10.8.7.2");
    ASSERT_GE(peer0_, 0);
    ASSERT_GE(peer7_, 0);
  }
  void stopService() {
    if (!service_) return;
    state_->store(3);
    TaskMessage quit{0, MSG_QUIT, 0, 0};
    service_->post(quit);
    EXPECT_TRUE(waitFor([&] { return state_->load() == -1; }));
    service_ = nullptr;
  }
  // Posts and waits until the base handled the message.
  void post(int32_t flags) {
    const int before = service_->handled.load();
    TaskMessage message{0, flags, 0, 0};
    ASSERT_EQ(service_->post(message), 0);
    if (!(flags & kHoldFlag)) {
      ASSERT_TRUE(waitFor([&] { return service_->handled.load() > before; }));
    }
  }
  // Datagrams waiting in the service's sockets (from "ss").
  static int queuedSockets() {
    std::istringstream in(PrivateNetwork::output("ss -Huan sport = :" + std::to_string(kPort)));
    int queued = 0;
    for (std::string state, recvQ; in >> state >> recvQ;) {
      if (std::stoi(recvQ) > 0) ++queued;
      std::string rest;
      std::getline(in, rest);
    }
    return queued;
  }

  std::string peerNamespace_;
  std::shared_ptr<std::atomic<int>> state_;
  EchoService* service_ = nullptr;
  int peer0_ = -1;
  int peer7_ = -1;
};

TEST_F(UdpServerTaskTest, RowsHoldOneSocketPerGroupBesideTheUnicastSocket) {
  setParam("ip4vlan_on_3", "on");
  struct Case {
    const char* group1;
    const char* group2;
    int perRow;
  } cases[] = {{kGroup, nullptr, 2}, {kGroup, "239.1.2.4", 3}};
  for (const Case& c : cases) {
    IdleService service(c.group1, c.group2);
    ASSERT_EQ(service.openSockets(&nif_, 0), 1);
    EXPECT_EQ(service.rowCount(), 5);
    for (int row : {0, 3}) {
      for (int position = 0; position < kUdpSocketsPerRow; ++position)
        EXPECT_EQ(service.socketAt(row, position) != nullptr, position < c.perRow) << row << " " << position;
    }
    for (int row : {1, 2, 4})
      for (int position = 0; position < kUdpSocketsPerRow; ++position)
        EXPECT_EQ(service.socketAt(row, position), nullptr);
    const std::string joins = PrivateNetwork::output("ip maddr show dev eth0.7");
    EXPECT_NE(joins.find(kGroup), std::string::npos) << joins;
    EXPECT_NE(joins.find("01:00:5e:01:02:03"), std::string::npos) << joins;
  }
}

TEST_F(UdpServerTaskTest, NoInterfaceRowAndNoVlanGiveNoSocketAtAll) {
  setParam("ip4vlan_mgmt_untag", "off");
  IdleService service(kGroup, nullptr);
  EXPECT_EQ(service.openSockets(&nif_, 0), 1);
  for (int row = 0; row < kUdpServerRows; ++row)
    for (int position = 0; position < kUdpSocketsPerRow; ++position) EXPECT_EQ(service.socketAt(row, position), nullptr);
}

TEST_F(UdpServerTaskTest, PortRowsAreBoundedWhateverTheIdentitySays) {
  productParams().usb_ports_phy = 200;
  setParam("ip4vlan_mgmt", "on");
  setParam("ip4vlan_mgmt_id", "1");
  ASSERT_TRUE(PrivateNetwork::run("ip link add eth0.1 type veth peer name peer1 && ip link set eth0.1 up && "
                                  "ip addr add 10.8.1.1/24 dev eth0.1"));
  IdleService service(kGroup, nullptr);
  EXPECT_EQ(service.openSockets(&nif_, 0), 1);
  EXPECT_EQ(service.rowCount(), kUdpServerRows);
}

TEST_F(UdpServerTaskTest, AnswersLeaveFromTheRowsUnicastSocket) {
  setParam("ip4vlan_on_3", "on");
  startService();
  struct Case {
    int fd;
    const char* to;
    const char* answer;
    const char* source;
  } cases[] = {
      {peer0_, "10.8.0.1", "row 0 pos 0 rebuilt 0", "10.8.0.1:4270"},
      {peer0_, kGroup, "row 0 pos 1 rebuilt 0", "10.8.0.1:4270"},
      {peer7_, "10.8.7.1", "row 3 pos 0 rebuilt 0", "10.8.7.1:4270"},
      {peer7_, kGroup, "row 3 pos 1 rebuilt 0", "10.8.7.1:4270"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    sendTo(c.fd, c.to);
    std::string source;
    EXPECT_EQ(answer(c.fd, &source), c.answer);
    EXPECT_EQ(source, c.source);
  }
}

TEST_F(UdpServerTaskTest, GroupSocketIsReadBeforeTheUnicastSocket) {
  startService();
  post(kHoldFlag);
  ASSERT_TRUE(waitFor([&] { return state_->load() == 2; }));
  sendTo(peer0_, "10.8.0.1", "first");
  sendTo(peer0_, kGroup, "second");
  ASSERT_TRUE(waitFor([&] { return queuedSockets() == 2; })) << PrivateNetwork::output("ss -uan");
  state_->store(3);
  EXPECT_EQ(answer(peer0_), "row 0 pos 1 rebuilt 0");
  EXPECT_EQ(answer(peer0_), "row 0 pos 0 rebuilt 0");
}

TEST_F(UdpServerTaskTest, ParameterChangeRebuildsTheSocketsWhileTheServiceWaits) {
  startService();
  sendTo(peer7_, "10.8.7.1");
  EXPECT_EQ(answer(peer7_, nullptr, 500), "");  // no VLAN row yet

  setParam("ip4vlan_on_3", "on");
  post(MSG_PARAMS_CHANGED);
  sendTo(peer7_, "10.8.7.1");
  EXPECT_EQ(answer(peer7_), "row 3 pos 0 rebuilt 1");
  sendTo(peer0_, "10.8.0.1");
  EXPECT_EQ(answer(peer0_), "row 0 pos 0 rebuilt 0");
}

TEST_F(UdpServerTaskTest, AddressChangeReopensTheUnicastSockets) {
  startService();
  ASSERT_TRUE(PrivateNetwork::run("ip addr del 10.8.0.1/24 dev eth0 && ip addr add 10.8.0.5/24 dev eth0"));
  sendTo(peer0_, "10.8.0.5");
  EXPECT_EQ(answer(peer0_, nullptr, 500), "");  // still bound to the old address

  post(MSG_ADDRESS_CHANGED);
  sendTo(peer0_, "10.8.0.5");
  std::string source;
  EXPECT_EQ(answer(peer0_, &source), "row 0 pos 0 rebuilt 0");
  EXPECT_EQ(source, "10.8.0.5:4270");
}

}  // namespace

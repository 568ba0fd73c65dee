// The SLP agent on eth0 of a private namespace, asked by a small SLPv1
// client (plain sockets) in a second namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/discovery/slprequest.h"
#include "net/discovery/slptask.h"
#include "net/support/netfixture.h"
#include "net/support/tsharkcheck.h"
#include "params/identity/softwareinfo.h"
#include "runtime/task/task.h"
#include "support/namespace_socket.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> restarts{0};
std::atomic<int> restartDelay{-1};
bool recordRestart(int delaySeconds) {
  restartDelay.store(delaySeconds);
  restarts.fetch_add(1);
  return true;
}

std::vector<uint8_t> request(const std::string& predicate, uint16_t xid, uint8_t version = 1, uint8_t function = 1) {
  std::vector<uint8_t> m = {version, function, 0, 0, 0, 0x11, 'e', 'n', 0, 3, static_cast<uint8_t>(xid >> 8),
                            static_cast<uint8_t>(xid), 0, 0};
  m.push_back(static_cast<uint8_t>(predicate.size() >> 8));
  m.push_back(static_cast<uint8_t>(predicate.size()));
  m.insert(m.end(), predicate.begin(), predicate.end());
  m[2] = static_cast<uint8_t>(m.size() >> 8);
  m[3] = static_cast<uint8_t>(m.size());
  return m;
}

struct Reply {
  std::vector<uint8_t> bytes;
  std::string source;
  uint16_t xid() const { return bytes.size() >= 12 ? static_cast<uint16_t>(bytes[10] << 8 | bytes[11]) : 0; }
  std::string url() const { return bytes.size() > 20 ? std::string(bytes.begin() + 20, bytes.end()) : ""; }
};

class SlpTaskTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    params_.save("ip4vlan_mgmt_untag");
    for (const char* key : {"ip_addr", "ip_mask", "ip_gate", "ip_setby"}) params_.save(key);
    productParams().usb_ports_phy = 0;
    std::strcpy(productParams().product_name, "myHub-20D");
    std::strcpy(productParams().default_name, "HUB-35307");
    productParams().software_id = 11;
    productParams().network_type = 1;
    setParam("ip4vlan_mgmt_untag", "on");
    setParam("ip4vlan_mgmt", "off");
    PrivateNetwork::run("mkdir -p " + network_.dataRootDir() + "/etc");
    peer_ = "slppeer" + std::to_string(::getpid());
    ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peer_ + " && ip link set peer0 netns " + peer_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set lo up && ip link set eth0 up && ip addr add 10.8.0.1/24 dev eth0"));
    ASSERT_TRUE(PrivateNetwork::run("ip netns exec " + peer_ +
                                    " sh -c 'ip link set lo up && ip link set peer0 up && ip addr add 10.8.0.2/24 dev peer0'"));
    restarts.store(0);
    restartDelay.store(-1);
    setSlpRestartHook(recordRestart);
    task_ = new SlpTask(&nif_);
    taskId_ = task_->start(65536);
    ASSERT_GT(taskId_, 0);
    client_ = clientSocket();
    ASSERT_GE(client_, 0);
  }
  void TearDown() override {
    if (taskId_ > 0) {
      postToTaskId(taskId_, TaskMessage{0, MSG_QUIT, 0, 0});
      for (int i = 0; i < 500 && taskRegistered(); ++i) std::this_thread::sleep_for(10ms);
    }
    setSlpRestartHook(nullptr);
    if (client_ >= 0) ::close(client_);
    if (!peer_.empty()) PrivateNetwork::run("ip netns del " + peer_);
    NetworkTest::TearDown();
  }
  bool taskRegistered() {
    TLOCK();
    bool found = false;
    for (Task* t : taskTable)
      if (t && t->id == taskId_) found = true;
    unlockTaskTable();
    return found;
  }
  int clientSocket() { return udpSocketInNamespace(peer_, "10.8.0.2", 0, true); }
  void send(const std::vector<uint8_t>& message, const char* to) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(kSlpPort);
    inet_pton(AF_INET, to, &target.sin_addr);
    // The agent's sockets may still be opening: the unicast port refuses
    // until then, so the first request is repeated a few times.
    ASSERT_GT(::sendto(client_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
  }
  // The next reply within the limit; an empty one when none came.
  Reply next(int limitMs = 3000) {
    Reply reply;
    pollfd p{client_, POLLIN, 0};
    if (::poll(&p, 1, limitMs) <= 0) return reply;
    uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(client_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) return reply;
    reply.bytes.assign(buffer, buffer + n);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    reply.source = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    return reply;
  }
  // Sends a plain request until the agent answers (its sockets are open).
  void awaitAgent() {
    for (int i = 0; i < 50; ++i) {
      send(request("service:d-ovode:/DEFAULT//", 1), "10.8.0.1");
      if (!next(200).bytes.empty()) {
        while (!next(100).bytes.empty()) {
        }
        return;
      }
    }
    FAIL() << "the agent never answered";
  }
  static std::string expectedUrl(const char* address) {
    const SoftwareInfo& s = softwareInfo();
    return std::string("service:d-ovode://") + address + ";x-orv-name=HUB-35307;x-orv-mode=prot;x-orv-ver=" +
           std::to_string(s.version) + "." + std::to_string(s.release) + "." + std::to_string(s.subrelease) +
           ";x-orv-nettype=ETHER;x-orv-swid=" + std::to_string(s.software_id) + ";x-orv-product=myHub-20D";
  }

  std::string peer_;
  SlpTask* task_ = nullptr;
  int taskId_ = -1;
  int client_ = -1;
};

TEST(SlpUrl, NamesTheNetworkTypeAndFitsTheLongestIdentity) {
  const ProductParams saved = productParams();
  struct Case {
    uint32_t networkType;
    size_t nameLength;
    bool limited;
    const char* nettype;
  } cases[] = {{1, 9, false, ";x-orv-nettype=ETHER;"}, {3, 9, true, ";x-orv-nettype=WLAN;"},
               {3, ProductParams::kTextSize - 1, true, ";x-orv-nettype=WLAN;"}};
  for (const Case& c : cases) {
    productParams().network_type = c.networkType;
    const std::string name(c.nameLength, 'n');
    std::strcpy(productParams().default_name, name.c_str());
    std::strcpy(productParams().product_name, name.c_str());
    IpAddress local;
    parseIpAddress(local, "192.168.100.200");
    char url[1024];
    SlpTask::formatUrl(url, sizeof url, local, c.limited);
    const std::string text = url;
    EXPECT_EQ(text.rfind("service:d-ovode://192.168.100.200;x-orv-name=" + name + ";x-orv-mode=prot;", 0), 0u);
    EXPECT_NE(text.find(c.nettype), std::string::npos) << text;
    const std::string end = ";x-orv-product=" + name + (c.limited ? ";x-limited-access" : "");
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    uint8_t header[kSlpHeaderSize] = {1, 1};
    uint8_t reply[kSlpReplyFixed + 1024];
    EXPECT_EQ(buildSlpReply(header, url, reply, sizeof reply), kSlpReplyFixed + text.size());
  }
  productParams() = saved;
}

TEST_F(SlpTaskTest, RequestsToBothGroupsAndByUnicastGetOneReplyFromTheUnicastSocket) {
  awaitAgent();
  std::vector<std::vector<uint8_t>> replies;
  uint16_t xid = 100;
  for (const char* to : {"224.0.1.22", "224.0.0.1", "10.8.0.1"}) {
    ++xid;
    send(request("service:d-ovode:/DEFAULT//", xid), to);
    const Reply reply = next();
    ASSERT_FALSE(reply.bytes.empty()) << to;
    EXPECT_EQ(reply.source, "10.8.0.1:427") << to;
    ASSERT_GE(reply.bytes.size(), 20u);
    const std::string url = expectedUrl("10.8.0.1");
    const std::vector<uint8_t> fixed(reply.bytes.begin(), reply.bytes.begin() + 20);
    EXPECT_EQ(fixed, std::vector<uint8_t>({1, 2, static_cast<uint8_t>((20 + url.size()) >> 8),
                                           static_cast<uint8_t>(20 + url.size()), 0, 0x11, 'e', 'n', 0, 3,
                                           static_cast<uint8_t>(xid >> 8), static_cast<uint8_t>(xid), 0, 0, 0, 1,
                                           0x2A, 0x30, static_cast<uint8_t>(url.size() >> 8),
                                           static_cast<uint8_t>(url.size())}))
        << to;
    EXPECT_EQ(reply.url(), url) << to;
    replies.push_back(reply.bytes);
    // Exactly one reply: the next thing to arrive answers the next request.
    send(request("service:d-ovode:/DEFAULT//", 7), "10.8.0.1");
    EXPECT_EQ(next().xid(), 7) << to;
  }
  if (tsharkAvailable()) {
    EXPECT_EQ(tsharkProblems(replies, 427, 427), "");
    const std::string dissection = tsharkDissection(replies, 427, 427);
    EXPECT_NE(dissection.find("Service Reply"), std::string::npos) << dissection;
    EXPECT_NE(dissection.find("x-orv-product=myHub-20D"), std::string::npos);
  }
}

TEST_F(SlpTaskTest, RequestsForOthersOrMalformedOnesGetNoReply) {
  awaitAgent();
  const std::vector<uint8_t> silent[] = {
      request("service:d-ovode:/DEFAULT/X-ORV-NAME == HUB-99999/", 201),
      request("service:printer:/DEFAULT//", 202),
      request("service:d-ovode:/DEFAULT", 203),
      request("service:d-ovode:/DEFAULT//", 204, 1, 8),
      request("service:d-ovode:/DEFAULT//", 205, 2, 1),
      request("service:d-ovode:/DEFAULT/X-ORV-NAME==HUB-35307 , X-ORV-NAME == other/", 206),
  };
  for (const char* to : {"224.0.1.22", "10.8.0.1"}) {
    for (const std::vector<uint8_t>& m : silent) send(m, to);
    // A request with its length cut: the predicate runs past the datagram.
    std::vector<uint8_t> cut = request("service:d-ovode:/DEFAULT//", 207);
    cut.resize(cut.size() - 5);
    send(cut, to);
    send(request("service:d-ovode:/DEFAULT/X-ORV-NAME == hub-35307/", 300), to);
    EXPECT_EQ(next().xid(), 300) << to;
  }
}

TEST_F(SlpTaskTest, ALinkLocalDeviceNamedByTheRequestTakesTheAddressAndRestarts) {
  setParam("ip_addr", "");
  awaitAgent();
  send(request("service:d-ovode:/DEFAULT/X-ORV-NAME == HUB-35307, X-ORV-IP == 10.8.0.50, "
               "X-ORV-IPMASK == 255.255.255.0, X-ORV-IPGATE == 10.8.0.254/",
               400),
       "224.0.1.22");
  const Reply reply = next();
  ASSERT_EQ(reply.xid(), 400);
  EXPECT_EQ(reply.url(), expectedUrl("10.8.0.1"));
  // The reply leaves first; the address follows.
  for (int i = 0; i < 500 && restarts.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(paramText("ip_addr"), "10.8.0.50");
  EXPECT_EQ(paramText("ip_mask"), "255.255.255.0");
  EXPECT_EQ(paramText("ip_gate"), "10.8.0.254");
  EXPECT_EQ(paramText("ip_setby"), "slp");
  EXPECT_EQ(restarts.load(), 1);
  EXPECT_EQ(restartDelay.load(), 1);
  EXPECT_NE(addressLines("eth0").find("10.8.0.50"), std::string::npos);
  const std::string saved = PrivateNetwork::output("cat " + network_.dataRootDir() + "/etc/params.dat");
  EXPECT_NE(saved.find("10.8.0.50"), std::string::npos);
}

TEST_F(SlpTaskTest, AddressChangesThatMayNotHappenAreRefusedAndMarked) {
  struct Case {
    const char* current;
    const char* items;
  } cases[] = {
      {"192.168.1.20", "X-ORV-IP == 10.8.0.60"},
      {"", "X-ORV-IP == 266.8.0.60"},
      {"", "X-ORV-IP == 127.0.0.5"},
      {"", "X-ORV-IP == 10.8.0.60, X-ORV-IPMASK == 255.0.255.0"},
      {"", "X-ORV-IP == 10.8.0.255"},
      {"", "X-ORV-IP == 10.8.0.60, X-ORV-IPGATE == 224.1.1.1"},
  };
  awaitAgent();
  uint16_t xid = 500;
  for (const Case& c : cases) {
    setParam("ip_addr", c.current);
    setParam("ip_setby", "zconf");
    const std::string before = paramText("ip_addr");
    send(request(std::string("service:d-ovode:/DEFAULT/X-ORV-NAME == HUB-35307, ") + c.items + "/", ++xid), "10.8.0.1");
    const Reply reply = next();
    ASSERT_EQ(reply.xid(), xid) << c.items;
    EXPECT_EQ(reply.url(), expectedUrl("10.8.0.1") + ";x-limited-access") << c.items;
    EXPECT_EQ(paramText("ip_addr"), before) << c.items;
    EXPECT_EQ(paramText("ip_setby"), "zconf") << c.items;
  }
  EXPECT_EQ(restarts.load(), 0);
  EXPECT_EQ(addressLines("eth0").find("10.8.0.60"), std::string::npos);
}

}  // namespace

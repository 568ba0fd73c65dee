// The mDNS responder task on eth0 of a private namespace. Its peers run in
// a second namespace: python3-zeroconf browses and acts as a second
// responder, dig sends legacy unicast queries.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "net/discovery/bonjourtask.h"
#include "net/support/mdnsmessage.h"
#include "net/support/netfixture.h"
#include "params/store/paramstore.h"
#include "runtime/task/task.h"
#include "support/namespace_socket.h"

namespace {

using namespace std::chrono_literals;

const std::string kTool = std::string(TEST_SOURCE_DIR) + "/tests/net/tools/mdns_peer.py";

bool eventually(const std::function<bool()>& condition, int limitMs = 15000) {
  for (int waited = 0; waited < limitMs; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

int bonjourTasks() {
  TLOCK();
  int count = 0;
  for (Task* t : taskTable)
    if (t && std::strcmp(t->name, "Bonjour") == 0) ++count;
  unlockTaskTable();
  return count;
}

class BonjourTaskTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    if (::access("/usr/bin/dig", X_OK) != 0 ||
        !PrivateNetwork::run("/usr/bin/python3 -c 'import zeroconf, scapy' 2>/dev/null"))
      GTEST_SKIP() << "dig or python3-zeroconf missing";
    for (const char* key : {"ip4vlan_mgmt_untag", "bonjour", "bonjour_name"}) params_.save(key);
    productParams().usb_ports_phy = 0;
    std::strcpy(productParams().product_name, "myHub-20D");
    std::strcpy(productParams().default_name, "HUB-35307");
    setParam("ip4vlan_mgmt_untag", "on");
    setParam("ip4vlan_mgmt", "off");
    setParam("ip_addr", "10.8.0.1");
    setParam("bonjour", "on");
    setParam("bonjour_name", "");
    BonjourTask::setServicePorts(443, 80);
    PrivateNetwork::run("mkdir -p " + network_.dataRootDir() + "/etc");
    peer_ = "mdnspeer" + std::to_string(::getpid());
    ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peer_ + " && ip link set peer0 netns " + peer_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set lo up && ip link set eth0 up && ip addr add 10.8.0.1/24 dev eth0"));
    ASSERT_TRUE(inPeer("ip link set lo up && ip link set peer0 up && ip addr add 10.8.0.2/24 dev peer0 && "
                       "ip route add 224.0.0.0/4 dev peer0"));
  }
  void TearDown() override {
    stopResponder();
    for (int pid : background_) ::kill(pid, SIGTERM);
    if (!peer_.empty()) PrivateNetwork::run("ip netns del " + peer_);
    BonjourTask::setServicePorts(0, 0);
    NetworkTest::TearDown();
  }
  bool inPeer(const std::string& command) {
    return PrivateNetwork::run("ip netns exec " + peer_ + " sh -c '" + command + "'");
  }
  std::string peerOutput(const std::string& command) {
    return PrivateNetwork::output("ip netns exec " + peer_ + " " + command + " 2>/dev/null");
  }
  // Starts a peer program in the background; its output goes to file.
  void background(const std::string& command, const std::string& file) {
    const std::string pid = PrivateNetwork::output("ip netns exec " + peer_ + " " + command + " >" + file +
                                                   " 2>&1 & echo $!");
    background_.push_back(std::stoi(pid));
  }
  static std::string fileText(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string scratch(const char* name) const { return network_.dataRootDir() + "/" + name; }
  void startResponder() {
    ASSERT_TRUE(startBonjourTask(nif_));
    ASSERT_TRUE(eventually([] { return bonjourRunning() > 0; }));
  }
  void stopResponder() {
    const int id = bonjourRunning();
    if (id <= 0) return;
    postToTaskId(id, TaskMessage{0, MSG_QUIT, 0, 0});
    EXPECT_TRUE(eventually([] { return bonjourRunning() == -1 && bonjourTasks() == 0; }));
  }
  std::string dig(const std::string& options = "") {
    return peerOutput("dig -p 5353 @10.8.0.1 HUB-35307.local A +short +tries=1 +time=2 " + options);
  }
  std::string browse(const std::string& types) {
    return peerOutput("/usr/bin/python3 " + kTool + " browse 10.8.0.2 10 " + types);
  }

  // Sends raw datagrams from the peer namespace to the group.
  void sendFromPeer(const std::vector<std::vector<uint8_t>>& messages) {
    const int fd = udpSocketInNamespace(peer_, "10.8.0.2", 0, true);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5353);
    inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
    for (const std::vector<uint8_t>& m : messages)
      ::sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  }

  std::string peer_;
  std::vector<int> background_;
};

TEST_F(BonjourTaskTest, BrowsersAndLegacyQueriesFindTheDefaultNames) {
  startResponder();
  EXPECT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
  const std::string found = browse("_http._tcp.local. _https._tcp.local.");
  EXPECT_NE(found.find("myHub-20D@HUB-35307._http._tcp.local.|80|HUB-35307.local.|10.8.0.1"), std::string::npos)
      << found;
  EXPECT_NE(found.find("myHub-20D@HUB-35307._https._tcp.local.|443|HUB-35307.local.|10.8.0.1"), std::string::npos)
      << found;
}

TEST_F(BonjourTaskTest, UnicastQueriesFromOutsideTheSubnetAreNotAnswered) {
  ASSERT_TRUE(inPeer("ip addr add 192.0.2.9/32 dev peer0"));
  ASSERT_TRUE(PrivateNetwork::run("ip route add 192.0.2.0/24 via 10.8.0.2"));
  startResponder();
  EXPECT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
  const std::string offLink = dig("-b 192.0.2.9");
  EXPECT_NE(offLink.rfind("10.8.0.1\n", 0), 0u) << offLink;
  EXPECT_NE(offLink.find("timed out"), std::string::npos) << offLink;
  EXPECT_EQ(dig(), "10.8.0.1\n");
}

TEST_F(BonjourTaskTest, ASecondResponderHoldingTheNameMakesItRenameAndKeepTheNewName) {
  setParam("bonjour_name", "Office");
  background("/usr/bin/python3 " + kTool + " respond 10.8.0.2 60 'Office (2)' _http._tcp.local. Other.local. 80",
             scratch("responder.out"));
  ASSERT_TRUE(eventually([&] { return fileText(scratch("responder.out")).find("registered") != std::string::npos; }))
      << fileText(scratch("responder.out"));
  startResponder();
  ASSERT_TRUE(eventually([] { return paramText("bonjour_name") == "Office (3)"; })) << paramText("bonjour_name");
  EXPECT_STREQ(bonjourInstanceName(), "Office (3)");
  const std::string found = browse("_https._tcp.local.");
  EXPECT_NE(found.find("Office (3)._https._tcp.local.|443|HUB-35307.local.|10.8.0.1"), std::string::npos) << found;
  EXPECT_NE(fileText(network_.dataRootDir() + "/etc/params.dat").find("Office (3)"), std::string::npos);
}

TEST_F(BonjourTaskTest, SwitchingOffSaysGoodbyeAndSwitchingOnStartsAgain) {
  background("/usr/bin/python3 " + kTool + " listen 10.8.0.2 30", scratch("listen.out"));
  ASSERT_TRUE(eventually([&] { return fileText(scratch("listen.out")).find("listening") != std::string::npos; }));
  startResponder();
  const int first = bonjourRunning();
  ASSERT_TRUE(eventually([&] { return fileText(scratch("listen.out")).find("_http._tcp.local. 12 7200") != std::string::npos; }))
      << fileText(scratch("listen.out"));
  setParam("bonjour", "off");
  paramStore.resetModified();
  broadcastToTasks(TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0});
  EXPECT_TRUE(eventually([] { return bonjourRunning() == -1 && bonjourTasks() == 0; }));
  EXPECT_TRUE(eventually([&] { return fileText(scratch("listen.out")).find("_http._tcp.local. 12 0") != std::string::npos; }))
      << fileText(scratch("listen.out"));
  setParam("bonjour", "on");
  startResponder();
  EXPECT_NE(bonjourRunning(), first);
  EXPECT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
}

TEST_F(BonjourTaskTest, OddPacketsOnTheLinkLeaveTheResponderAnswering) {
  startResponder();
  ASSERT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
  auto header = [](uint8_t questions, uint8_t answers) {
    return std::vector<uint8_t>{0, 0, 0, 0, 0, questions, 0, answers, 0, 0, 0, 0};
  };
  auto with = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> host = with(DnsBuilder::encodeName("HUB-35307.local"), {0, 1, 0, 1});
  sendFromPeer({
      with(header(1, 0), {0xC0, 12, 0, 1, 0, 1}),                    // a pointer to itself
      with(header(1, 0), {0xC0, 14, 0xC0, 12, 0, 1, 0, 1}),          // two pointers in a cycle
      with(header(1, 0), {0xC0, 20, 0, 1, 0, 1, 0, 0, 0, 0}),        // a forward pointer
      with(header(1, 0), {30, 'H', 'U', 'B'}),                       // a name leaving the packet
      with(header(9, 0), host),                                      // counts beyond the records
      with(header(0, 1), with(DnsBuilder::encodeName("HUB-35307.local"), {0, 1, 0, 1, 0, 0, 0, 9, 0xFF, 0xFF})),
      std::vector<uint8_t>(5, 0xFF),
      std::vector<uint8_t>(3000, 0xC0),
  });
  EXPECT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
  EXPECT_EQ(bonjourTasks(), 1);
}

TEST_F(BonjourTaskTest, TwoQuickStartsLeaveOneResponder) {
  ASSERT_TRUE(startBonjourTask(nif_));
  ASSERT_TRUE(startBonjourTask(nif_));
  ASSERT_TRUE(eventually([] { return bonjourRunning() > 0 && bonjourTasks() == 1; }));
  const int running = bonjourRunning();
  EXPECT_TRUE(eventually([&] { return dig() == "10.8.0.1\n"; }));
  EXPECT_EQ(bonjourRunning(), running);
  EXPECT_EQ(bonjourTasks(), 1);
}

}  // namespace

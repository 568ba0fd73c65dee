// The packet filter in a private namespace: the rules it installs as
// iptables shows them, the test mode across starts, and traffic from a
// peer namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "net/filter/packetfilter.h"
#include "net/support/netfixture.h"
#include "params/store/paramstore.h"

namespace {

const char* const kFilterKeys[] = {"protection", "protection_level", "protection_test", "zov_port", "zov_sslport"};

class PacketFilterTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    for (const char* key : kFilterKeys) params_.save(key);
    for (const char* stem : {"ip_filter_", "ip_filter_on_", "hw_filter_", "hw_filter_on_"}) params_.saveFamily(stem, 8);
    for (int n = 1; n <= 8; ++n) {
      setParam(("ip_filter_on_" + std::to_string(n)).c_str(), "off");
      setParam(("hw_filter_on_" + std::to_string(n)).c_str(), "off");
    }
    setParam("protection_level", "protec_zov");
    setParam("protection_test", "off");
    ASSERT_TRUE(PrivateNetwork::run("mkdir -p " + network_.dataRootDir() + "/etc"));
    if (!PrivateNetwork::run("iptables-legacy -S INPUT")) GTEST_SKIP() << "no legacy filter table here";
  }
  void TearDown() override {
    if (!IsSkipped()) flushPacketFilter();
    if (!peerNamespace_.empty()) PrivateNetwork::run("ip netns del " + peerNamespace_);
    NetworkTest::TearDown();
  }

  // The rules of chain INPUT, without the policy line.
  static std::vector<std::string> rules() {
    std::vector<std::string> lines;
    std::istringstream in(PrivateNetwork::output("iptables-legacy -S INPUT"));
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, 3, "-A ") == 0) lines.push_back(line);
    return lines;
  }

  std::string savedFile() const {
    std::ifstream in(network_.dataRootDir() + "/etc/params.dat");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // peer0 in a namespace of its own with 192.168.1.2/24 and 10.9.9.2/24;
  // eth0 192.168.1.1/24 and 10.9.9.1/24; a listener on 9200 in ours.
  void makePeer() {
    peerNamespace_ = "pfpeer" + std::to_string(::getpid());
    ASSERT_TRUE(PrivateNetwork::run("ip netns add " + peerNamespace_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set peer0 netns " + peerNamespace_));
    ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 up && ip addr add 192.168.1.1/24 dev eth0 && "
                                    "ip addr add 10.9.9.1/24 dev eth0 && ip link set lo up"));
    ASSERT_TRUE(PrivateNetwork::run(peer("ip link set peer0 up && ip link set peer0 address 02:00:00:00:00:02 && "
                                         "ip addr add 192.168.1.2/24 dev peer0 && ip addr add 10.9.9.2/24 dev peer0")));
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener_, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9200);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 8), 0);
  }
  std::string peer(const std::string& command) const {
    return "ip netns exec " + peerNamespace_ + " sh -c '" + command + "'";
  }
  // A TCP connection from the peer's source address to ours on 9200.
  bool reaches(const char* from, const char* to) const {
    return PrivateNetwork::run(peer(std::string("socat -u OPEN:/dev/null TCP:") + to +
                                    ":9200,bind=" + from + ",connect-timeout=1"));
  }

  std::string peerNamespace_;
  int listener_ = -1;

 public:
  ~PacketFilterTest() override {
    if (listener_ >= 0) ::close(listener_);
  }
};

TEST_F(PacketFilterTest, StartsInstallTheRulesOfTheParameters) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> params;
    int result;
    std::vector<std::string> rules;
  } cases[] = {
      {"address pattern, USB server ports",
       {{"protection", "on"}, {"ip_filter_1", "192.168.1.*"}, {"ip_filter_on_1", "on"}},
       1,
       {"-A INPUT -s 192.168.1.0/24 -j ACCEPT", "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP"}},
      {"MAC, all TCP",
       {{"protection", "on"}, {"protection_level", "protec_tcp"}, {"hw_filter_3", "02:aa:bb:cc:dd:ee"},
        {"hw_filter_on_3", "on"}},
       1,
       {"-A INPUT -m mac --mac-source 02:aa:bb:cc:dd:ee -j ACCEPT", "-A INPUT -p tcp -j DROP"}},
      {"addresses before MACs, everything dropped",
       {{"protection", "on"}, {"protection_level", "protec_all"}, {"hw_filter_1", "02:aa:bb:cc:dd:ee"},
        {"hw_filter_on_1", "on"}, {"ip_filter_2", "10.1.2.3"}, {"ip_filter_on_2", "on"}},
       1,
       {"-A INPUT -s 10.1.2.3/32 -j ACCEPT", "-A INPUT -m mac --mac-source 02:aa:bb:cc:dd:ee -j ACCEPT",
        "-A INPUT -j DROP"}},
      {"ports of the parameters",
       {{"protection", "on"}, {"zov_port", "9300"}, {"zov_sslport", "9543"}, {"ip_filter_1", "10.*"},
        {"ip_filter_on_1", "on"}},
       1,
       {"-A INPUT -s 10.0.0.0/8 -j ACCEPT", "-A INPUT -p tcp -m multiport --dports 9300,9543 -j DROP"}},
      {"a lone star accepts everyone",
       {{"protection", "on"}, {"ip_filter_1", "*"}, {"ip_filter_on_1", "on"}},
       1,
       {"-A INPUT -j ACCEPT", "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP"}},
      {"unusable patterns: no rule, no DROP",
       {{"protection", "on"}, {"ip_filter_1", "10.1"}, {"ip_filter_on_1", "on"}, {"ip_filter_2", "300.1.1.1"},
        {"ip_filter_on_2", "on"}},
       0,
       {}},
      {"pattern switched off",
       {{"protection", "on"}, {"ip_filter_1", "192.168.1.*"}},
       0,
       {}},
      {"protection off", {{"ip_filter_1", "192.168.1.*"}, {"ip_filter_on_1", "on"}}, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ParamRestorer restore;
    for (const char* key : kFilterKeys) restore.save(key);
    for (const char* stem : {"ip_filter_", "ip_filter_on_", "hw_filter_", "hw_filter_on_"}) restore.saveFamily(stem, 8);
    setParam("protection", "off");
    for (const auto& kv : c.params) setParam(kv.first, kv.second);
    // Whatever the chain held before the start is gone after it.
    ASSERT_TRUE(PrivateNetwork::run("iptables-legacy -A INPUT -s 203.0.113.9 -j DROP"));
    EXPECT_EQ(applyPacketFilter(), c.result);
    EXPECT_EQ(rules(), c.rules);
  }
}

TEST_F(PacketFilterTest, TestModeSwitchesAnUnconfirmedFilterOffAtTheNextStart) {
  setParam("protection", "on");
  setParam("protection_test", "on");
  setParam("ip_filter_1", "192.168.1.*");
  setParam("ip_filter_on_1", "on");

  EXPECT_EQ(applyPacketFilter(), 1);
  EXPECT_EQ(paramText("protection_test"), "test");
  EXPECT_NE(savedFile().find("protection_test = test"), std::string::npos) << savedFile();
  EXPECT_EQ(rules().size(), 2u);

  // Nobody confirmed, and the run never reached its end (the rules are
  // still there): the next start runs without filter, which stays off.
  EXPECT_EQ(applyPacketFilter(), 0);
  EXPECT_EQ(paramText("protection"), "off");
  EXPECT_EQ(paramText("protection_test"), "on");
  EXPECT_TRUE(rules().empty());
  EXPECT_EQ(savedFile().find("protection_test = test"), std::string::npos) << savedFile();

  EXPECT_EQ(applyPacketFilter(), 0);
  EXPECT_EQ(paramText("protection_test"), "on");
  EXPECT_TRUE(rules().empty());
}

TEST_F(PacketFilterTest, FilterWithoutAcceptRulesBlocksNothingButArmsTheTest) {
  setParam("protection", "on");
  setParam("protection_test", "on");
  EXPECT_EQ(applyPacketFilter(), 0);
  EXPECT_TRUE(rules().empty());
  EXPECT_EQ(paramText("protection_test"), "test");
}

TEST_F(PacketFilterTest, EndEmptiesTheChain) {
  setParam("protection", "on");
  setParam("ip_filter_1", "10.*");
  setParam("ip_filter_on_1", "on");
  ASSERT_EQ(applyPacketFilter(), 1);
  EXPECT_EQ(flushPacketFilter(), 1);
  EXPECT_TRUE(rules().empty());
}

TEST_F(PacketFilterTest, PeerReachesTheUsbServerOnlyFromAllowedSources) {
  makePeer();
  ASSERT_TRUE(reaches("10.9.9.2", "10.9.9.1")) << "no filter yet";

  setParam("protection", "on");
  setParam("ip_filter_1", "192.168.1.*");
  setParam("ip_filter_on_1", "on");
  ASSERT_EQ(applyPacketFilter(), 1);
  EXPECT_TRUE(reaches("192.168.1.2", "192.168.1.1"));
  EXPECT_FALSE(reaches("10.9.9.2", "10.9.9.1"));

  setParam("ip_filter_on_1", "off");
  setParam("hw_filter_1", "02:00:00:00:00:02");
  setParam("hw_filter_on_1", "on");
  setParam("protection_test", "off");
  ASSERT_EQ(applyPacketFilter(), 1);
  EXPECT_TRUE(reaches("10.9.9.2", "10.9.9.1"));
  ASSERT_TRUE(PrivateNetwork::run(peer("ip link set peer0 address 02:00:00:00:00:03")));
  EXPECT_FALSE(reaches("10.9.9.2", "10.9.9.1"));
}

}  // namespace

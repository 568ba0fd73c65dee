// "ArpPing" on a veth whose far end lies in a second namespace: which echo
// requests give the device its address; and the gratuitous ARP frame on
// the wire.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "net/address/addresssetters.h"
#include "net/address/arppingtask.h"
#include "net/address/gratuitousarp.h"
#include "net/address/zeroconf.h"
#include "net/interface/netinterface.h"
#include "net/support/clienttask.h"
#include "net/support/dhcpserver.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"

namespace {

std::string macText(const uint8_t mac[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

// Nothing waits in the receive queue of any packet socket of the
// namespace: the task has read every frame sent so far.
bool packetQueuesEmpty() {
  std::ifstream in("/proc/net/packet");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    char sk[32];
    unsigned refCount, type, protocol, ifIndex, running, rmem;
    if (std::sscanf(line.c_str(), "%31s %u %u %x %u %u %u", sk, &refCount, &type, &protocol, &ifIndex, &running,
                    &rmem) == 7 && rmem != 0)
      return false;
  }
  return true;
}

class ArpPingTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    params_.save("ip_auto");
    PrivateNetwork::run("mkdir -p " + network_.dataRootDir() + "/etc");
    std::string why;
    if (!peer_.create(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(peer_.runInside("ip addr add 192.168.1.2/24 dev peer0"));
    ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 up"));
    uint8_t mac[6];
    ASSERT_EQ(nif_.getMacAddress(mac), 1);
    mac_ = macText(mac);
    setParam("ip_mask", "0.0.0.0");
    IpAddress zeroconf;
    makeZeroconfAddress(zeroconf, nif_);
    setAsInterfaceAddress(zeroconf, nif_, "zconf", 1);
    nif_.routeLinkLocal();
    zeroconf_ = paramText("ip_addr");
  }
  void TearDown() override {
    EXPECT_TRUE(quitTasksNamed("ArpPing"));
    NetworkTest::TearDown();
  }

  void startTask() {
    ArpPingTask* task = new ArpPingTask(&nif_);
    ASSERT_GT(task->start(20480), 0);
  }

  // Sends crafted frames from the far end; false without scapy.
  bool sendFrames(const std::string& specs) {
    const std::string peerMac = PrivateNetwork::output("ip -n " + peer_.namespaceName() +
                                                       " -br link show peer0 | awk '{print $3}'");
    return peer_.runInside("/usr/bin/python3 " + std::string(TEST_SOURCE_DIR) +
                           "/tests/net/tools/send_echo_requests.py peer0 " + peerMac.substr(0, 17) + " " + specs);
  }

  // An echo request by ping, to a static neighbour entry for the address.
  void ping(const char* address) {
    peer_.runInside(std::string("ip neigh replace ") + address + " lladdr " + mac_ + " dev peer0 nud permanent");
    peer_.runInside(std::string("ping -c 1 -W 1 ") + address);
  }

  DhcpServer peer_;  // the far end's namespace; no server is started
  std::string mac_;
  std::string zeroconf_;
};

TEST_F(ArpPingTest, OnlyAnEchoRequestToTheMacAndAHostAddressIsTaken) {
  startTask();
  const std::string toUs = mac_;
  const std::string broadcast = "ff:ff:ff:ff:ff:ff";
  // Refused, in this order: multicast, subnet broadcast, link-local,
  // loopback, and a broadcast frame to a /25's broadcast address.
  if (!sendFrames("01:00:5e:00:00:01,224.0.0.1 " + toUs + ",192.168.1.255 " + toUs + ",169.254.7.7 " + toUs +
                  ",127.0.0.1 " + broadcast + ",192.168.1.127"))
    GTEST_SKIP() << "python3-scapy is not usable";
  ping("192.168.1.20");
  ASSERT_TRUE(waitUntil([] { return paramText("ip_setby") == "ping"; }, 10000)) << paramText("ip_addr");
  EXPECT_EQ(paramText("ip_addr"), "192.168.1.20");
  EXPECT_EQ(paramText("ip_mask"), "255.255.255.0");
  EXPECT_NE(addressLines("eth0").find("192.168.1.20/24"), std::string::npos) << addressLines("eth0");
  EXPECT_TRUE(waitUntil([] { return tasksNamed("ArpPing") == 0; })) << "the task ends once it took an address";
  // The kernel now answers.
  EXPECT_TRUE(peer_.runInside("ping -c 1 -W 2 192.168.1.20"));
}

TEST_F(ArpPingTest, HeaderOptionsDoNotHideTheEchoRequest) {
  startTask();
  if (!sendFrames(mac_ + ",10.20.30.40,options")) GTEST_SKIP() << "python3-scapy is not usable";
  ASSERT_TRUE(waitUntil([] { return paramText("ip_setby") == "ping"; }, 10000)) << paramText("ip_addr");
  EXPECT_EQ(paramText("ip_addr"), "10.20.30.40");
  EXPECT_EQ(paramText("ip_mask"), "255.0.0.0");
}

TEST_F(ArpPingTest, NothingOnceTheAddressIsRoutable) {
  startTask();
  setParam("ip_addr", "10.1.1.1");
  setParam("ip_setby", "http");
  ping("192.168.1.20");
  ASSERT_TRUE(waitUntil(packetQueuesEmpty));
  EXPECT_EQ(paramText("ip_addr"), "10.1.1.1");
  EXPECT_EQ(paramText("ip_setby"), "http");
}

TEST_F(ArpPingTest, GratuitousArpLeavesOnTheWire) {
  // Listen on the device's own end, where the frame it sends is seen as
  // outgoing (an old-style packet socket marks it with no ethertype, so
  // every frame is read and the ARP one picked out).
  const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  ASSERT_GE(fd, 0);
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(ETH_P_ALL);
  at.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  IpAddress address;
  parseIpAddress(address, "192.168.1.20");
  ASSERT_EQ(sendGratuitousArp(nif_, address), 1);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  uint8_t frame[2048];
  ssize_t got = -1;
  for (int i = 0; i < 50; ++i) {
    got = ::recv(fd, frame, sizeof frame, 0);
    if (got < 0 || (got >= 14 && frame[12] == 0x08 && frame[13] == 0x06)) break;
  }
  ::close(fd);
  ASSERT_EQ(got, 42);
  uint8_t mac[6];
  nif_.getMacAddress(mac);
  uint8_t expected[kGratuitousArpSize];
  buildGratuitousArp(mac, address.ip4Word(), expected);
  EXPECT_EQ(0, std::memcmp(frame, expected, sizeof expected));
  EXPECT_EQ(frame[21], 2) << "an ARP reply";
}

}  // namespace

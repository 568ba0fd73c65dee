// Connections in a private network namespace: routes that drop packets,
// devices named like VLAN devices, multicast groups and packet sockets.
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "runtime/socket/connectionsettings.h"
#include "runtime/support/connection_fixtures.h"
#include "runtime/support/connection_netns.h"
#include "runtime/task_test_util.h"

namespace {

using conntest::address;
using conntest::FakeInterface;
using conntest::shell;
using conntest::shellOutput;
using namespace std::chrono_literals;

// A host behind eth0 with a fixed link-layer address that nobody owns: its
// packets leave and are dropped without an answer. (A blackhole route would
// refuse a local connect at once instead.)
const char kDroppedHost[] = "10.0.0.2";

bool makeSilentHost() {
  return shell("ip link add eth0 type veth peer name peer0") &&
         shell("ip addr add 10.0.0.1/24 dev eth0 && ip link set eth0 up && ip link set peer0 up") &&
         shell(std::string("ip neigh add ") + kDroppedHost + " lladdr 02:00:00:00:00:02 dev eth0 nud permanent");
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string boundDevice(int fd) {
  char name[IFNAMSIZ + 1] = {};
  socklen_t length = IFNAMSIZ;
  if (getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &length) != 0) return "?";
  return name;
}

TEST(ConnectionNetns, ConnectToADroppedPortTimesOutWithoutSpinning) {
  RUN_IN_PRIVATE_NETWORK([] {
    ASSERT_TRUE(makeSilentHost());
    Connection c(nullptr, nullptr, -1);
    ASSERT_EQ(c.open(AF_INET, SOCK_STREAM, 0), 1);
    c.peer = address(kDroppedHost, 80);
    const double cpuBefore = conntest::threadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(c.connect(60), 0);
    const double wall = secondsSince(start);
    const double cpu = conntest::threadCpuSeconds() - cpuBefore;
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(wall, 0.5);
    EXPECT_LT(wall, 20.0);
    EXPECT_LT(cpu, 0.5 * wall) << "connect spun while waiting";
    EXPECT_NE(c.state, CONN_STATE_CONNECTED);
  });
}

// A task connects to the dropped port; the test posts to it meanwhile.
TEST(ConnectionNetns, AParameterChangeEndsAConnectWait) {
  RUN_IN_PRIVATE_NETWORK([] {
    ASSERT_TRUE(makeSilentHost());
    for (int timeout : {0, 3000}) {  // no limit, and a limit far away
      SCOPED_TRACE(timeout);
      auto probe = std::make_shared<tasktest::TaskProbe>();
      Task* task = tasktest::startTask("Connector", probe, [timeout](tasktest::ProbeTask& self) {
        Connection c(&self, nullptr, -1);
        if (!c.open(AF_INET, SOCK_STREAM, 0)) return;
        c.peer = address(kDroppedHost, 80);
        self.probe().report(1000);
        self.probe().report(c.connect(timeout));
      });
      ASSERT_NE(task, nullptr);
      ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return !p.results.empty(); }));

      ASSERT_EQ(task->post(tasktest::message(MSG_ADDRESS_CHANGED)), 0);
      ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return p.handled.size() == 1; }));
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(probe->resultsCopy().size(), 1u) << "served, but the connect goes on";

      const auto posted = std::chrono::steady_clock::now();
      ASSERT_EQ(task->post(tasktest::message(MSG_PARAMS_CHANGED)), 0);
      ASSERT_TRUE(probe->waitUntil([](tasktest::TaskProbe& p) { return p.results.size() == 2; }, 20s));
      EXPECT_EQ(probe->resultsCopy()[1], 0);
      EXPECT_LT(secondsSince(posted), 10.0);
      EXPECT_TRUE(tasktest::taskEnded(*probe));
    }
  });
}

TEST(ConnectionNetns, MulticastGroupsAreJoinedOnTheInterface) {
  RUN_IN_PRIVATE_NETWORK([] {
    ASSERT_TRUE(shell("ip link add eth0 type veth peer name peer0"));
    ASSERT_TRUE(shell("ip addr add 10.0.0.1/24 dev eth0 && ip link set eth0 up && ip link set peer0 up"));
    FakeInterface eth0("eth0", "10.0.0.1");

    Connection group(nullptr, &eth0, -1);
    ASSERT_EQ(group.open(AF_INET, SOCK_DGRAM, 0), 1);
    IpAddress mdns;
    parseIpAddress(mdns, "224.0.0.251");
    ASSERT_EQ(group.bindMulticast(5353, mdns, 1), 1);
    EXPECT_EQ(group.port, 5353);
    EXPECT_EQ(group.local.port(), 5353);
    const std::string groups = shellOutput("ip maddr show dev eth0");
    EXPECT_NE(groups.find("224.0.0.251"), std::string::npos) << groups;

    Connection plain(nullptr, &eth0, -1);  // no group: bound to the any address
    ASSERT_EQ(plain.open(AF_INET, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(plain.bindPort(5353, 1, 0, 0), 1);
    EXPECT_STREQ(ipText(plain.local), "0.0.0.0");
    EXPECT_EQ(plain.local.port(), 5353);

    Connection unicast(nullptr, &eth0, -1);  // bindPort without multicast
    ASSERT_EQ(unicast.open(AF_INET, SOCK_DGRAM, 0), 1);
    ASSERT_EQ(unicast.bindPort(5354, 0, 0, 0), 1);
    EXPECT_STREQ(ipText(unicast.local), "10.0.0.1");
  });
}

TEST(ConnectionNetns, BindsToTheDeviceOfItsVlan) {
  RUN_IN_PRIVATE_NETWORK([] {
    // A veth pair named like the VLAN device stands in for one.
    ASSERT_TRUE(shell("ip link add eth0 type veth peer name peer0"));
    ASSERT_TRUE(shell("ip link add eth0.5 type veth peer name peer5"));
    FakeInterface eth0("eth0");

    struct Case {
      InterfaceView* iface;
      int vlan;
      int expected;
      const char* device;
    };
    const Case cases[] = {
        {&eth0, -1, 1, "eth0"},
        {&eth0, 5, 1, "eth0.5"},
        {&eth0, 9, 0, ""},      // no such device
        {nullptr, -1, 0, ""},   // "NoIFace"
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.vlan);
      Connection conn(nullptr, c.iface, c.vlan);
      ASSERT_EQ(conn.open(AF_INET, SOCK_DGRAM, 0), 1);
      EXPECT_EQ(conn.bindToInterface(), c.expected);
      if (c.expected) {
        EXPECT_EQ(boundDevice(conn.fd), c.device);
      }
    }

    Connection indexed(nullptr, &eth0, -1);
    EXPECT_EQ(indexed.interfaceIndex(), static_cast<int>(if_nametoindex("eth0")));
    FakeInterface missing("nosuch0");
    Connection unknown(nullptr, &missing, -1);
    EXPECT_EQ(unknown.interfaceIndex(), -1);
  });
}

FakeInterface* activeForTest = nullptr;
int managementVlanForTest = -1;

TEST(ConnectionNetns, Force2faceBindsToTheManagementVlan) {
  RUN_IN_PRIVATE_NETWORK([] {
    ASSERT_TRUE(shell("ip link add eth0 type veth peer name peer0"));
    ASSERT_TRUE(shell("ip link add eth0.7 type veth peer name peer7"));
    static FakeInterface eth0("eth0");
    activeForTest = &eth0;
    setConnectionSettings(ConnectionSettings{nullptr, [] { return managementVlanForTest; },
                                             []() -> InterfaceView* { return activeForTest; }});
    struct Case {
      int management;
      const char* device;
    };
    for (const Case& c : {Case{7, "eth0.7"}, Case{-1, "eth0"}}) {
      SCOPED_TRACE(c.device);
      managementVlanForTest = c.management;
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      ASSERT_GT(fd, 0);
      EXPECT_EQ(force2face(fd), 0);
      EXPECT_EQ(boundDevice(fd), c.device);
      ::close(fd);
    }
    managementVlanForTest = 8;  // no device eth0.8
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(force2face(fd), -1);
    ::close(fd);
  });
}

TEST(ConnectionNetns, PacketSocketsSendToTheLinkLayerAddress) {
  RUN_IN_PRIVATE_NETWORK([] {
    ASSERT_TRUE(shell("ip link add eth0 type veth peer name peer0"));
    ASSERT_TRUE(shell("ip link set eth0 up && ip link set peer0 up"));
    const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const uint8_t none[6] = {};

    Connection sender(nullptr, nullptr, -1), receiver(nullptr, nullptr, -1);
    ASSERT_EQ(sender.open(AF_PACKET, SOCK_DGRAM, htons(0x0800)), 1);
    ASSERT_EQ(receiver.open(AF_PACKET, SOCK_DGRAM, htons(0x0800)), 1);
    ASSERT_EQ(receiver.bindPacket(static_cast<int>(if_nametoindex("peer0")), none), 1);
    ASSERT_EQ(sender.bindPacket(static_cast<int>(if_nametoindex("eth0")), broadcast), 1);
    EXPECT_EQ(sender.local.family(), CONN_FAMILY_PACKET);

    char frame[64];
    for (size_t i = 0; i < sizeof frame; ++i) frame[i] = static_cast<char>(i);
    ASSERT_EQ(sender.sendRaw(frame, sizeof frame, 0), static_cast<int>(sizeof frame));
    ByteBuffer buffer;
    ASSERT_EQ(receiver.receive(buffer, 300), static_cast<int>(sizeof frame));
    EXPECT_EQ(std::memcmp(buffer.base, frame, sizeof frame), 0);

    Connection closed(nullptr, nullptr, -1);
    EXPECT_EQ(closed.sendRaw(frame, sizeof frame, 0), CONN_BROKEN);
  });
}

}  // namespace

// The agent task in this process, managed with Debian's snmpget from a
// namespace of its own, with traps received by Debian's snmptrapd.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "snmp/snmpdconf.h"
#include "snmp/support/agentnet.h"
#include "snmp/trapoutbox.h"

namespace {

const char kSysName[] = "1.3.6.1.2.1.1.5.0";

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void broadcastParamsChanged() {
  TaskMessage msg{0, MSG_PARAMS_CHANGED, 0, 0};
  broadcastToTasks(msg);
}

// An enterprise-specific record: 6, 51, an INTEGER and an OCTET STRING.
SnmpTrapRecord eventTrap(int32_t number, const char* text) {
  SnmpTrapRecord r{};
  r.easy = false;
  r.generic = 6;
  r.specific = 51;
  r.varbindCount = 2;
  const uint32_t base[] = {1, 3, 6, 1, 4, 1, 32473, 2, 1};
  for (int i = 0; i < 2; ++i) {
    SnmpTrapVarbind& v = r.varbinds[i];
    std::memcpy(v.oid, base, sizeof base);
    v.oid[9] = static_cast<uint32_t>(i + 1);
    v.oidLength = 10;
  }
  r.varbinds[0].type = 0x02;
  r.varbinds[0].valueLength = sizeof number;
  std::memcpy(r.varbinds[0].value, &number, sizeof number);
  r.varbinds[1].type = 0x04;
  r.varbinds[1].valueLength = static_cast<int32_t>(std::strlen(text));
  std::memcpy(r.varbinds[1].value, text, std::strlen(text));
  return r;
}

using AgentTest = AgentNetTest;

TEST_F(AgentTest, ParameterChangeRewritesTheFileAndTheAgentRereadsIt) {
  startAgent();
  ASSERT_TRUE(params_.set("snmpv1_community", "fresh-comm"));
  broadcastParamsChanged();
  EXPECT_TRUE(answersWithin(kAgentAddress, "fresh-comm", 40));
  EXPECT_NE(readText(root_ + "/var/snmpd.conf").find("rwcommunity  fresh-comm\n"), std::string::npos);
  EXPECT_EQ(get(kAgentAddress, "tavrin", kSysName), "");
  // The users of the re-read file still reach the whole tree.
  EXPECT_NE(peer(std::string("snmpget -v3 -u Admin -l noAuthNoPriv -t 1 -r 1 -Oqv ") + kAgentAddress + " " + kSysName),
            "");
}

TEST_F(AgentTest, SysUpTimeIsTheProgramClock) {
  // The program has run an hour before its agent starts.
  shiftUptimeForTesting(360000);
  startAgent();
  const std::string upTime =
      std::string("snmpget -v2c -c tavrin -t 0.5 -r 1 -Oqvt ") + kAgentAddress + " 1.3.6.1.2.1.1.3.0";
  long first = std::atol(peer(upTime).c_str());
  EXPECT_GE(first, 360000);
  shiftUptimeForTesting(8640000);  // a day on
  long later = std::atol(peer(upTime).c_str());
  EXPECT_GE(later - first, 8640000);
  EXPECT_LT(later - first, 2 * 8640000);  // moved once
}

TEST_F(AgentTest, MessagesWithoutMeaningChangeNothing) {
  startAgent();
  // A non-zero fourth word announced payload bytes once; nothing follows
  // them on the pipe, and the next message must still be served.
  TaskMessage odd{0, 0x00400000, 7, 64};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(postToTasksNamed("NET-SNMPD", odd), 1);
  EXPECT_NE(get(kAgentAddress, "tavrin", kSysName), "");
  ASSERT_TRUE(params_.set("snmpv1_community", "after-odd"));
  broadcastParamsChanged();
  EXPECT_TRUE(answersWithin(kAgentAddress, "after-odd", 40));
}

TEST_F(AgentTest, ManagementVlanMovesTheAgentsSockets) {
  // A veth named like the VLAN device stands in for it.
  ASSERT_TRUE(shell("ip link add eth0.5 type veth peer name peer5 netns " + peerNs_ +
                    " && ip addr add 198.51.100.1/24 dev eth0.5 && ip link set eth0.5 up"));
  ASSERT_TRUE(shell("ip netns exec " + peerNs_ + " sh -c 'ip addr add 198.51.100.2/24 dev peer5 && ip link set peer5 up'"));
  startAgent();
  ASSERT_TRUE(params_.set("ip4vlan_mgmt_id", "5"));
  ASSERT_TRUE(params_.set("ip4vlan_mgmt", "on"));
  broadcastParamsChanged();
  EXPECT_TRUE(answersWithin("198.51.100.1", "tavrin", 40));
  EXPECT_EQ(get(kAgentAddress, "tavrin", kSysName), "");

  ASSERT_TRUE(params_.set("ip4vlan_mgmt", "off"));
  broadcastParamsChanged();
  EXPECT_TRUE(answersWithin(kAgentAddress, "tavrin", 40));
  EXPECT_EQ(get("198.51.100.1", "tavrin", kSysName), "");
}

class TrapReceiver {
 public:
  // snmptrapd on the managers' side, printing every trap it accepts.
  TrapReceiver(const std::string& root, const std::string& ns) : root_(root), ns_(ns) {
    std::ofstream(root_ + "/trapd.conf") << "disableAuthorization yes\n";
    std::string cmd = "ip netns exec " + ns_ + " env SNMP_PERSISTENT_DIR=" + root_ + "/peer snmptrapd -f -Lo -On -C -c " +
                      root_ + "/trapd.conf -n udp:" + kPeerAddress + ":162 >" + root_ + "/traps.txt 2>&1 & echo $!";
    FILE* p = popen(cmd.c_str(), "r");
    if (p) {
      if (std::fscanf(p, "%d", &pid_) != 1) pid_ = -1;
      pclose(p);
    }
  }
  ~TrapReceiver() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  bool running() const { return pid_ > 0; }
  std::string log() const { return readText(root_ + "/traps.txt"); }
  // Waits until the log holds `count` traps or tries run out.
  bool waitFor(int count, int tries) const {
    for (int i = 0; i < tries; ++i) {
      if (traps() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return traps() >= count;
  }
  int traps() const {
    std::string text = log();
    int n = 0;
    for (size_t at = text.find("TRAP, SNMP v1"); at != std::string::npos; at = text.find("TRAP, SNMP v1", at + 1)) n++;
    return n;
  }

 private:
  std::string root_;
  std::string ns_;
  int pid_ = -1;
};

TEST_F(AgentTest, QueuedTrapsReachTheSinkAndAreCounted) {
  if (access("/usr/sbin/snmptrapd", X_OK) != 0) GTEST_SKIP() << "needs Debian's snmptrapd package";
  TrapReceiver receiver(root_, peerNs_);
  ASSERT_TRUE(receiver.running());
  ASSERT_TRUE(params_.set("trapto_1", kPeerAddress));
  ASSERT_TRUE(params_.set("trapcommu_1", "public"));
  startAgent();
  ASSERT_EQ(trapSinkCounters[0].load(), 0);
  ASSERT_EQ(trapSinkCounters[1].load(), -1);
  // Until snmptrapd listens, nothing is sent: wait for its start line.
  for (int i = 0; i < 100 && receiver.log().find("NET-SNMP version") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  std::thread producer([] {
    EXPECT_TRUE(queueSnmpTrap(eventTrap(4242, "port 3 attached")));
    SnmpTrapRecord start{};
    start.easy = true;
    start.generic = 1;  // warmStart
    start.specific = 17;
    EXPECT_TRUE(queueSnmpTrap(start));
  });
  producer.join();
  ASSERT_TRUE(receiver.waitFor(2, 200)) << receiver.log();
  std::string log = receiver.log();
  EXPECT_NE(log.find("Enterprise Specific Trap (51)"), std::string::npos) << log;
  EXPECT_NE(log.find(".1.3.6.1.4.1.32473.2.1.1 = INTEGER: 4242"), std::string::npos) << log;
  EXPECT_NE(log.find(".1.3.6.1.4.1.32473.2.1.2 = STRING: \"port 3 attached\""), std::string::npos) << log;
  EXPECT_NE(log.find("Warm Start Trap (17)"), std::string::npos) << log;
  EXPECT_EQ(trapSinkCounters[0].load(), 2);
  EXPECT_EQ(trapSinkCounters[1].load(), -1);

  // An ended agent's outbox refuses and counts nothing.
  ASSERT_TRUE(stopAgent());
  EXPECT_FALSE(queueSnmpTrap(eventTrap(1, "late")));
  EXPECT_EQ(trapSinkCounters[0].load(), 2);
}

TEST_F(AgentTest, TrapsFromTwoThreadsDuringAStreamOfGets) {
  ASSERT_TRUE(params_.set("trapto_1", kPeerAddress));
  ASSERT_TRUE(params_.set("trapcommu_1", "public"));
  startAgent();
  std::atomic<int> accepted{0};
  std::atomic<bool> stop{false};
  auto produce = [&](int32_t base) {
    for (int i = 0; i < 200 && !stop; ++i) {
      if (queueSnmpTrap(eventTrap(base + i, "load")))
        accepted++;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  std::thread a(produce, 1000), b(produce, 2000);
  int answered = 0;
  for (int i = 0; i < 15; ++i)
    if (!get(kAgentAddress, "tavrin", kSysName).empty()) answered++;
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(answered, 15);
  // Every accepted record is sent and counted once the agent drained them.
  for (int i = 0; i < 200 && trapSinkCounters[0].load() != accepted.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(trapSinkCounters[0].load(), accepted.load());
  EXPECT_GT(accepted.load(), 0);
}

}  // namespace

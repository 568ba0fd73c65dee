#include "snmp/support/agentnet.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "net/interface/netinterface.h"
#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpdconf.h"
#include "snmp/trapoutbox.h"
#include "support/identity_fixture.h"
#include "support/shell_command.h"

namespace {

bool agentStartedInThisProcess = false;

}  // namespace

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

void AgentNetTest::SetUp() {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  if (access("/usr/bin/snmpget", X_OK) != 0) GTEST_SKIP() << "needs Debian's snmp package";
  if (agentStartedInThisProcess) GTEST_SKIP() << "one agent per process: run each test alone (ctest does)";
  char tmpl[] = "/tmp/snmpagent-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root_ = tmpl;
  ASSERT_TRUE(shell("mkdir -p " + root_ + "/var " + root_ + "/peer"));
  ASSERT_TRUE(layIdentityFixture("p353", root_));
  setDataRoot(root_.c_str());
  readProductParams(productParams());
  readFirmwareParams(firmwareParams());
  readSoftwareInfo(softwareInfo());

  originalNs_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(originalNs_, 0);
  ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  peerNs_ = "snmppeer" + std::to_string(getpid());
  ASSERT_TRUE(shell("ip netns add " + peerNs_));
  ASSERT_TRUE(shell("ip link set lo up && ip link add eth0 type veth peer name peer0 netns " + peerNs_ +
                    " && ip addr add " + kAgentAddress + "/24 dev eth0 && ip link set eth0 up"));
  ASSERT_TRUE(shell("ip netns exec " + peerNs_ + " sh -c 'ip link set lo up && ip addr add " + kPeerAddress +
                    "/24 dev peer0 && ip link set peer0 up'"));
  lanInterface.setName("eth0");
  activeInterface = &lanInterface;
}

void AgentNetTest::TearDown() {
  if (started_) stopAgent();
  params_.restore();
  if (!peerNs_.empty()) shell("ip netns del " + peerNs_);
  if (originalNs_ >= 0) {
    setns(originalNs_, CLONE_NEWNET);
    close(originalNs_);
  }
  if (!root_.empty()) {
    setDataRoot("");
    shell("rm -rf '" + root_ + "'");
  }
}

void AgentNetTest::startAgent(const char* community) {
  agentStartedInThisProcess = true;
  ASSERT_EQ(writeSnmpdConf(161, nullptr), 1);
  ASSERT_TRUE(startSnmpAgent(lanInterface, 161));
  started_ = true;
  ASSERT_TRUE(answersWithin(kAgentAddress, community, 40)) << "the agent does not answer";
}

bool AgentNetTest::stopAgent() {
  started_ = false;
  TaskMessage quit{0, MSG_QUIT, 0, 0};
  if (postToTasksNamed("NET-SNMPD", quit) != 1) return false;
  SnmpTrapRecord probe{};
  probe.easy = true;
  for (int i = 0; i < 500; ++i) {
    if (!queueSnmpTrap(probe)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string AgentNetTest::peer(const std::string& command) {
  return commandOutput("ip netns exec " + peerNs_ + " env SNMP_PERSISTENT_DIR=" + root_ + "/peer " + command);
}

std::string AgentNetTest::get(const std::string& address, const std::string& community, const std::string& oid) {
  std::string out =
      peer("snmpget -v2c -c '" + community + "' -t 0.3 -r 0 -Oqv " + address + " " + oid);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool AgentNetTest::answersWithin(const std::string& address, const std::string& community, int tries) {
  for (int i = 0; i < tries; ++i)
    if (!get(address, community, "1.3.6.1.2.1.1.5.0").empty()) return true;
  return false;
}

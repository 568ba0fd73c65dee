// The agent task of this test process in a private network namespace:
// the veth pair "eth0" (the agent's side) and "peer0" moved into a named
// namespace of its own where the managers and the trap receiver run.
// net-snmp keeps global state: one agent per process, so each test that
// starts one runs in its own process (as ctest runs them).
#ifndef TESTS_SNMP_SUPPORT_AGENTNET_H
#define TESTS_SNMP_SUPPORT_AGENTNET_H

#include <gtest/gtest.h>

#include <string>

#include "snmp/support/snmpparams.h"

// Agent side 192.0.2.1/24 on eth0, manager side 192.0.2.2/24 on peer0.
constexpr char kAgentAddress[] = "192.0.2.1";
constexpr char kPeerAddress[] = "192.0.2.2";

class AgentNetTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the configuration and starts the agent; waits until it answers
  // `community` on kAgentAddress.
  void startAgent(const char* community = "tavrin");
  // MSG_QUIT to the agent; waits until its outbox refuses records.
  bool stopAgent();

  // A shell command in the managers' namespace (SNMP_PERSISTENT_DIR in the
  // scratch directory); its standard output.
  std::string peer(const std::string& command);
  // One GET of oid (value only), "" on no answer; a short time-out.
  std::string get(const std::string& address, const std::string& community, const std::string& oid);
  // Repeats get until it answers (true) or `tries` are spent.
  bool answersWithin(const std::string& address, const std::string& community, int tries);

  std::string root_;
  std::string peerNs_;
  SnmpParams params_;
  bool started_ = false;

 private:
  int originalNs_ = -1;
};

// Runs a shell command (in the caller's namespace); true when it exits 0.
bool shell(const std::string& command);

#endif

// The SNMP agent task "NET-SNMPD": net-snmp's agent library driven by a
// receive loop of its own that also serves the task's message pipe and
// sends the traps other threads queue in the trap outbox.
//
// net-snmp is built without reentrancy support, and its state is global:
// only the agent's thread calls it, and a process runs at most one agent.
#ifndef SNMP_SNMPAGENT_H
#define SNMP_SNMPAGENT_H

#include <cstdint>

#include "runtime/task/task.h"

class NetInterface;

constexpr int32_t SNMP_AGENT_STACK = 65536;

class SnmpAgentTask : public Task {
 public:
  // port: the agent's UDP port, written into every configuration file.
  explicit SnmpAgentTask(int port) : Task("NET-SNMPD"), port_(port) {}
  // runSnmpAgent with "/var/snmpd.conf".
  void run() override;
  // MSG_PARAMS_CHANGED rewrites the configuration file; the flags come back
  // unchanged.
  int onMessage(const TaskMessage& msg) override;
  // Closes the trap outbox.
  void onEnd() override;

 private:
  int port_;
};

// Start-up: makes the task, prepares the process for the library (no MIB
// files, line-buffered standard output) and starts it. The configuration
// file is written before by the caller. true when the task runs.
bool startSnmpAgent(NetInterface& nif, int port);

// The agent's start-up and receive loop on the calling task's thread; ends
// the task through finish and never returns.
[[noreturn]] void runSnmpAgent(const char* configPath);

#endif

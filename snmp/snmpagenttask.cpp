#include <cstdio>
#include <cstdlib>

#include "runtime/fdflags.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpdconf.h"
#include "snmp/trapoutbox.h"

void SnmpAgentTask::run() { runSnmpAgent(kSnmpdConfPath); }

int SnmpAgentTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) {
    bool scratch = false;
    writeSnmpdConf(port_, &scratch);
  }
  return msg.flags;
}

void SnmpAgentTask::onEnd() { closeTrapOutbox(); }

bool startSnmpAgent(NetInterface&, int port) {
  // Done here, before the thread starts, as both touch process-wide state.
  // An empty module list: the agent reads no MIB files (it needs none, and
  // every module missing on this system would print a line).
  setenv("MIBS", "", 1);
  // Lines of the library and of SNMP writes appear as they are written.
  static char stdoutBuffer[8192];
  std::setvbuf(stdout, stdoutBuffer, _IOLBF, sizeof stdoutBuffer);

  SnmpAgentTask* task = new SnmpAgentTask(port);
  // The loop reads its pipe only when select reports it readable.
  setNonBlockingFd(task->pipeRead, 0);
  if (task->start(SNMP_AGENT_STACK) < 0) {
    delete task;
    return false;
  }
  return true;
}

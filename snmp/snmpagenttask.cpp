#include <cstdio>
#include <cstdlib>

#include "runtime/socket/fdflags.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpdconf.h"
#include "snmp/trapoutbox.h"

namespace {

// An empty module list: the agent reads no MIB files (it needs none, and
// every module of the library's default list missing here would print a
// line). Set before main, as setenv is unsafe once threads read the
// environment.
const bool noMibFiles = [] { return setenv("MIBS", "", 1) == 0; }();

}  // namespace

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
  (void)noMibFiles;
  // Lines of the library and of SNMP writes appear as they are written.
  static char stdoutBuffer[8192];
  std::fflush(stdout);
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

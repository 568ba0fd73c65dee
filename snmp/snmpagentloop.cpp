// The agent's start-up and receive loop: the library's select loop with
// the task's message pipe folded in.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "runtime/task/task.h"
#include "snmp/snmpagent.h"
#include "snmp/snmpengine.h"
#include "snmp/taskbridge.h"
#include "snmp/trapoutbox.h"

namespace {

void runPendingSignalHandlers() {
  for (int i = 0; i < NUM_EXTERNAL_SIGS; ++i) {
    if (external_signal_scheduled[i] && external_signal_handler[i]) {
      external_signal_scheduled[i]--;
      external_signal_handler[i](i);
    }
  }
}

void reconfigure() {
  sigset_t hup, saved;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, &saved);
  snmp_log(LOG_INFO, "Reconfiguring daemon\n");
  netsnmp_logging_restart();
  snmp_log(LOG_INFO, "NET-SNMP version %s restarted\n", netsnmp_get_version());
  rereadConfiguration();
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

enum class PipeResult { Continue, Quit };

// One message from the pipe. Messages carry no payload.
PipeResult handleMessage(int taskFd, const fd_set& libraryFds, int libraryCount, bool* reconfig) {
  TaskMessage msg{};
  ssize_t n;
  do {
    n = ::read(taskFd, &msg, sizeof msg);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof msg)) return PipeResult::Continue;
  if (msg.flags & MSG_QUIT) return PipeResult::Quit;
  if (msg.flags & MSG_PARAMS_CHANGED) {
    // The file first, then the sockets onto the device of the moment; the
    // library reads the file at the top of the next pass.
    deliverFlagsToCurrentTask(MSG_PARAMS_CHANGED);
    rebindSockets(libraryFds, libraryCount, taskFd);
    *reconfig = true;
  }
  // MSG_TRAP_OUTBOX needs nothing here: every pass drains the outbox. Any
  // other message is ignored.
  return PipeResult::Continue;
}

// The receive loop; returns when the agent is to shut down.
void receiveLoop() {
  const int taskFd = getCurrentTaskMessageFd();
  bool reconfig = false;
  for (;;) {
    if (reconfig) {
      reconfig = false;
      reconfigure();
    }
    runPendingSignalHandlers();
    followProgramClock();
    sendQueuedTraps();

    int count = 0;
    fd_set readFds, writeFds, exceptFds;
    FD_ZERO(&readFds);
    FD_ZERO(&writeFds);
    FD_ZERO(&exceptFds);
    timeval timeout{INT_MAX, 0};
    int block = 0;
    snmp_select_info(&count, &readFds, &timeout, &block);
    netsnmp_external_event_info(&count, &readFds, &writeFds, &exceptFds);
    const fd_set libraryFds = readFds;
    const int libraryCount = count;
    if (taskFd > 0) {
      FD_SET(taskFd, &readFds);
      if (count <= taskFd) count = taskFd + 1;
    }

    int ready;
    int selectError;
    do {
      ready = select(count, &readFds, &writeFds, &exceptFds, block == 1 ? nullptr : &timeout);
      selectError = errno;
    } while (ready < 0 && selectError == EINTR);
    // Requests read below are answered with the program clock of now.
    followProgramClock();
    if (ready > 0 && taskFd > 0 && FD_ISSET(taskFd, &readFds)) {
      FD_CLR(taskFd, &readFds);
      ready--;
      if (handleMessage(taskFd, libraryFds, libraryCount, &reconfig) == PipeResult::Quit) {
        snmp_log(LOG_INFO, "Received TERM or STOP signal...  shutting down...\n");
        break;
      }
    }
    if (ready > 0) {
      netsnmp_dispatch_external_events(&ready, &readFds, &writeFds, &exceptFds);
      if (ready > 0) snmp_read(&readFds);
    } else if (ready == 0) {
      snmp_timeout();
    } else {
      errno = selectError;
      snmp_log_perror("select");
      break;
    }
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
  }
}

}  // namespace

void runSnmpAgent(const char* configPath) {
  if (Task* task = currentTask()) openTrapOutbox(task->id);
  configureSnmpLibrary(configPath);
  init_agent("snmpd");
  initAgentModules();
  init_snmp("snmpd");
  followProgramClock();
  if (init_master_agent() != 0) {
    snmp_shutdown("snmpd");
    finish(1);
  }
  if (!bindListeningSockets()) {
    snmp_shutdown("snmpd");
    finish(1);
  }
  snmp_log(LOG_INFO, "NET-SNMP version %s\n", netsnmp_get_version());
  netsnmp_addrcache_initialise();
  if (!netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_QUIT_IMMEDIATELY)) receiveLoop();
  snmp_shutdown("snmpd");
  finish(0);
}

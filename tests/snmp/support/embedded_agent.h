// A net-snmp master agent inside a test or benchmark process, serving the
// program's private MIB from one configuration file: no other files read
// or written, no AgentX, no SIGALRM. Include it after the net-snmp headers
// (and, before those, anything whose names their macros clash with).
#ifndef TESTS_SNMP_SUPPORT_EMBEDDED_AGENT_H
#define TESTS_SNMP_SUPPORT_EMBEDDED_AGENT_H

#include <sys/select.h>

#include <string>

#include "snmp/privatemib.h"

extern "C" void init_vacm_vars(void);

// Sets the library up and opens the agent's listeners; registerExtra, when
// given, registers more handlers before the configuration is read. False
// when the listeners could not be opened.
inline bool startEmbeddedAgent(const std::string& config, void (*registerExtra)() = nullptr) {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, config.c_str());
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
  init_agent("snmpd");
  init_orvAutoMib();
  init_orv_mib();
  init_vacm_vars();
  if (registerExtra) registerExtra();
  init_snmp("snmpd");
  return init_master_agent() == 0;
}

// One turn of the agent's receive loop: waits for a request or the
// library's next alarm, at most maxWaitUs, and serves what came.
inline void serveEmbeddedAgentOnce(long maxWaitUs) {
  int count = 0;
  int block = 0;
  fd_set readSet;
  FD_ZERO(&readSet);
  const timeval longest{maxWaitUs / 1000000, maxWaitUs % 1000000};
  timeval timeout = longest;
  snmp_select_info(&count, &readSet, &timeout, &block);
  if (block || timercmp(&timeout, &longest, >)) timeout = longest;
  int ready = select(count, &readSet, nullptr, nullptr, &timeout);
  if (ready > 0)
    snmp_read(&readSet);
  else if (ready == 0)
    snmp_timeout();
  run_alarms();
  netsnmp_check_outstanding_agent_requests();
}

#endif

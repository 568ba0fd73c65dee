#include "snmp/snmpengine.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "runtime/file/paths.h"
#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"
#include "snmp/privatemib.h"

// Module init functions of libnetsnmpmibs (declared by its module headers,
// which are not installed).
extern "C" {
void netsnmp_access_interface_init(void);
void init_ifTable(void);
void init_ip(void);
void init_udp(void);
void init_tcp(void);
void init_icmp(void);
void init_system_mib(void);
void init_interface(void);
void init_var_route(void);
void init_at(void);
void init_udpTable(void);
void init_tcpTable(void);
void init_snmp_mib(void);
void init_sysORTable(void);
void init_vacm_vars(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void init_usmStats(void);
void init_usmUser(void);
void init_vacm_context(void);
}

const char kSnmpStateDir[] = "/var/snmp";

void configureSnmpLibrary(const char* configPath) {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, -1);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, -1);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_CACHE_TIMEOUT, 5);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);

  snmp_log_syslogname("snmpd");
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, "snmpd");
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, mapPath(configPath).c_str());
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  // No state files: the library would otherwise write its own
  // configuration beside the system's at shutdown.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  // Alarms run from the receive loop; a SIGALRM would hit a random thread.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  netsnmp_set_mib_directory("");
  // The library still keeps a few files of its own (an index of
  // certificates): under the data root, never in the host's /var/lib/snmp.
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, mapPath(kSnmpStateDir).c_str());
  // The master agent would open SMUX on TCP 199 of every address.
  char noSmux[] = "-smux";
  add_to_init_list(noSmux);
  snmp_enable_stderrlog();
}

namespace {

struct Module {
  const char* name;
  void (*init)();
};

const Module kModules[] = {
    {"orvAutoMib", init_orvAutoMib},
    {"orv_mib", init_orv_mib},
    // "interfaces" of the old MIB-II group: the ifTable module here.
    {"interfaces", init_ifTable},
    {"ip", init_ip},
    {"udp", init_udp},
    {"tcp", init_tcp},
    {"icmp", init_icmp},
    {"system_mib", init_system_mib},
    {"interface", init_interface},
    {"var_route", init_var_route},
    {"at", init_at},
    {"udpTable", init_udpTable},
    {"tcpTable", init_tcpTable},
    {"snmp_mib", init_snmp_mib},
    {"sysORTable", init_sysORTable},
    {"vacm_vars", init_vacm_vars},
    {"snmpEngine", init_snmpEngine},
    {"snmpMPDStats", init_snmpMPDStats},
    {"usmStats", init_usmStats},
    {"usmUser", init_usmUser},
    {"vacm_context", init_vacm_context},
};

bool shutdownCallbackRegistered = false;

int shutdownMibModules(int, int, void*, void*) { return SNMPERR_SUCCESS; }

}  // namespace

void initAgentModules() {
  netsnmp_access_interface_init();
  for (const Module& module : kModules)
    if (should_init(module.name)) module.init();
  if (!shutdownCallbackRegistered) {
    shutdownCallbackRegistered = true;
    if (snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SHUTDOWN, shutdownMibModules, nullptr) !=
        SNMPERR_SUCCESS)
      snmp_log(LOG_ERR, "error registering for SHUTDOWN callback for mib modules\n");
  }
}

namespace {

// The family of a UDP socket bound to a port (a listening one); 0 else.
int listeningUdpFamily(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) return 0;
  sockaddr_storage local{};
  length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET)
    return reinterpret_cast<sockaddr_in*>(&local)->sin_port != 0 ? AF_INET : 0;
  if (local.ss_family == AF_INET6)
    return reinterpret_cast<sockaddr_in6*>(&local)->sin6_port != 0 ? AF_INET6 : 0;
  return 0;
}

bool isSocket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

}  // namespace

bool bindListeningSockets() {
  int count = 0;
  fd_set readSet;
  FD_ZERO(&readSet);
  timeval timeout{0, 0};
  int block = 0;
  snmp_select_info(&count, &readSet, &timeout, &block);
  bool allBound = true;
  for (int fd = 0; fd < count; ++fd) {
    if (!FD_ISSET(fd, &readSet)) continue;
    int family = listeningUdpFamily(fd);
    if (family == 0) continue;
    int rc = force2face(fd);
    if (family == AF_INET)
      std::printf("%s %s force2face(%d) rc:%d \n", "snmpUDPDomain", "netsnmp_udp_transport", fd, rc);
    else
      std::printf("%s %s force2face(%d) rc:%d \n", "snmpUDPIPv6Domain", "netsnmp_udp6_transport", fd, rc);
    if (rc != 0) allBound = false;
  }
  return allBound;
}

void rebindSockets(const fd_set& set, int count, int skipFd) {
  for (int fd = 0; fd < count && fd < FD_SETSIZE; ++fd)
    if (fd != skipFd && FD_ISSET(fd, &set) && isSocket(fd)) force2face(fd);
}

void followProgramClock() { netsnmp_set_agent_uptime(static_cast<u_long>(static_cast<uint32_t>(taskClock()))); }

// net-snmp 5.9 defines the standard views "_all_" and "_none_" again on
// every read of the configuration, so its own re-read serves.
void rereadConfiguration() { update_config(); }

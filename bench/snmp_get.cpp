// GET round trips of sysName.0 by one synchronous manager, SNMPv2c and
// SNMPv3 authPriv (SHA/AES): the program's agent against Debian's snmpd
// serving the same scalar from a generated configuration, both in one
// network namespace, measured in alternating rounds of the same run.
// Needs root (namespaces), the built program and Debian's snmpd.
//
//   bench_snmp_get [rounds] [requests per round]
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const char kAgentAddress[] = "192.0.2.10";
const char kManagerAddress[] = "192.0.2.20";
const char kAuthPass[] = "admin-secret";
const char kPrivPass[] = "admin-phrase";

std::string dirOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

struct Scratch {
  std::string root, agentNs, managerNs;
  pid_t program = -1, snmpd = -1;
  ~Scratch() {
    for (pid_t pid : {program, snmpd})
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    if (!agentNs.empty()) sh("ip netns del " + agentNs);
    if (!managerNs.empty()) sh("ip netns del " + managerNs);
    if (!root.empty() && !getenv("KEEP")) sh("rm -rf '" + root + "'");
  }
};

pid_t spawn(const std::string& command, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void* openSession(const std::string& peer, bool v3) {
  netsnmp_session s;
  snmp_sess_init(&s);
  s.peername = const_cast<char*>(peer.c_str());
  s.timeout = 1000000;
  s.retries = 2;
  static char community[] = "tavrin";
  static char user[] = "Admin";
  if (!v3) {
    s.version = SNMP_VERSION_2c;
    s.community = reinterpret_cast<u_char*>(community);
    s.community_len = std::strlen(community);
  } else {
    s.version = SNMP_VERSION_3;
    s.securityName = user;
    s.securityNameLen = std::strlen(user);
    s.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    s.securityAuthProto = usmHMACSHA1AuthProtocol;
    s.securityAuthProtoLen = USM_AUTH_PROTO_SHA_LEN;
    s.securityAuthKeyLen = USM_AUTH_KU_LEN;
    if (generate_Ku(s.securityAuthProto, s.securityAuthProtoLen, (const u_char*)kAuthPass, std::strlen(kAuthPass),
                    s.securityAuthKey, &s.securityAuthKeyLen) != SNMPERR_SUCCESS)
      return nullptr;
    s.securityPrivProto = usmAESPrivProtocol;
    s.securityPrivProtoLen = USM_PRIV_PROTO_AES_LEN;
    s.securityPrivKeyLen = USM_PRIV_KU_LEN;
    if (generate_Ku(s.securityAuthProto, s.securityAuthProtoLen, (const u_char*)kPrivPass, std::strlen(kPrivPass),
                    s.securityPrivKey, &s.securityPrivKeyLen) != SNMPERR_SUCCESS)
      return nullptr;
  }
  return snmp_sess_open(&s);
}

// One GET of sysName.0; true when answered without error.
bool getSysName(void* session) {
  static const oid kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, kSysName, OID_LENGTH(kSysName));
  netsnmp_pdu* response = nullptr;
  int status = snmp_sess_synch_response(session, pdu, &response);
  bool ok = status == STAT_SUCCESS && response && response->errstat == SNMP_ERR_NOERROR && response->variables &&
            response->variables->type == ASN_OCTET_STR;
  if (response) snmp_free_pdu(response);
  return ok;
}

// Requests per second of n GETs, or -1 when one failed.
double rate(void* session, int n) {
  auto start = Clock::now();
  for (int i = 0; i < n; ++i)
    if (!getSysName(session)) return -1;
  return n / std::chrono::duration<double>(Clock::now() - start).count();
}

bool waitAnswer(void* session) {
  for (int i = 0; i < 100; ++i) {
    if (getSysName(session)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 2000;
  if (geteuid() != 0) {
    std::fprintf(stderr, "needs root for network namespaces\n");
    return 2;
  }
  char self[4096] = {0};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 2;
  const std::string program = dirOf(dirOf(self)) + "/usbdevsrv";
  const std::string fixture = dirOf(dirOf(__FILE__)) + "/tests/fixtures/identity/p353";
  if (access(program.c_str(), X_OK) != 0 || access("/usr/sbin/snmpd", X_OK) != 0) {
    std::fprintf(stderr, "needs %s and Debian's snmpd\n", program.c_str());
    return 2;
  }

  Scratch scratch;
  char tmpl[] = "/tmp/snmpbench-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  scratch.root = tmpl;
  const std::string& root = scratch.root;
  sh("mkdir -p " + root + "/etc " + root + "/var " + root + "/dev " + root + "/tmp " + root + "/proc/sys/vm " + root +
     "/snmpd " + root + "/manager && cp -r " + fixture + "/. " + root + "/");
  std::ofstream(root + "/dev/gpio.sim") << "";
  std::ofstream(root + "/etc/params.dat") << "ip_addr = " << kAgentAddress << "\nip_mask = 255.255.255.0\n"
                                          << "admin_pwd = " << kAuthPass << "\nadmin_hash = sha\nadmin_cipher = aes\n"
                                          << "admin_passphrase = " << kPrivPass << "\n";
  std::ofstream(root + "/snmpd.conf") << "agentaddress udp:" << kAgentAddress << ":1161\n"
                                      << "createUser Admin SHA '" << kAuthPass << "' AES '" << kPrivPass << "'\n"
                                      << "rwuser Admin priv\nrwcommunity tavrin\nsysName HUB-35307\n";

  const std::string tag = std::to_string(getpid());
  scratch.agentNs = "snmpbenchA" + tag;
  scratch.managerNs = "snmpbenchM" + tag;
  if (!sh("ip netns add " + scratch.agentNs) || !sh("ip netns add " + scratch.managerNs) ||
      !sh("ip -n " + scratch.agentNs + " link add eth0 type veth peer name peer0 netns " + scratch.managerNs) ||
      !sh("ip -n " + scratch.agentNs + " link set lo up") ||
      !sh("ip -n " + scratch.managerNs + " addr add " + std::string(kManagerAddress) + "/24 dev peer0") ||
      !sh("ip -n " + scratch.managerNs + " link set peer0 up")) {
    std::fprintf(stderr, "cannot make the namespaces\n");
    return 2;
  }
  scratch.program = spawn("ip netns exec " + scratch.agentNs + " env APPLIANCE_ROOT=" + root + " KickOff=1 " + program,
                          root + "/program.log");
  // Debian's snmpd on the program's address once the program has set it.
  for (int i = 0; i < 100 && !sh("ip -n " + scratch.agentNs + " addr show eth0 | grep -q " + kAgentAddress); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  scratch.snmpd = spawn("ip netns exec " + scratch.agentNs + " env MIBS= SNMP_PERSISTENT_DIR=" + root +
                            "/snmpd /usr/sbin/snmpd -f -Lo -C -c " + root + "/snmpd.conf",
                        root + "/snmpd.log");

  int original = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int manager = open(("/run/netns/" + scratch.managerNs).c_str(), O_RDONLY | O_CLOEXEC);
  if (manager < 0 || setns(manager, CLONE_NEWNET) != 0) return 2;
  setenv("SNMP_PERSISTENT_DIR", (root + "/manager").c_str(), 1);
  setenv("MIBS", "", 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  init_snmp("snmpbench");

  struct Target {
    const char* name;
    std::string peer;
  } targets[] = {{"program", std::string("udp:") + kAgentAddress + ":161"},
                 {"snmpd", std::string("udp:") + kAgentAddress + ":1161"}};
  int status = 0;
  for (bool v3 : {false, true}) {
    void* sessions[2];
    for (int t = 0; t < 2; ++t) {
      sessions[t] = openSession(targets[t].peer, v3);
      if (!sessions[t] || !waitAnswer(sessions[t])) {
        std::fprintf(stderr, "%s does not answer over %s\n", targets[t].name, v3 ? "v3" : "v2c");
        return 1;
      }
    }
    double sum[2] = {0, 0};
    for (int r = 0; r < rounds; ++r)
      for (int t = 0; t < 2; ++t) {
        double x = rate(sessions[t], requests);
        if (x < 0) {
          std::fprintf(stderr, "a GET to %s failed\n", targets[t].name);
          status = 1;
        }
        sum[t] += x;
      }
    double program = sum[0] / rounds, snmpd = sum[1] / rounds;
    std::printf("%-28s program %8.0f GET/s   snmpd %8.0f GET/s   ratio %.2fx\n",
                v3 ? "SNMPv3 authPriv SHA/AES:" : "SNMPv2c:", program, snmpd, program / snmpd);
    for (void* s : sessions) snmp_sess_close(s);
  }
  snmp_shutdown("snmpbench");
  setns(original, CLONE_NEWNET);
  return status;
}

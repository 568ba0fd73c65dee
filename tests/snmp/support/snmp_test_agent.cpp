#include "snmp/support/snmp_test_agent.h"

// Before the library headers, whose macros clash with its names.
#include "usbserver/usbdevicetable.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "params/modeladjust.h"
#include "params/paramflags.h"
#include "params/paramstore.h"
#include "params/parambase.h"
#include "params/productparams.h"
#include "params/firmwareparams.h"
#include "params/softwareinfo.h"
#include "runtime/paths.h"
#include "snmp/privatemib.h"
#include "support/identity_fixture.h"

extern "C" {
void init_vacm_vars(void);
}

namespace {

std::mutex startMutex;
bool started = false;
std::string startError;
std::atomic<bool> agentReady{false};
std::atomic<bool> agentFailed{false};
std::atomic<int> restarts{0};
std::string scratchDir;
std::string modelApplied;
std::string dataRootDir;

bool countRestart(int) {
  restarts.fetch_add(1);
  return true;
}

int failInAction(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                 netsnmp_request_info* requests) {
  switch (reqinfo->mode) {
    case MODE_GET:
      for (netsnmp_request_info* r = requests; r; r = r->next) {
        long zero = 0;
        snmp_set_var_typed_value(r->requestvb, ASN_INTEGER, &zero, sizeof zero);
      }
      break;
    case MODE_SET_ACTION:
      for (netsnmp_request_info* r = requests; r; r = r->next)
        netsnmp_set_request_error(reqinfo, r, SNMP_ERR_COMMITFAILED);
      break;
    default:
      break;
  }
  return SNMP_ERR_NOERROR;
}

bool loopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  req.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  close(fd);
  return ok;
}

void agentMain(std::string config) {
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
  static const oid failing[] = {1, 3, 6, 1, 4, 1, 99999, 1};
  netsnmp_register_scalar(netsnmp_create_handler_registration("failInAction", failInAction, failing,
                                                              OID_LENGTH(failing), HANDLER_CAN_RWRITE));
  init_snmp("snmpd");
  if (init_master_agent() != 0) {
    agentFailed = true;
    return;
  }
  agentReady = true;
  for (;;) {
    int count = 0;
    int block = 0;
    fd_set readSet;
    FD_ZERO(&readSet);
    timeval timeout{0, 50000};
    snmp_select_info(&count, &readSet, &timeout, &block);
    if (timeout.tv_sec > 0 || timeout.tv_usec > 50000) timeout = timeval{0, 50000};
    int ready = select(count, &readSet, nullptr, nullptr, &timeout);
    if (ready > 0)
      snmp_read(&readSet);
    else if (ready == 0)
      snmp_timeout();
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
  }
}

}  // namespace

bool startTestAgent(std::string* reason) {
  std::lock_guard<std::mutex> lock(startMutex);
  if (!started) {
    started = true;
    char pattern[] = "/tmp/snmpagenttest.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      startError = "no scratch directory";
    } else if (unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
      startError = "needs root for a network namespace";
    } else {
      scratchDir = pattern;
      // Tools and library: no MIB files, state only in the scratch directory.
      setenv("MIBS", "", 1);
      setenv("SNMP_PERSISTENT_DIR", scratchDir.c_str(), 1);
      setenv("SNMPCONFPATH", scratchDir.c_str(), 1);
      setSnmpShutDownStarter(countRestart);
      const std::string config = scratchDir + "/snmpd.conf";
      std::ofstream(config) << "agentaddress udp:127.0.0.1:161\nrwcommunity tavrin\n";
      std::thread(agentMain, config).detach();
      for (int i = 0; i < 500 && !agentReady && !agentFailed; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!agentReady) startError = "the agent did not start";
    }
  }
  if (!startError.empty() && reason != nullptr) *reason = startError;
  return startError.empty();
}

bool useModel(const std::string& fixture, std::string* reason) {
  std::lock_guard<std::mutex> lock(startMutex);
  if (!modelApplied.empty()) {
    if (modelApplied == fixture) return true;
    if (reason) *reason = "model " + modelApplied + " already applied in this process";
    return false;
  }
  char pattern[] = "/tmp/snmpmodel.XXXXXX";
  if (mkdtemp(pattern) == nullptr || !layIdentityFixture(fixture, pattern)) {
    if (reason) *reason = "cannot lay fixture " + fixture;
    return false;
  }
  dataRootDir = pattern;
  std::filesystem::create_directories(dataRootDir + "/etc");
  setDataRoot(dataRootDir.c_str());
  readProductParams(productParams());
  readFirmwareParams(firmwareParams());
  readSoftwareInfo(softwareInfo());
  setRuntimeEnv();
  // What the USB service does at its start: rows beyond the model's table vanish.
  setUsbTableLimits(productParams().usbtable_product_id);
  int count = 0;
  Param** items = paramStore.items(&count);
  for (int i = 0; i < count; ++i) {
    if (!items[i]->hasFlags(PF_PER_DEVICE_SLOT)) continue;
    const char* key = items[i]->key();
    const char* digits = key + std::strlen(key);
    while (digits > key && digits[-1] >= '0' && digits[-1] <= '9') --digits;
    if (std::atoi(digits) > USB_MAXDEVS) items[i]->addFlags(PF_HIDDEN);
  }
  modelApplied = fixture;
  return true;
}

const std::string& testDataRoot() { return dataRootDir; }

CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(("timeout 20 " + command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult snmpTool(const std::string& tool, const std::string& version, const std::string& arguments) {
  return runCommand(tool + " " + version + " -c tavrin -On -Ox -t 2 -r 0 127.0.0.1 " + arguments);
}

std::vector<SnmpAnswer> parseAnswers(const std::string& output) {
  std::vector<SnmpAnswer> answers;
  std::istringstream in(output);
  std::string line;
  SnmpAnswer* last = nullptr;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] != '.') {
      // Long hex strings continue on the next lines.
      if (last != nullptr && last->type == "Hex-STRING") last->value += " " + line;
      continue;
    }
    size_t eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    SnmpAnswer a;
    a.oid = line.substr(0, eq);
    std::string rest = line.substr(eq + 3);
    size_t colon = rest.find(": ");
    if (rest == "\"\"") {
      a.type = "STRING";
    } else if (colon == std::string::npos) {
      a.type = rest;  // "No Such Instance currently exists at this OID"
    } else {
      a.type = rest.substr(0, colon);
      a.value = rest.substr(colon + 2);
    }
    while (!a.value.empty() && a.value.back() == ' ') a.value.pop_back();
    answers.push_back(a);
    last = &answers.back();
  }
  for (SnmpAnswer& a : answers)
    while (!a.value.empty() && a.value.back() == ' ') a.value.pop_back();
  return answers;
}

std::string snmpErrorName(const std::string& output) {
  size_t at = output.find("Reason: ");
  if (at == std::string::npos) return "";
  at += 8;
  if (at < output.size() && output[at] == '(') ++at;  // SNMPv1: "(noSuchName) ..."
  size_t end = at;
  while (end < output.size() && std::isalnum(static_cast<unsigned char>(output[end]))) ++end;
  return output.substr(at, end - at);
}

std::vector<std::string> wrapperLinesOf(const std::string& captured) {
  std::vector<std::string> lines;
  std::istringstream in(captured);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("call wrapper ", 0) == 0) lines.push_back(line.substr(13));
  return lines;
}

int restartsRequested() { return restarts.load(); }

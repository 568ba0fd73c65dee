#include "snmp/support/snmp_test_agent.h"

// Before the library headers, whose macros clash with its names.
#include "usbserver/devices/usbdevicetable.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <map>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/store/paramstore.h"
#include "params/table/modeladjust.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"
#include "snmp/automib.h"
#include "snmp/privatemib.h"
#include "snmp/support/embedded_agent.h"
#include "snmp/systemgroup.h"
#include "support/identity_fixture.h"


namespace {

std::mutex startMutex;
bool started = false;
std::string startError;
std::atomic<bool> agentReady{false};
std::atomic<bool> agentFailed{false};
std::atomic<bool> agentStop{false};
std::thread agentThread;
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

void registerFailingScalar() {
  static const oid failing[] = {1, 3, 6, 1, 4, 1, 99999, 1};
  netsnmp_register_scalar(netsnmp_create_handler_registration("failInAction", failInAction, failing,
                                                              OID_LENGTH(failing), HANDLER_CAN_RWRITE));
}

void agentMain(std::string config) {
  if (!startEmbeddedAgent(config, registerFailingScalar)) {
    agentFailed = true;
    return;
  }
  agentReady = true;
  while (!agentStop.load()) serveEmbeddedAgentOnce(50000);
}

// Stops the agent before the process's static objects go: the write path
// reaches some of them.
class AgentEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    agentStop = true;
    if (agentThread.joinable()) agentThread.join();
    std::error_code ignored;
    if (!scratchDir.empty()) std::filesystem::remove_all(scratchDir, ignored);
    if (!dataRootDir.empty()) std::filesystem::remove_all(dataRootDir, ignored);
  }
};

::testing::Environment* const agentEnvironment = ::testing::AddGlobalTestEnvironment(new AgentEnvironment);

}  // namespace

bool startTestAgent(std::string* reason) {
  std::lock_guard<std::mutex> lock(startMutex);
  if (!started) {
    started = true;
    char pattern[] = "/tmp/snmpagenttest.XXXXXX";
    if (mkdtemp(pattern) != nullptr) scratchDir = pattern;
    if (scratchDir.empty()) {
      startError = "no scratch directory";
    } else if (unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
      startError = "needs root for a network namespace";
    } else {
      // Tools and library: no MIB files, state only in the scratch directory.
      setenv("MIBS", "", 1);
      setenv("SNMP_PERSISTENT_DIR", scratchDir.c_str(), 1);
      setenv("SNMPCONFPATH", scratchDir.c_str(), 1);
      setSnmpShutDownStarter(countRestart);
      const std::string config = scratchDir + "/snmpd.conf";
      std::ofstream(config) << "agentaddress udp:127.0.0.1:161\nrwcommunity tavrin\n";
      agentThread = std::thread(agentMain, config);
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
      if (last != nullptr && last->type == "Hex-STRING") {
        while (!last->value.empty() && last->value.back() == ' ') last->value.pop_back();
        while (!line.empty() && line.back() == ' ') line.pop_back();
        last->value += " " + line;
      }
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

std::string hexOf(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
    out += b;
  }
  return out;
}

namespace {

const std::string kPrivate = ".1.3.6.1.4.1.32473";

// What a walk must show for a parameter, worked out from its saved text.
bool expectedAnswer(Param* p, SnmpAnswer* out) {
  const std::string text = p->savedText();
  switch (p->paramClass()) {
    case ParamClass::OnOff:
      out->type = "INTEGER";
      out->value = text == "on" ? "1" : "0";
      return true;
    case ParamClass::Int:
      out->type = "INTEGER";
      out->value = text;
      return true;
    case ParamClass::Choice:
      if (text.empty()) return false;
      if (p->hasFlags(PF_SNMP_TEXT)) {
        out->type = "Hex-STRING";
        out->value = hexOf(text);
      } else {
        out->type = "INTEGER";
        out->value = std::to_string(static_cast<P3List*>(p)->findKey(text.c_str()));
      }
      return true;
    case ParamClass::String:
      out->type = "Hex-STRING";
      out->value = hexOf(p->hasFlags(PF_SECRET) && !text.empty() ? "****" : text);
      return true;
    case ParamClass::Mac: {
      unsigned m[6];
      if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6)
        return false;
      std::string bytes;
      for (unsigned b : m) bytes += static_cast<char>(b);
      out->type = "Hex-STRING";
      out->value = hexOf(bytes);
      return true;
    }
    case ParamClass::Ip4:
      out->type = "IpAddress";
      out->value = text;
      return true;
    case ParamClass::Ip6: {
      unsigned char raw[16];
      out->type = "Hex-STRING";
      if (inet_pton(AF_INET6, text.c_str(), raw) == 1) {
        out->value = hexOf(std::string(reinterpret_cast<char*>(raw), 16));
        return true;
      }
      if (inet_pton(AF_INET, text.c_str(), raw) == 1) {
        out->value = hexOf(std::string(reinterpret_cast<char*>(raw), 4));
        return true;
      }
      return false;
    }
  }
  return false;
}

std::vector<unsigned long> oidNumbers(const std::string& oid) {
  std::vector<unsigned long> v;
  size_t i = 1;
  while (i < oid.size()) {
    size_t j = oid.find('.', i);
    if (j == std::string::npos) j = oid.size();
    v.push_back(std::strtoul(oid.substr(i, j - i).c_str(), nullptr, 10));
    i = j + 1;
  }
  return v;
}

bool isIdentityOid(const std::string& oid) {
  for (const OrvMibVariable& v : systemGroupVariables) {
    std::string name = kPrivate;
    for (int i = 0; i < v.namelen; ++i) name += "." + std::to_string(v.name[i]);
    if (oid == name + ".0") return true;
  }
  return false;
}

}  // namespace

WalkComparison compareWalkWithStore(const std::string& walkOutput, bool compareVolatile) {
  WalkComparison result;
  struct Expected {
    SnmpAnswer answer;
    bool compareValue;
    bool isParam;
    bool seen = false;
  };
  std::map<std::string, Expected> expected;
  for (const OrvMibVariable& v : autoMibVariables) {
    std::string oid = kPrivate;
    for (int i = 0; i < v.namelen; ++i) oid += "." + std::to_string(v.name[i]);
    oid += ".0";
    SnmpAnswer a;
    a.oid = oid;
    bool compareValue = true;
    if (const AutoMibParamRow* row = autoMibParamRow(v.magic)) {
      if (!row->hasObject) continue;
      Param* p = paramStore.find(row->key);
      if (p == nullptr || p->hasFlags(PF_NOSNMP) || !expectedAnswer(p, &a)) continue;
      compareValue = compareVolatile || !p->hasFlags(PF_VOLATILE);
    } else {
      a.type = "INTEGER";
      a.value = std::to_string(v.magic);
    }
    expected[oid] = Expected{a, compareValue, autoMibParamRow(v.magic) != nullptr};
  }
  if (walkOutput.find("not increasing") != std::string::npos) result.differences.push_back("OIDs not increasing");
  std::vector<SnmpAnswer> walk = parseAnswers(walkOutput);
  for (size_t i = 0; i < walk.size(); ++i) {
    const SnmpAnswer& a = walk[i];
    if (i > 0 && !(oidNumbers(walk[i - 1].oid) < oidNumbers(a.oid)))
      result.differences.push_back(walk[i - 1].oid + " before " + a.oid);
    auto it = expected.find(a.oid);
    if (it == expected.end()) {
      if (isIdentityOid(a.oid))
        ++result.identityObjects;
      else
        result.differences.push_back("unexpected " + a.oid + " " + a.type + ": " + a.value);
      continue;
    }
    Expected& e = it->second;
    e.seen = true;
    const std::string type = a.type == "STRING" ? "Hex-STRING" : a.type;  // "" prints as an empty STRING
    if (e.compareValue && (type != e.answer.type || a.value != e.answer.value))
      result.differences.push_back(a.oid + ": " + type + " " + a.value + ", expected " + e.answer.type + " " +
                                   e.answer.value);
    else if (e.isParam)
      ++result.parameterObjects;
  }
  for (const auto& [oid, e] : expected)
    if (!e.seen) result.differences.push_back("missing " + oid + " " + e.answer.type + " " + e.answer.value);
  if (result.identityObjects != kSystemGroupVariableCount)
    result.differences.push_back(std::to_string(result.identityObjects) + " identity objects");
  return result;
}

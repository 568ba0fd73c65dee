#include "snmp/snmpdconf.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/p3list.h"
#include "params/types/param.h"
#include "params/types/stringparam.h"
#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"
#include "snmp/privatefile.h"

const char kSnmpdConfPath[] = "/var/snmpd.conf";

std::atomic<int32_t> trapSinkCounters[2] = {{-1}, {-1}};

namespace {

// The library refuses a createUser whose pass phrases are shorter.
constexpr size_t kMinPassPhrase = 8;

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof line) {
    out.append(line, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(&big[0], big.size(), format, args);
  va_end(args);
  big.pop_back();
  out += big;
}

bool paramIsOn(const char* key) {
  Param* p = paramStore.find(key);
  return p != nullptr && p->isOn();
}

std::string paramText(const char* key) {
  StringParam* p = paramStore.findString(key);
  return p ? p->getText() : std::string();
}

bool hasBlank(const std::string& s) { return s.find_first_of(" \t") != std::string::npos; }

bool hasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

bool hasQuote(const std::string& s) { return s.find_first_of("\"'\\") != std::string::npos; }

// A user name or community as one word of a directive that takes quoted
// words: quoted when it holds a blank.
std::string word(const std::string& s) { return hasBlank(s) ? "\"" + s + "\"" : s; }

// The body of a single-quoted word: quote and backslash escaped.
std::string escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// A user name or community the library can carry, else why not.
const char* nameProblem(const std::string& s) {
  if (hasQuote(s)) return "a quote or backslash";
  if (hasControl(s)) return "a control character";
  return nullptr;
}

struct UserKeys {
  const char* name;
  const char* password;
  const char* hash;
  const char* cipher;
  const char* passPhrase;
  const char* rights;
};

const char* listDisplay(const char* key) {
  P3List* list = paramStore.findList(key);
  return list ? list->currentDisplayText() : "";
}

const char* listKey(const char* key) {
  P3List* list = paramStore.findList(key);
  return list ? list->currentKey() : "";
}

void appendUser(std::string& out, const UserKeys& keys) {
  const char* rights = listKey(keys.rights);
  const char* directive = nullptr;
  if (strcasecmp(rights, "readwrite") == 0)
    directive = "rwuser";
  else if (strcasecmp(rights, "readonly") == 0)
    directive = "rouser";
  std::string name = paramText(keys.name);
  if (directive == nullptr || name.empty()) return;

  std::string password = paramText(keys.password);
  bool withCipher = !password.empty() && std::strcmp(listKey(keys.cipher), "---") != 0;
  std::string passPhrase = withCipher ? paramText(keys.passPhrase) : std::string();
  const char* problem = nameProblem(name);
  if (problem == nullptr && hasControl(password + passPhrase)) problem = "a control character in a password";
  if (problem == nullptr && !password.empty() && password.size() < kMinPassPhrase)
    problem = "a password under 8 characters";
  if (problem == nullptr && withCipher && passPhrase.size() < kMinPassPhrase)
    problem = "a privacy pass phrase under 8 characters";
  if (problem != nullptr) {
    std::fprintf(stderr, "snmpd.conf: SNMPv3 user %s left out: %s\n", name.c_str(), problem);
    return;
  }

  appendf(out, "createUser %s", word(name).c_str());
  if (!password.empty()) appendf(out, " %s '%s'", listDisplay(keys.hash), escaped(password).c_str());
  if (withCipher) appendf(out, " %s '%s' ", listDisplay(keys.cipher), escaped(passPhrase).c_str());
  const char* level = password.empty() ? "noauth" : withCipher ? "priv" : "auth";
  appendf(out, "\n%s \"%s\" %s\n", directive, name.c_str(), level);
}

void appendCommunity(std::string& out, bool ipv6) {
  std::string community = paramText("snmpv1_community");
  if (const char* problem = nameProblem(community)) {
    std::fprintf(stderr, "snmpd.conf: community left out: %s\n", problem);
    return;
  }
  char letter = paramIsOn("snmpv1_ronly") ? 'o' : 'w';
  appendf(out, "r%ccommunity  %s\n", letter, word(community).c_str());
  if (ipv6) appendf(out, "r%ccommunity6 %s\n", letter, word(community).c_str());
}

bool appendTrapSink(std::string& out, int sink) {
  StringParam* community = paramStore.findString(sink == 1 ? "trapcommu_1" : "trapcommu_2");
  Ip4Param* address = paramStore.findIp4(sink == 1 ? "trapto_1" : "trapto_2");
  if (community == nullptr || address == nullptr || !community->hasValue() || !address->hasValue()) return false;
  std::string text = community->getText();
  if (text.empty()) return false;
  // "trapsink" splits its arguments at blanks and takes no quotes.
  if (hasBlank(text) || hasControl(text)) {
    std::fprintf(stderr, "snmpd.conf: trap sink %d left out: a blank in its community\n", sink);
    return false;
  }
  appendf(out, "trapsink %s %s\n", ipText(address->address()), text.c_str());
  return true;
}

// A system text ends at a line break: the rest would be a directive.
std::string oneLine(const std::string& text, const char* what) {
  size_t end = text.find_first_of("\r\n");
  if (end == std::string::npos) return text;
  std::fprintf(stderr, "snmpd.conf: %s cut at a line break\n", what);
  return text.substr(0, end);
}

}  // namespace

std::string composeSnmpdConf(int port, bool sinkWritten[2]) {
  std::string out;
  bool ipv6 = paramIsOn("ipv6");
  appendf(out, "agentaddress udp:%d", port);
  if (ipv6)
    appendf(out, ",udp6:%d\n", port);
  else
    out += '\n';

  if (paramIsOn("snmpv3")) {
    appendUser(out, UserKeys{"admin_name", "admin_pwd", "admin_hash", "admin_cipher", "admin_passphrase",
                             "admin_rights"});
    appendUser(out, UserKeys{"any_name", "any_pwd", "any_hash", "any_cipher", "any_passphrase", "any_rights"});
  }
  if (paramIsOn("snmpv1")) appendCommunity(out, ipv6);
  for (int sink = 1; sink <= 2; ++sink) sinkWritten[sink - 1] = appendTrapSink(out, sink);

  const ProductParams& product = productParams();
  const FirmwareParams& firmware = firmwareParams();
  const SoftwareInfo& software = softwareInfo();
  out += "sysObjectID .1.3.6.1.4.1.32473.1.1\n";
  std::string name = paramText("sys_name");
  if (name.empty()) name = product.default_name;
  appendf(out, "sysName     %s\n", oneLine(name, "sysName").c_str());
  appendf(out, "sysDescr    ORV %s; SN %03d%04d%02d%05d, HW %d.%d, FW %d, SW %d.%d.%d\n", product.product_name,
          static_cast<int>(product.hw_project), static_cast<int>(product.year), static_cast<int>(product.month),
          static_cast<int>(product.serial_no), static_cast<int>(product.hw_major), static_cast<int>(product.hw_minor),
          static_cast<int>(firmware.firmware_version), static_cast<int>(software.version),
          static_cast<int>(software.release), static_cast<int>(software.subrelease));
  std::string contact = paramText("sys_contact");
  if (!contact.empty()) appendf(out, "sysContact  %s\n", oneLine(contact, "sysContact").c_str());
  std::string location = paramText("sys_descr");
  if (!location.empty()) appendf(out, "sysLocation %s\n", oneLine(location, "sysLocation").c_str());
  return out;
}

int writeSnmpdConf(int port, bool* trapSinks) {
  bool sinkWritten[2] = {false, false};
  std::string text = composeSnmpdConf(port, sinkWritten);
  if (!replacePrivateFile(mapPath(kSnmpdConfPath), text)) return 0;
  for (int i = 0; i < 2; ++i) trapSinkCounters[i].store(sinkWritten[i] ? 0 : -1);
  if (trapSinks != nullptr && (sinkWritten[0] || sinkWritten[1])) *trapSinks = true;
  return 1;
}

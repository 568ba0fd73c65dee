// Settings pages of the network: IPv4, IPv6, VLANs, Bonjour, e-mail.
#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "net/dhcp/dhcplease.h"
#include "net/discovery/mdnsnames.h"
#include "net/interface/ipv6routes.h"
#include "net/interface/netinterface.h"
#include "notify/notifyproducer.h"
#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/task/timeutil.h"
#include "runtime/task/uptime.h"
#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/pagetable.h"
#include "web/pages/waitpage.h"
#include "web/settings/pendingvalues.h"
#include "web/settings/settingsform.h"
#include "web/settings/settingspages.h"

namespace {

bool paramIsOn(const char* key) {
  Param* param = paramStore.find(key);
  return param != nullptr && param->isOn();
}

// The address came from the form, or from a source that is now off: the
// web pages set it from now on.
void noteAddressSource() {
  Param* address = paramStore.find("ip_addr");
  P3List* source = paramStore.findList("ip_setby");
  if (address == nullptr || source == nullptr) return;
  const bool fromForm = address->isModified();
  const bool sourceOff = (source->equals("dhcp") && !paramIsOn("ip_dhcp")) ||
                         (source->equals("bootp") && !paramIsOn("ip_bootp"));
  if (fromForm || sourceOff) source->set("http");
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* activeInterfaceName() { return activeInterface != nullptr ? activeInterface->name() : "eth0"; }

}  // namespace

int handleIpv4Page(HttpRequest& request) {
  const int result = runSettingsForm(request, noteAddressSource);
  if (result != 1) return result;
  const int64_t leaseStart = dhcpLeaseStart.load();
  if (paramIsOn("ip_dhcp") && leaseStart >= 1) {
    char text[32];
    request.setVariable("DhcpHaveLease", "1");
    request.setVariable("DhcpLease", formatUptime(dhcpLeaseSeconds.load() * 100, text, sizeof text));
    request.setVariable("DhcpGotLease", formatUptime(uptimeCs() - leaseStart, text, sizeof text));
  }
  return 1;
}

int addIpv6AddressVariables(HttpRequest& request, const char* path, const char* interfaceName) {
  std::ifstream in(path);
  if (!in) return -1;
  int count = 0;
  std::string line;
  while (std::getline(in, line)) {
    // "<32 hex digits> <index> <prefix> <scope> <flags> <name>"
    if (line.size() < 45) continue;
    const size_t nameStart = line.find_last_of(" \t");
    if (nameStart == std::string::npos || line.compare(nameStart + 1, std::string::npos, interfaceName) != 0) continue;
    unsigned char bytes[16];
    bool valid = true;
    for (int i = 0; i < 16 && valid; ++i) {
      const int high = hexValue(line[2 * i]);
      const int low = hexValue(line[2 * i + 1]);
      valid = high >= 0 && low >= 0;
      if (valid) bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    if (!valid) continue;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, bytes, text, sizeof text) == nullptr) continue;
    request.setIndexedVariable("ipv6_addrlist_", count++, text);
  }
  request.printfVariable("ipv6_addrlist_#", "%d", count);
  return count;
}

int handleIpv6Page(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  const char* name = activeInterfaceName();
  if (addIpv6AddressVariables(request, "/proc/net/if_inet6", name) <= 0) return 1;
  const Ipv6RouteList routes = listIpv6Routes(name);
  char variable[48];
  for (size_t n = 0; n < routes.rows.size(); ++n) {
    std::snprintf(variable, sizeof variable, "ipv6_gatelist_%zu", n);
    // The row holds the cell boundary between destination and next hop.
    request.setMarkupVariable(variable, routes.rows[n].c_str());
  }
  if (routes.complete) request.printfVariable("ipv6_gatelist_#", "%zu", routes.rows.size());
  return 1;
}

int handleIp4VlanPage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if ((modelFeatureBits() & FEATURE_ACCCTRL) && activeInterface != nullptr) activeInterface->applyVlanSettings();
  // The restart's wait page holds a descriptor: it is the answer then.
  return result > 1 ? result : 1;
}

int handleBonjourPage(HttpRequest& request) {
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  request.setVariable("bonjour_current", copyBonjourInstanceName().c_str());
  return 1;
}

int handleEmailPage(HttpRequest& request) {
  if (!(modelFeatureBits() & FEATURE_EMAIL)) return -1;
  if (request.getFormValue("checknow") != nullptr) {
    postNotifyEvent(0x8000);  // poll the mailbox now
    if (pageTable != nullptr) pageTable->setRefreshTarget(request);
    request.refreshDelay = 5;
    return answerWithWaitPage(request, getmuText("Check email now..."));
  }
  const int result = runSettingsForm(request);
  if (result != 1) return result;
  const MailStatus mail = readMailStatus();
  request.printfVariable("emails_in", "%lu", mail.pop3Messages);
  request.printfVariable("emails_spam", "%lu", mail.refusedCommands);
  request.setVariable("emails_instat", mail.pop3Progress.c_str());
  request.setVariable("emails_inerr", mail.pop3Error.c_str());
  request.printfVariable("emails_out", "%lu", mail.smtpSent);
  request.setVariable("emails_outstat", mail.smtpProgress.c_str());
  request.setVariable("emails_outerr", mail.smtpError.c_str());
  const int64_t nowSeconds = (uptimeCs() + 50) / 100;
  const int64_t next = mail.nextPollSecond - nowSeconds;
  request.printfVariable("emails_next", "%lld", static_cast<long long>(next > 0 ? next : 0));
  return 1;
}

#include "net/dhcp/dhcpapply.h"

#include "net/dhcp/dhcpreply.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/parambase.h"
#include "runtime/socket/ipaddress.h"

namespace {

void setAddressParam(const char* key, uint32_t word) {
  Ip4Param* param = paramStore.findIp4(key);
  if (!param) return;
  IpAddress value;
  value.fromIp4Word(word);
  param->setAddress(value);
}

void setTextParam(const char* key, const char* text) {
  Param* param = paramStore.find(key);
  if (param) param->set(text);
}

}  // namespace

int storeDhcpReplyOptions(const DhcpReplyInfo& reply) {
  if (reply.hasHostName) setTextParam("sys_name", reply.hostName);
  if (reply.hasDomain) setTextParam("dns_domain", reply.domain);
  if (reply.hasNameServers) {
    setAddressParam("dns_primary", reply.dnsPrimary);
    setAddressParam("dns_secondary", reply.dnsSecondary);
  }
  if (reply.hasNtpServer) {
    IpAddress server;
    server.fromIp4Word(reply.ntpServer);
    char text[IpAddress::kTextSize];
    server.toText(text, sizeof text);
    setTextParam("ntp_server", text);
  }
  return paramStore.commitAndSave();
}

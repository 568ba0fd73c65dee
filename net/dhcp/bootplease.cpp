// "Bootp": taking a reply's values, binding the lease, and the fall-back
// to a link-local address.
#include <cstdio>
#include <cstring>

#include "net/address/addresssetters.h"
#include "net/address/zeroconf.h"
#include "net/dhcp/bootptask.h"
#include "net/dhcp/dhcpapply.h"
#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/p3list.h"
#include "params/types/paramflags.h"

namespace {

void broadcastParamsChanged() {
  TaskMessage changed{0, MSG_PARAMS_CHANGED, 0, 0};
  broadcastToTasks(changed);
}

void commitAndAnnounce(bool announce) {
  const int result = paramStore.commitAndSave();
  if (announce && (result & CHANGE_SAVE)) broadcastParamsChanged();
}

IpAddress ip4(uint32_t word) {
  IpAddress value;
  value.fromIp4Word(word);
  return value;
}

}  // namespace

void BootpTask::applyOptions(int length) {
  DhcpReplyInfo reply;
  parseDhcpReply(buffer_, static_cast<size_t>(length), reply);
  offeredNetmask_ = ip4(reply.netmask);
  offeredRouter_ = ip4(reply.router);
  dhcpRelayAddress.store(reply.giaddr);
  if (reply.yiaddr) dhcpOfferedAddress.store(reply.yiaddr);
  // The server identifier option wins over siaddr (the next server).
  dhcpServerIdentifier.store(reply.serverId ? reply.serverId : reply.siaddr);
  std::snprintf(hostName_, sizeof hostName_, "%s", reply.hasHostName ? reply.hostName : "");
  std::snprintf(domain_, sizeof domain_, "%s", reply.hasDomain ? reply.domain : "");
  messageType_ = reply.messageType;
  if (reply.hasLease) {
    const DhcpLeaseTimes times = dhcpLeaseTimes(reply.leaseRaw, reply.t1Raw, reply.t2Raw);
    lease_ = times.lease;
    t1_ = times.t1;
    t2_ = times.t2;
    dhcpLeaseSeconds.store(lease_);
  }
  if (storeDhcpReplyOptions(reply) & CHANGE_SAVE) broadcastParamsChanged();
}

void BootpTask::bindLease(const char* source) {
  const IpAddress offered = ip4(dhcpOfferedAddress.load());
  if (Ip4Param* stored = paramStore.findIp4("ip_bootp_addr")) stored->setAddress(offered);
  setAsInterfaceAddress(offered, *nif_, source, 1);
  if (offeredNetmask_.isSet()) setAsNetmask(offeredNetmask_, *nif_, 1);
  if (offeredRouter_.isSet()) {
    setAsDefaultGateway(offeredRouter_, *nif_, 1);
  } else {
    Ip4Param* gate = paramStore.findIp4("ip_gate");
    setAsDefaultGateway(gate ? gate->address() : IpAddress(), *nif_, 1);
  }
  commitAndAnnounce(true);
}

void BootpTask::fallBackToZeroConf() {
  // An address set by hand stays.
  P3List* setBy = paramStore.findList("ip_setby");
  if (!setBy || !(setBy->equals("dhcp") || setBy->equals("bootp"))) return;
  if (Ip4Param* stored = paramStore.findIp4("ip_bootp_addr")) stored->setAddress(IpAddress());
  IpAddress address;
  makeZeroconfAddress(address, *nif_);
  if (Ip4Param* addr = paramStore.findIp4("ip_addr")) addr->setAddress(address);
  setAsInterfaceAddress(address, *nif_, "zconf", 1);
  nif_->routeLinkLocal();
  std::fprintf(stderr, "### DHCP RESET ZeroConf IP:%s and linklocal configuration ###\n", ipText(address));
  commitAndAnnounce(false);
}

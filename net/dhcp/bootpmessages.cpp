// "Bootp": building DISCOVER, REQUEST, DECLINE and the BOOTP request.
#include <cstring>
#include <string>

#include "net/dhcp/bootptask.h"
#include "net/dhcp/dhcplease.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/parambase.h"
#include "runtime/task/uptime.h"

namespace {

const uint8_t kDiscoverRequests[] = {kOptNetmask, kOptRouter, kOptHostName, 44};
const uint8_t kDiscoverRequestsWithAddress[] = {kOptRequestedAddress, kOptNetmask, kOptRouter, kOptHostName, 44};
const uint8_t kRequestRequests[] = {kOptNetmask, kOptRouter, kOptNameServer, kOptDomain, 7, 44, kOptLeaseTime,
                                    kOptServerId, kOptRenewalTime, kOptRebindingTime, kOptHostName, 69,
                                    kOptNtpServer, 2};

// `ip_bootp_addr` as a network-order word, 0 when unset.
uint32_t storedLeaseAddress() {
  Ip4Param* param = paramStore.findIp4("ip_bootp_addr");
  return param && param->hasValue() ? param->address().ip4Word() : 0;
}

}  // namespace

void BootpTask::newXid(bool bigEndian) {
  const uint32_t xid = static_cast<uint32_t>(uptimeCs());
  if (bigEndian)
    putBe32(message_.xid, xid);
  else
    std::memcpy(message_.xid, &xid, 4);
}

void BootpTask::addHostNameAndClientId(DhcpOptionWriter& options) {
  // The name is sent with its terminating zero byte.
  std::string name;
  if (Param* sysName = paramStore.find("sys_name")) name = sysName->displayText();
  if (name.empty()) name = productParams().default_name;
  if (name.size() > 63) name.resize(63);
  options.add(kOptHostName, name.c_str(), name.size() + 1);
  uint8_t clientId[7] = {1};
  std::memcpy(clientId + 1, message_.chaddr, 6);
  options.add(kOptClientId, clientId, sizeof clientId);
}

void BootpTask::sendDiscover() {
  newXid(true);
  std::memset(message_.ciaddr, 0, 4);
  DhcpOptionWriter options(message_);
  options.addByte(kOptMessageType, kDhcpDiscover);
  const uint32_t stored = storedLeaseAddress();
  if (stored)
    options.add(kOptRequestList, kDiscoverRequestsWithAddress, sizeof kDiscoverRequestsWithAddress);
  else
    options.add(kOptRequestList, kDiscoverRequests, sizeof kDiscoverRequests);
  addHostNameAndClientId(options);
  if (stored) options.addWord(kOptRequestedAddress, stored);
  options.end();
  sendBroadcast(2);
}

void BootpTask::sendRequest(int sendMode, int addressSource) {
  newXid(true);
  std::memset(message_.ciaddr, 0, 4);
  DhcpOptionWriter options(message_);
  options.addByte(kOptMessageType, kDhcpRequest);
  options.add(kOptRequestList, kRequestRequests, sizeof kRequestRequests);
  const uint32_t server = dhcpServerIdentifier.load();
  if (server) options.addWord(kOptServerId, server);
  uint32_t requested = dhcpOfferedAddress.load();
  if (addressSource == 2) {
    if (const uint32_t stored = storedLeaseAddress()) {
      requested = stored;
      // A renewing or rebinding client names its address in ciaddr.
      if (state_ != kDhcpAskStored && state_ != kDhcpStart && state_ != kDhcpAwaitOffer)
        std::memcpy(message_.ciaddr, &stored, 4);
    }
  }
  options.addWord(kOptRequestedAddress, requested);
  addHostNameAndClientId(options);
  options.end();
  if (sendMode == 2)
    sendBroadcast(2);
  else
    sendUnicast(1);
}

void BootpTask::sendBootpRequest() {
  newXid(false);
  std::memset(message_.ciaddr, 0, 4);
  // All option bytes go, so no tail of an earlier DHCP message follows.
  DhcpOptionWriter clear(message_);
  sendBroadcast(2);
}

void BootpTask::sendDecline() {
  const uint32_t offered = dhcpOfferedAddress.load();
  std::memcpy(message_.ciaddr, &offered, 4);
  newXid(true);
  DhcpOptionWriter options(message_);
  options.addByte(kOptMessageType, kDhcpDecline);
  Ip4Param* addr = paramStore.findIp4("ip_addr");
  const bool linkLocal = addr && addr->isLinkLocal();
  const uint32_t server = dhcpServerIdentifier.load();
  if (server && !linkLocal) options.addWord(kOptServerId, server);
  options.end();
  sendBroadcast(2);
}

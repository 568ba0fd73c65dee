#include "net/discovery/slptask.h"

#include <sched.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/address/addresssetters.h"
#include "net/discovery/slprequest.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/paramflags.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"

namespace {

constexpr int64_t kReceiveTimeoutCs = 3000;
constexpr int kTaskStack = 65536;
constexpr size_t kUrlSize = 1024;

bool (*restartHook)(int) = nullptr;

// `ip_addr` (network order, 0 when unset) and whether the device has no
// routable address.
uint32_t currentAddress(bool* linkLocal) {
  Ip4Param* param = paramStore.findIp4("ip_addr");
  if (!param || !param->hasValue()) {
    *linkLocal = true;
    return 0;
  }
  *linkLocal = param->isLinkLocal();
  return param->address().ip4Word();
}

}  // namespace

void setSlpRestartHook(bool (*restart)(int delaySeconds)) { restartHook = restart; }

SlpTask::SlpTask(NetInterface* nif) : UdpServerTask("SLP", kSlpPort, kSlpGroup, kSlpAllHostsGroup) { nif_ = nif; }

void SlpTask::formatUrl(char* out, size_t size, const IpAddress& local, bool limited) {
  const ProductParams& product = productParams();
  const SoftwareInfo& software = softwareInfo();
  IpAddress address;
  address.fromIp4Word(local.ip4Word());
  char addressText[IpAddress::kTextSize];
  address.toText(addressText, sizeof addressText);
  std::snprintf(out, size,
                "%s//%s;x-orv-name=%s;x-orv-mode=prot;x-orv-ver=%d.%d.%d;x-orv-nettype=%s;x-orv-swid=%d;"
                "x-orv-product=%s%s",
                kSlpServiceType, addressText, product.default_name, static_cast<int>(software.version),
                static_cast<int>(software.release), static_cast<int>(software.subrelease),
                product.network_type == 3 ? "WLAN" : "ETHER", static_cast<int>(software.software_id),
                product.product_name, limited ? ";x-limited-access" : "");
}

void SlpTask::applyAddress(const SlpRequest& request) {
  NetInterface& nif = *nif_;
  IpAddress value;
  setAsInterfaceAddress(value.fromIp4Word(request.address), nif, "slp", 1);
  if (request.hasMask) setAsNetmask(IpAddress().fromIp4Word(request.mask), nif, 1);
  if (request.hasGateway) setAsDefaultGateway(IpAddress().fromIp4Word(request.gateway), nif, 1);
  const int change = paramStore.resetModified();
  if (change & CHANGE_SAVE) paramStore.save("/etc/params.dat");
  if ((change & CHANGE_REBOOT) && restartHook) restartHook(kSlpRestartDelaySeconds);
}

int SlpTask::answerRequest(Connection* socket, const uint8_t* message, size_t length, const IpAddress& local) {
  SlpRequest request;
  if (!parseSlpRequest(message, length, &request)) return 0;
  const char* device = productParams().default_name;
  if (request.hasName && strcasecmp(request.name, device) != 0) return 0;  // another device

  bool linkLocal = false;
  const uint32_t current = currentAddress(&linkLocal);
  const SlpAddressChange change = decideSlpAddressChange(request, request.hasName, current, linkLocal);

  char url[kUrlSize];
  formatUrl(url, sizeof url, local, change == SLP_REFUSE);
  uint8_t reply[kSlpReplyFixed + kUrlSize];
  const size_t replyLength = buildSlpReply(request.header, url, reply, sizeof reply);
  // The reply leaves before the address changes: the socket it goes from
  // is bound to the address being replaced.
  int sent = 0;
  if (replyLength != 0 && socket) sent = socket->send(reply, static_cast<int>(replyLength), 1) > 0 ? 1 : 0;
  if (change == SLP_APPLY) applyAddress(request);
  return sent;
}

int SlpTask::handleRequest(Connection* socket, const uint8_t* message, size_t length, const IpAddress& local) {
  if (length < 2 || message[0] != 1 || message[1] != 1) return 0;
  return answerRequest(socket, message, length, local);
}

void SlpTask::run() {
  if (!openSockets(nif_, 0)) return;
  ByteBuffer buffer;
  for (;;) {
    Connection* read = nullptr;
    Connection* reply = nullptr;
    const int length = receive(buffer, kReceiveTimeoutCs, &read, &reply);
    if (length < 0 && read) perror("SlpIN");
    if (length <= 0 || !read || !reply) continue;
    const uint8_t* message = reinterpret_cast<const uint8_t*>(buffer.base);
    IpAddress local;
    reply->localAddress(local);
    if (read == reply) {
      if (length >= 2 && message[0] == 1 && message[1] == 1)
        handleRequest(reply, message, static_cast<size_t>(length), local);
      else
        validateSlpReply(message, static_cast<size_t>(length));
    } else {
      reply->peer = read->peer;
      reply->setDontRoute(1);
      handleRequest(reply, message, static_cast<size_t>(length), local);
      reply->setDontRoute(0);
    }
    sched_yield();
  }
}

bool startSlpTask(NetInterface& nif) {
  SlpTask* task = new SlpTask(&nif);
  if (task->start(kTaskStack) < 0) {
    delete task;
    return false;
  }
  return true;
}

#include "net/discovery/bonjourtask.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "net/interface/netinterface.h"
#include "net/interface/netparams.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/stringparam.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/uptime.h"

namespace {

std::atomic<int> runningId{-1};

constexpr int64_t kProbeIntervalCs = 25;
constexpr int64_t kProbeWaitCs = 10;
constexpr int kMaxProbeCycles = 9;
constexpr int64_t kIdleWaitCs = 100;
constexpr int kTaskStack = 65536;

// `ip_addr`, or the interface's own address while none is configured (a
// link-local one).
uint32_t announcedAddress(NetInterface* nif) {
  IpAddress address;
  if (netParamAddress("ip_addr", address) && address.ip4Word() != 0) return address.ip4Word();
  IpAddress current;
  if (nif && nif->getAddress(current, nullptr, -1)) return current.ip4Word();
  return 0;
}

// The netmask of the interface that holds the address (network order), 0
// when none does.
uint32_t netmaskOf(uint32_t address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t mask = 0;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || !entry->ifa_netmask || entry->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr != address) continue;
    mask = reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    break;
  }
  freeifaddrs(list);
  return mask;
}

}  // namespace

int bonjourRunning() { return runningId.load(); }

BonjourTask::BonjourTask(NetInterface* nif) : UdpServerTask("Bonjour", kMdnsPort, kMdnsGroup, nullptr) {
  nif_ = nif;
  hostName_[0] = 0;
  std::memset(packets_, 0, sizeof packets_);
  initMdnsCompression();
  // The shared names are reset only by the task that becomes the
  // responder (in run): another one may be answering with them now.
  copyLabelText(hostName_, productParams().default_name, kMdnsMaxLabel);
}

BonjourTask::~BonjourTask() = default;

void BonjourTask::setServicePorts(uint16_t httpsPort, uint16_t httpPort) {
  // Written only when they change: a running responder reads them.
  if (mdnsServices[0].port != httpsPort) mdnsServices[0].port = httpsPort;
  if (mdnsServices[1].port != httpPort) mdnsServices[1].port = httpPort;
}

void BonjourTask::sendGoodbye() {
  sendPacket(MDNS_GOODBYE, nullptr, nullptr);
  counter_ = 0;
}

void BonjourTask::advanceProbes() {
  const int64_t now = uptimeCs();
  switch (probeState_) {
    case -1:
      probeState_ = 0;
      probeTimerCs_ = now;
      break;
    case 0:
    case 1:
    case 2:
      if (now - probeTimerCs_ < kProbeIntervalCs) break;
      sendPacket(MDNS_HOST_PROBE, nullptr, nullptr);
      sendPacket(MDNS_SERVICE_PROBE, nullptr, nullptr);
      ++probeState_;
      ++probeCycles_;
      probeTimerCs_ = now;
      break;
    case 3:
      if (now - probeTimerCs_ < kProbeIntervalCs) break;
      sendPacket(MDNS_ANNOUNCE, nullptr, nullptr);
      announced_ = true;
      probeState_ = 4;
      probeTimerCs_ = now;
      if (counter_ != 0) {
        // The name won is kept for the next start.
        if (StringParam* name = paramStore.findString("bonjour_name")) {
          name->setStatusValue(bonjourInstanceName());
          paramStore.save("/etc/params.dat");
        }
      }
      break;
    default:
      break;
  }
}

int BonjourTask::sendDueAnswer() {
  if (dueCs_ == 0 || uptimeCs() < dueCs_) return 0;
  MdnsSource asked{};
  asked.vlan = dueVlan_;
  sendPacket(MDNS_FULL_ANSWER, &asked, nullptr);
  dueCs_ = 0;
  return 1;
}

void BonjourTask::run() {
  int expected = -1;
  if (!runningId.compare_exchange_strong(expected, id)) return;  // another responder runs
  claimed_ = true;
  resetState(true);
  for (MdnsService& service : mdnsServices) service.clearBits();
  if (!openSockets(nif_, 0)) return;
  loadInstanceCounter();
  buildInstanceName();
  hostAddress_ = announcedAddress(nif_);

  ByteBuffer buffer;
  for (;;) {
    advanceProbes();
    int64_t waitCs = kProbeWaitCs;
    if (dueCs_ != 0) {
      waitCs = dueCs_ - uptimeCs();
      if (waitCs < 1) waitCs = 1;
    } else if (probeCycles_ > kMaxProbeCycles || probeState_ > 3) {
      // Nothing to time; the wait still ends now and then so that a
      // rebuild after a parameter change is seen without a packet.
      waitCs = kIdleWaitCs;
    }
    Connection* read = nullptr;
    Connection* reply = nullptr;
    const int length = receive(buffer, waitCs, &read, &reply);
    if (rebuilt) {
      rebuilt = 0;
      closeSendSockets();
      maskedAddress_ = 0;  // a new netmask comes with a commit
      if (!netParamOn("bonjour")) return;
      buildInstanceName();
    }
    hostAddress_ = announcedAddress(nif_);
    if (length <= 0 || !read) {
      sendDueAnswer();
      continue;
    }
    MdnsSource source{};
    source.address = read->peer.ip4Word();
    source.port = read->peer.port();
    source.vlan = read->vlan;
    source.unicastSocket = read == reply;
    if (source.unicastSocket) {
      source.rowAddress = read->local.ip4Word();
      if (source.rowAddress != maskedAddress_) {
        maskedAddress_ = source.rowAddress;
        cachedMask_ = netmaskOf(source.rowAddress);
      }
      source.rowMask = cachedMask_;
    }
    handlePacket(reinterpret_cast<const uint8_t*>(buffer.base), static_cast<size_t>(length), source);
    sched_yield();
  }
}

void BonjourTask::onEnd() {
  if (!claimed_) return;  // ended at once: the running responder keeps its marker
  if (announced_) sendGoodbye();  // nothing to withdraw before the first announcement
  closeSendSockets();
  closeSockets();
  runningId.store(-1);
}

bool startBonjourTask(NetInterface& nif) {
  BonjourTask* task = new BonjourTask(&nif);
  if (task->start(kTaskStack) < 0) {
    delete task;
    return false;
  }
  return true;
}

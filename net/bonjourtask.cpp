#include "net/bonjourtask.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/netinterface.h"
#include "net/netparams.h"
#include "params/paramstore.h"
#include "params/productparams.h"
#include "params/stringparam.h"
#include "runtime/bytebuffer.h"
#include "runtime/connection.h"
#include "runtime/ipaddress.h"
#include "runtime/uptime.h"

namespace {

std::atomic<int> runningId{-1};

constexpr int64_t kProbeIntervalCs = 25;
constexpr int64_t kProbeWaitCs = 10;
constexpr int kMaxProbeCycles = 9;
constexpr int64_t kIdleWaitCs = 100;
constexpr int kTaskStack = 65536;

std::string bonjourNameParam() {
  StringParam* name = paramStore.findString("bonjour_name");
  return name ? name->getText() : std::string();
}

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

void BonjourTask::resetState(bool full) {
  packetCount_ = 0;
  used_ = 0;
  dueCs_ = 0;
  probeState_ = -1;
  probeCycles_ = 0;
  if (!full) return;
  mdnsPrimaryInstanceBuffer()[0] = 0;
  mdnsServices[2].instanceName[0] = 0;
  counter_ = 0;
  copyLabelText(hostName_, productParams().default_name, kMdnsMaxLabel);
}

void BonjourTask::loadInstanceCounter() {
  char* primary = mdnsPrimaryInstanceBuffer();
  copyLabelText(primary, bonjourNameParam().c_str(), kMdnsNameBufferSize - 1);
  char copy[kMdnsNameBufferSize];
  std::memcpy(copy, primary, sizeof copy);
  const int suffix = parseConflictSuffix(copy, false);
  if (suffix > counter_) counter_ = suffix;
}

void BonjourTask::buildInstanceName() {
  char* primary = mdnsPrimaryInstanceBuffer();
  const std::string configured = bonjourNameParam();
  const ProductParams& product = productParams();
  char text[2 * ProductParams::kTextSize + 2];
  if (configured.empty()) {
    std::snprintf(text, sizeof text, "%s@%s", product.product_name, product.default_name);
    copyLabelText(primary, text, kMdnsMaxLabel);
    return;
  }
  if (product.default_name[0] && configured.find(product.default_name) != std::string::npos) {
    copyLabelText(primary, configured.c_str(), kMdnsMaxLabel);
    return;
  }
  copyLabelText(text, configured.c_str(), kMdnsNameBufferSize - 1);
  parseConflictSuffix(text, true);
  if (counter_ < 2 || counter_ > 99) counter_ = 2;
  char suffix[8];
  const int suffixLength = std::snprintf(suffix, sizeof suffix, " (%d)", counter_);
  const size_t baseLength = copyLabelText(primary, text, kMdnsMaxLabel - suffixLength);
  std::memcpy(primary + baseLength, suffix, static_cast<size_t>(suffixLength) + 1);
}

void BonjourTask::renameAfterConflict() {
  const std::string configured = bonjourNameParam();
  const char* device = productParams().default_name;
  if (configured.empty() || (device[0] && configured.find(device) != std::string::npos)) return;
  ++counter_;
  buildInstanceName();
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
  sendPacket(MDNS_FULL_ANSWER, nullptr, nullptr);
  dueCs_ = 0;
  return 1;
}

int BonjourTask::sendPacket(int kind, const MdnsSource* source, const uint8_t* queryHeader) {
  beginPackets();
  buildResponse(kind);
  if (packetCount_ == 0) return 1;
  const bool probe = kind == MDNS_HOST_PROBE || kind == MDNS_SERVICE_PROBE;
  const bool legacy = kind == MDNS_LEGACY_REPLY && source && queryHeader;
  uint32_t to;
  inet_pton(AF_INET, kMdnsGroup, &to);
  uint16_t port = htons(kMdnsPort);
  if (legacy && source->port != kMdnsPort) {
    to = source->address;
    port = htons(source->port);
  }
  const int vlan = source ? source->vlan : -1;
  int sent = 0;
  for (int i = 0; i < packetCount_; ++i) {
    const PacketDescriptor& packet = packets_[i];
    uint16_t flags = probe ? 0 : 0x8400;
    if (legacy) flags = static_cast<uint16_t>(((queryHeader[2] << 8 | queryHeader[3]) & 0x7BFF) | 0x8400);
    if (i + 1 < packetCount_) flags |= 0x0200;
    uint8_t header[kMdnsHeaderSize] = {0};
    if (legacy) {
      header[0] = queryHeader[0];
      header[1] = queryHeader[1];
    }
    header[2] = static_cast<uint8_t>(flags >> 8);
    header[3] = static_cast<uint8_t>(flags);
    for (int c = 0; c < 4; ++c) {
      header[4 + 2 * c] = static_cast<uint8_t>(packet.counts[c] >> 8);
      header[5 + 2 * c] = static_cast<uint8_t>(packet.counts[c]);
    }
    iovec parts[2] = {{header, sizeof header}, {packetBuffer_ + packet.start, static_cast<size_t>(packet.length)}};
    sent += transmit(parts, 2, to, port, vlan);
  }
  return sent == packetCount_;
}

Connection* BonjourTask::sendSocket(int vlan) {
  for (int i = 0; i < sendSocketCount_; ++i)
    if (sendSockets_[i].vlan == vlan) return sendSockets_[i].socket;
  Connection* socket = new Connection(this, nif_, vlan);
  if (!socket->open(AF_INET, SOCK_DGRAM, 0) || !socket->setReuseAddr() || !socket->setNonBlocking() ||
      !socket->bind(kMdnsPort, 1, 0)) {
    delete socket;
    return nullptr;
  }
  socket->bindToInterface();
  socket->setMulticastTtl(255);
  socket->disableMulticastLoop();
  // It only sends: the group traffic the row sockets join is kept out of
  // its queue, and the queue stays small.
  const int off = 0;
  ::setsockopt(socket->fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  const int small = 2048;
  ::setsockopt(socket->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (sendSocketCount_ == kSendSockets) {
    delete sendSockets_[0].socket;
    std::memmove(sendSockets_, sendSockets_ + 1, sizeof(SendSocket) * (kSendSockets - 1));
    --sendSocketCount_;
  }
  sendSockets_[sendSocketCount_++] = SendSocket{vlan, socket};
  return socket;
}

void BonjourTask::closeSendSockets() {
  for (int i = 0; i < sendSocketCount_; ++i) delete sendSockets_[i].socket;
  sendSocketCount_ = 0;
}

int BonjourTask::transmit(const iovec* parts, int count, uint32_t to, uint16_t port, int vlan) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = to;
  target.sin_port = port;
  msghdr message{};
  message.msg_name = &target;
  message.msg_namelen = sizeof target;
  message.msg_iov = const_cast<iovec*>(parts);
  message.msg_iovlen = static_cast<size_t>(count);
  // A socket that fails is made anew once: the interface may have changed.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Connection* socket = sendSocket(vlan);
    if (!socket) return 0;
    if (::sendmsg(socket->fd, &message, MSG_NOSIGNAL) > 0) return 1;
    if (errno == EAGAIN) return 0;
    closeSendSockets();
  }
  return 0;
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

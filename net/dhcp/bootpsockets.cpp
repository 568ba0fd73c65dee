// "Bootp": the link-layer send socket and the UDP receive socket.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/dhcp/bootptask.h"
#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"

namespace {

const uint8_t kBroadcastMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr int kIpv4Ethertype = 0x0800;
// Every wait wakes at least this often, so a moved clock takes effect.
constexpr int64_t kWakeSliceCs = 100;

}  // namespace

int BootpTask::openReceiveSocket() {
  if (!nif_) return 0;
  IpAddress current;
  if (!nif_->getAddress(current, nullptr, -1)) return 0;
  if (receiveSocket_ && current.equals(socketAddress_)) return 0;
  socketAddress_.assign(current);
  delete receiveSocket_;
  receiveSocket_ = new Connection(this, nif_, -1);
  if (!receiveSocket_->open(AF_INET, SOCK_DGRAM, 0) || !receiveSocket_->setBroadcast() ||
      !receiveSocket_->setNonBlocking()) {
    delete receiveSocket_;
    receiveSocket_ = nullptr;
    return -1;
  }
  receiveSocket_->bindToInterface();  // only this interface's replies
  IpAddress noGroup;
  noGroup.fromIp4Word(0xffffffffu);
  if (!receiveSocket_->bindMulticast(kDhcpClientPort, noGroup, 0)) {
    std::perror("Bootp: port 68");
    delete receiveSocket_;
    receiveSocket_ = nullptr;
    return -1;
  }
  return 0;
}

int BootpTask::sendBroadcast(int mode) {
  // The reply must find the socket of the current address already open.
  openReceiveSocket();
  Connection raw(this, nif_, -1);
  if (!raw.open(AF_PACKET, SOCK_DGRAM, htons(kIpv4Ethertype))) return -1;
  const int ifIndex = raw.interfaceIndex();
  if (ifIndex <= 0 || !raw.bindPacket(ifIndex, kBroadcastMac)) return -1;
  if (mode == 2) putBe16(message_.flags, 0x8000);
  const int64_t seconds = (uptimeCs() - startTick_) / 100;
  putBe16(message_.secs, static_cast<uint16_t>(seconds < 0 ? 0 : (seconds > 0xffff ? 0xffff : seconds)));
  uint8_t frame[kDhcpFrameSize];
  buildDhcpFrame(message_, frame);
  return raw.sendRaw(frame, sizeof frame, 1) == kDhcpFrameSize ? 0 : -1;
}

int BootpTask::sendUnicast(int mode) {
  putBe16(message_.flags, mode == 2 ? 0x8000 : 0);
  openReceiveSocket();
  if (!receiveSocket_) return -1;
  receiveSocket_->peer.clear(false);
  receiveSocket_->peer.fromIp4Word(dhcpServerIdentifier.load());
  receiveSocket_->peer.setPort(kDhcpServerPort);
  return receiveSocket_->send(&message_, sizeof message_, 1) == kDhcpMessageSize ? 0 : -1;
}

int BootpTask::receiveReply(int64_t deadlineCs) {
  for (;;) {
    const int64_t left = deadlineCs - uptimeCs();
    if (left <= 0) return -1;
    openReceiveSocket();
    const int fd = receiveSocket_ ? receiveSocket_->fd : -1;
    const int woke = wait(left < kWakeSliceCs ? left : kWakeSliceCs, fd);
    if (woke == WAIT_FAILED) return -1;
    if (restartAsked_) return -1;
    if (woke != WAIT_FD_READY || fd < 0) continue;
    for (;;) {
      const ssize_t got = ::recv(fd, buffer_, sizeof buffer_, MSG_DONTWAIT | MSG_TRUNC);
      if (got < 0) break;  // drained (or an error: wait again)
      if (static_cast<size_t>(got) > sizeof buffer_) continue;  // larger than any reply we take
      if (isReplyFor(buffer_, static_cast<size_t>(got), mac_, message_.xid)) return static_cast<int>(got);
    }
  }
}

bool BootpTask::sleepUntil(int64_t deadlineCs) {
  for (;;) {
    int64_t slice = kWakeSliceCs;
    if (deadlineCs >= 0) {
      const int64_t left = deadlineCs - uptimeCs();
      if (left <= 0) return true;
      if (left < slice) slice = left;
    }
    const int woke = wait(slice);
    if (woke == WAIT_WOKEN || woke == WAIT_FAILED) return false;
  }
}

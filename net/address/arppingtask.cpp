#include "net/address/arppingtask.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstring>

#include "net/address/addresssetters.h"
#include "net/address/arppingaddress.h"
#include "net/interface/netinterface.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/paramflags.h"
#include "runtime/socket/connection.h"

static_assert(kPacketToThisHost == PACKET_HOST, "packet type of frames sent to this host");

namespace {

constexpr int kIpv4Ethertype = 0x0800;
constexpr int64_t kReopenPauseCs = 100;
constexpr int64_t kReceiveWaitCs = 100;
constexpr int32_t kArpPingStack = 20480;

bool addressIsLinkLocal() {
  Ip4Param* addr = paramStore.findIp4("ip_addr");
  return addr && addr->isLinkLocal();
}

}  // namespace

ArpPingTask::ArpPingTask(NetInterface* nif) : Task("ArpPing"), nif_(nif) {
  if (nif_) nif_->getMacAddress(mac_);
}

ArpPingTask::~ArpPingTask() { delete socket_; }

int ArpPingTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_ADDRESS_CHANGED) reopen_ = true;
  return msg.flags & ~MSG_ADDRESS_CHANGED;
}

bool ArpPingTask::reopenSocket() {
  if (socket_) {
    delete socket_;
    socket_ = nullptr;
    wait(kReopenPauseCs);
  }
  socket_ = new Connection(this, nif_, -1);
  if (!socket_->open(AF_PACKET, SOCK_DGRAM, htons(kIpv4Ethertype))) return false;
  const int ifIndex = socket_->interfaceIndex();
  return ifIndex > 0 && socket_->bindPacket(ifIndex, mac_);
}

void ArpPingTask::takeAddress(uint32_t target) {
  IpAddress address;
  address.fromIp4Word(target);
  setAsInterfaceAddress(address, *nif_, "ping", 1);
  IpAddress classful;
  address.mask(classful);
  setAsNetmask(classful, *nif_, 1);
  if (paramStore.resetModified() & CHANGE_SAVE) paramStore.save("/etc/params.dat");
}

void ArpPingTask::run() {
  for (;;) {
    if (reopen_) {
      if (!reopenSocket()) return;
      reopen_ = false;
    }
    if (wait(kReceiveWaitCs, socket_->fd) != WAIT_FD_READY) continue;
    sockaddr_ll from;
    socklen_t fromLength = sizeof from;
    const ssize_t got = ::recvfrom(socket_->fd, buffer_, sizeof buffer_, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got <= 0) continue;
    uint32_t target = 0;
    if (addressIsLinkLocal() &&
        echoRequestTarget(buffer_, static_cast<size_t>(got), from.sll_pkttype, &target)) {
      takeAddress(target);
      return;
    }
    sched_yield();
  }
}

bool startArpPing(NetInterface& nif) {
  ArpPingTask* task = new ArpPingTask(&nif);
  if (task->start(kArpPingStack) < 0) {
    delete task;
    return false;
  }
  return true;
}

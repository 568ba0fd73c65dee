// "Bootp": life of the task, the client loop and the DHCP state machine.
#include "net/dhcp/bootptask.h"

#include <sched.h>

#include <cstring>

#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "params/store/paramstore.h"
#include "params/types/ip4param.h"
#include "params/types/parambase.h"
#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"

namespace {

constexpr int64_t kReplyWaitCs = 500;
constexpr int64_t kBootpRetryCs = 12000;
// A renewal or rebinding window is never shorter than this, so a very
// short lease still leaves time for an answer.
constexpr int64_t kMinWindowCs = 100;
constexpr int32_t kBootpStack = 20480;

bool paramOn(const char* key) {
  Param* param = paramStore.find(key);
  return param && param->isOn();
}

bool storedLeaseKnown() {
  Ip4Param* param = paramStore.findIp4("ip_bootp_addr");
  return param && param->hasValue();
}

}  // namespace

BootpTask::BootpTask(NetInterface* nif) : Task("Bootp"), state_(kDhcpStart), startTick_(uptimeCs()), nif_(nif) {
  if (nif_) nif_->getMacAddress(mac_);
  initDhcpMessage(message_, mac_);
  dhcpOfferedAddress.store(0);
  dhcpServerIdentifier.store(0);
  dhcpRelayAddress.store(0);
}

BootpTask::~BootpTask() { delete receiveSocket_; }

void BootpTask::run() { runClient(); }

int BootpTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_WLAN_UP) {
    state_ = kDhcpStart;
    restartAsked_ = true;
  }
  return msg.flags & ~MSG_ADDRESS_CHANGED;
}

bool BootpTask::takeRestart() {
  if (!restartAsked_) return false;
  restartAsked_ = false;
  state_ = kDhcpStart;
  return true;
}

int64_t BootpTask::leaseDeadline(uint32_t seconds) const {
  return dhcpLeaseStart.load() + static_cast<int64_t>(seconds) * 100;
}

void BootpTask::runClient() {
  if (storedLeaseKnown()) state_ = kDhcpAskStored;
  Ip4Param* addr = paramStore.findIp4("ip_addr");
  if (addr && addr->hasValue()) {
    if (openReceiveSocket() < 0 || !receiveSocket_) return;
  }
  static const uint8_t kNoMac[6] = {};
  if (std::memcmp(message_.chaddr, kNoMac, 6) == 0 && nif_) {
    nif_->getMacAddress(mac_);
    std::memcpy(message_.chaddr, mac_, 6);
  }
  std::memcpy(mac_, message_.chaddr, 6);
  for (;;) {
    const bool dhcp = paramOn("ip_dhcp");
    const bool bootp = paramOn("ip_bootp");
    if (!dhcp && !bootp) return;
    if (dhcp) {
      while (state_ != kDhcpRestart) stepDhcp();
      state_ = kDhcpStart;
    }
    if (bootp) {
      const int64_t now = uptimeCs();
      if (lastBootpRequest_ < 0 || now - lastBootpRequest_ > kBootpRetryCs) {
        lastBootpRequest_ = now;
        sendBootpRequest();
      }
      const int length = receiveReply(uptimeCs() + kReplyWaitCs);
      takeRestart();
      if (length > 0 && getDhcpMessageType(buffer_, static_cast<size_t>(length)) == 0) {
        applyOptions(length);
        bindLease("bootp");
        return;
      }
    }
  }
}

void BootpTask::stepDhcp() {
  int length = -1;
  int type = 0;
  // Waits for a reply until the state's deadline; false when a restart
  // was asked for meanwhile (the state is then kDhcpStart).
  auto awaitReply = [&](int64_t deadline) {
    length = receiveReply(deadline);
    type = length > 0 ? getDhcpMessageType(buffer_, static_cast<size_t>(length)) : 0;
    return !takeRestart();
  };
  auto bindAck = [&](int next) {
    applyOptions(length);
    bindLease("dhcp");
    dhcpLeaseStart.store(uptimeCs());
    state_ = next;
  };
  // An ACK binds; silence or a NAK gives up on the address: zero-conf
  // takes over while discovery starts again.
  auto bindOrFallBack = [&]() {
    if (type == kDhcpAck) {
      bindAck(kDhcpBound);
    } else if (length < 0 || type == kDhcpNak) {
      fallBackToZeroConf();
      state_ = kDhcpStart;
    }
  };
  // Waits until the end of the lease window, yet at least minWaitCs.
  auto waitForWindow = [&](int64_t windowEnd, int64_t minWaitCs) {
    const int64_t earliest = uptimeCs() + minWaitCs;
    replyDeadline_ = windowEnd > earliest ? windowEnd : earliest;
  };

  switch (state_) {
    case kDhcpAskStored:
      startTick_ = uptimeCs();
      sendRequest(2, 2);
      replyDeadline_ = uptimeCs() + kReplyWaitCs;
      state_ = kDhcpAwaitStored;
      break;
    case kDhcpAwaitStored:
      if (!awaitReply(replyDeadline_)) break;
      bindOrFallBack();
      break;
    case kDhcpStart:
      startTick_ = uptimeCs();
      sendDiscover();
      replyDeadline_ = uptimeCs() + kReplyWaitCs;
      state_ = kDhcpAwaitOffer;
      break;
    case kDhcpAwaitOffer:
      if (!awaitReply(replyDeadline_)) break;
      if (type == kDhcpOffer) {
        applyOptions(length);
        sendRequest(2, 1);
        replyDeadline_ = uptimeCs() + kReplyWaitCs;
        state_ = kDhcpAwaitAck;
      } else if (length < 0) {
        state_ = kDhcpRestart;
      }
      break;
    case kDhcpAwaitAck:
      if (!awaitReply(replyDeadline_)) break;
      if (type == kDhcpAck)
        bindAck(kDhcpBound);
      else if (length < 0 || type == kDhcpNak)
        state_ = kDhcpStart;
      break;
    case kDhcpBound:
      // An infinite lease (0) waits until a message ends the wait.
      sleepUntil(lease_ ? leaseDeadline(t1_) : -1);
      if (takeRestart()) break;
      startTick_ = uptimeCs();
      sendRequest(1, 2);
      waitForWindow(lease_ ? leaseDeadline(t2_) : 0, lease_ ? kMinWindowCs : kReplyWaitCs);
      state_ = kDhcpRenewing;
      break;
    case kDhcpRenewing: {
      if (!awaitReply(replyDeadline_)) break;
      if (length < 0) {
        if (!lease_) {
          // An infinite lease is kept when nobody answers.
          state_ = kDhcpBound;
          break;
        }
        sendRequest(2, 2);
        waitForWindow(leaseDeadline(lease_), kMinWindowCs);
        state_ = kDhcpRebinding;
        break;
      }
      Ip4Param* addr = paramStore.findIp4("ip_addr");
      if (!addr || addr->address().ip4Word() != dhcpOfferedAddress.load()) {
        state_ = kDhcpRestart;  // another source set the address meanwhile
      } else {
        bindOrFallBack();  // a reply came: length is not negative here
      }
      break;
    }
    case kDhcpRebinding:
      if (!awaitReply(replyDeadline_)) break;
      bindOrFallBack();
      break;
    default:
      state_ = kDhcpRestart;
      break;
  }
  sched_yield();
}

bool startBootpClient(NetInterface& nif) {
  BootpTask* task = new BootpTask(&nif);
  if (task->start(kBootpStack) < 0) {
    delete task;
    return false;
  }
  return true;
}

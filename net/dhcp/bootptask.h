// "Bootp": the DHCP and BOOTP client. It sends hand-built IPv4/UDP frames
// on a link-layer socket (it may have no usable address yet), receives the
// replies on a UDP socket bound to port 68, applies a lease through the
// address setters and falls back to a link-local address when DHCP fails.
//
// Every wait runs to a deadline on the program clock and wakes at least
// once a second, so a moved clock (a stepped time, or a test) takes effect
// at once; waits are counted in 64-bit 1/100 s.
#ifndef NET_DHCP_BOOTPTASK_H
#define NET_DHCP_BOOTPTASK_H

#include <cstdint>

#include "net/dhcp/dhcpmessage.h"
#include "net/dhcp/dhcpreply.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

class Connection;
class NetInterface;

// States of the DHCP exchange.
enum DhcpState {
  kDhcpAskStored = 0,     // REQUEST for the stored lease
  kDhcpAwaitStored = 1,   // waiting for its answer
  kDhcpStart = 2,         // DISCOVER
  kDhcpAwaitOffer = 3,
  kDhcpAwaitAck = 4,
  kDhcpBound = 5,
  kDhcpRenewing = 6,
  kDhcpRebinding = 7,
  kDhcpRestart = 8,       // the client loop starts over
};

class BootpTask : public Task {
 public:
  explicit BootpTask(NetInterface* nif);
  ~BootpTask() override;

  void run() override;
  // MSG_WLAN_UP starts DHCP over (its bit stays, so it ends the wait);
  // MSG_ADDRESS_CHANGED is consumed.
  int onMessage(const TaskMessage& msg) override;

  // The client loop: ends when both protocols are off or a BOOTP reply was
  // bound.
  void runClient();
  // One step of the DHCP state machine.
  void stepDhcp();

  int state() const { return state_; }

 private:
  // Sockets.
  int openReceiveSocket();
  // Waits until deadlineCs for a reply to the last message; its length in
  // buffer_, or -1 (time-out, failure, or a restart was asked for).
  int receiveReply(int64_t deadlineCs);
  int sendBroadcast(int mode);
  int sendUnicast(int mode);
  // Messages.
  void newXid(bool bigEndian);
  void addHostNameAndClientId(DhcpOptionWriter& options);
  void sendDiscover();
  void sendRequest(int sendMode, int addressSource);
  void sendBootpRequest();
  void sendDecline();
  // Replies.
  void applyOptions(int length);
  void bindLease(const char* source);
  void fallBackToZeroConf();
  // Waits serving messages until deadlineCs (negative: no limit) or a
  // message ends the wait; false when the wait was ended early.
  bool sleepUntil(int64_t deadlineCs);
  int64_t leaseDeadline(uint32_t seconds) const;
  bool takeRestart();

  int state_;
  int messageType_ = 0;
  DhcpMessage message_;
  uint32_t lease_ = 0;
  uint32_t t1_ = 0;
  uint32_t t2_ = 0;
  uint32_t t1Raw_ = 0;
  uint32_t t2Raw_ = 0;
  IpAddress offeredNetmask_;
  IpAddress offeredRouter_;
  IpAddress socketAddress_;
  char hostName_[64] = {};
  char domain_[260] = {};
  Connection* receiveSocket_ = nullptr;
  int64_t startTick_;
  NetInterface* nif_;
  int64_t replyDeadline_ = 0;
  int64_t lastBootpRequest_ = -1;
  bool restartAsked_ = false;
  uint8_t mac_[6] = {};
  uint8_t buffer_[2048];
};

// Creates and starts "Bootp" on the interface; false when it could not start.
bool startBootpClient(NetInterface& nif);

#endif

// "ArpPing": while the device has only a link-local address, the first
// ICMP echo request sent to its MAC gives it its IPv4 address (the
// address the request was sent to, with the classful netmask). The task
// never answers the request itself; once an address is taken it ends.
#ifndef NET_ADDRESS_ARPPINGTASK_H
#define NET_ADDRESS_ARPPINGTASK_H

#include <cstdint>

#include "runtime/task/task.h"

class Connection;
class NetInterface;

class ArpPingTask : public Task {
 public:
  explicit ArpPingTask(NetInterface* nif);
  ~ArpPingTask() override;

  void run() override;
  // MSG_ADDRESS_CHANGED makes the task reopen its socket.
  int onMessage(const TaskMessage& msg) override;

 private:
  bool reopenSocket();
  // Sets and stores the address with its classful netmask.
  void takeAddress(uint32_t target);

  NetInterface* nif_;
  uint8_t mac_[6] = {};
  Connection* socket_ = nullptr;
  bool reopen_ = true;
  uint8_t buffer_[2048];
};

// Creates and starts "ArpPing"; false when it could not start.
bool startArpPing(NetInterface& nif);

#endif

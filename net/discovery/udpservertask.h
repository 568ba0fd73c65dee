// Task base of the UDP services that listen on one port on every interface
// and VLAN (the mDNS responder, the SLP agent): per row a unicast socket and
// up to two multicast group sockets.
//
// Rows: row 0 is the plain interface, rows 1 .. `usb_ports_phy` (at most 20)
// the port VLANs, and with `ip4vlan_mgmt` one more row the management VLAN.
// The task keeps its sockets in step with the configuration and the
// interface address by itself, in its message handler: a parameter change
// rebuilds every socket (and sets rebuilt), an address change reopens the
// unicast sockets. A service's run() calls openSockets and then loops on
// receive.
#ifndef NET_DISCOVERY_UDPSERVERTASK_H
#define NET_DISCOVERY_UDPSERVERTASK_H

#include <cstdint>

#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"

class Connection;
class NetInterface;
struct ByteBuffer;

constexpr int kUdpServerRows = 22;     // plain interface, 20 port VLANs, management VLAN
constexpr int kUdpServerPortRows = 20; // port VLAN rows at most
constexpr int kUdpSocketsPerRow = 3;   // unicast, group 1, group 2

class UdpServerTask : public Task {
 public:
  // Absent groups (null) are the empty IPv4 address. The group texts are
  // parsed as addresses.
  UdpServerTask(const char* name, uint16_t port, const char* group1, const char* group2);
  ~UdpServerTask() override;

  // Builds every row on the interface: 1, or 0 after closing everything
  // when a socket could not be built.
  int openSockets(NetInterface* nif, int any);
  // The unicast socket of a row on the given connection object: 1/0.
  int openUnicastSocket(Connection* connection, int any);
  // Destroys every socket of every row in use.
  void closeSockets();
  // Waits for a datagram (timeoutCs in 1/100 s covers the whole call; 0 or
  // negative: no limit), serving the task's messages meanwhile. A readable
  // group socket is read before any unicast socket; its row's unicast
  // socket is then the one to answer from. One datagram per call: its byte
  // count (sender in (*read)->peer), or -1 when nothing came in time.
  int receive(ByteBuffer& buffer, int64_t timeoutCs, Connection** read, Connection** reply);
  int onMessage(const TaskMessage& msg) override;

  uint16_t port() const { return port_; }
  int rowCount() const { return rowCount_; }
  Connection* socketAt(int row, int position) const;
  // Set to 1 by every rebuild after a parameter change; the service may
  // read and clear it.
  uint8_t rebuilt;

 protected:
  NetInterface* nif_ = nullptr;

 private:
  uint16_t port_;
  IpAddress group1_;
  IpAddress group2_;
  int32_t rowCount_;
  int any_ = 0;
  Connection* rows_[kUdpServerRows][kUdpSocketsPerRow];
};

#endif

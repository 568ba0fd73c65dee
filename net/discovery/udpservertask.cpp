#include "net/discovery/udpservertask.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/interface/netinterface.h"
#include "net/interface/netparams.h"
#include "params/identity/productparams.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"

namespace {

// The VLAN of a row, or false when the row has no sockets.
bool rowVlan(int row, int rowCount, bool management, int* vlan) {
  if (row == 0) {
    *vlan = -1;
    return netParamOn("ip4vlan_mgmt_untag");
  }
  if (management && row == rowCount - 1) {
    *vlan = netParamInt("ip4vlan_mgmt_id", -1);
    return *vlan >= 0;
  }
  if (!netParamOn("ip4vlan_on_", row)) return false;
  *vlan = netParamInt("ip4vlan_id_", -1, row);
  return *vlan >= 0;
}

int64_t leftCs(int64_t deadline) { return deadline - uptimeCs(); }

}  // namespace

UdpServerTask::UdpServerTask(const char* name, uint16_t port, const char* group1, const char* group2)
    : Task(name), rebuilt(0), port_(port), rowCount_(1) {
  if (group1) parseIpAddress(group1_, group1);
  if (group2) parseIpAddress(group2_, group2);
  std::memset(rows_, 0, sizeof rows_);
}

UdpServerTask::~UdpServerTask() { closeSockets(); }

Connection* UdpServerTask::socketAt(int row, int position) const {
  if (row < 0 || row >= kUdpServerRows || position < 0 || position >= kUdpSocketsPerRow) return nullptr;
  return rows_[row][position];
}

int UdpServerTask::openUnicastSocket(Connection* connection, int any) {
  if (!connection->open(AF_INET, SOCK_DGRAM, 0)) return 0;
  connection->setNonBlocking();
  if (!connection->bindPort(port_, 0, 0, any)) return 0;
  connection->bindToInterface();  // without the device the socket still serves
  return 1;
}

int UdpServerTask::openSockets(NetInterface* nif, int any) {
  nif_ = nif;
  any_ = any;
  const bool management = netParamOn("ip4vlan_mgmt");
  const int portRows = std::min<int>(static_cast<int>(productParams().usb_ports_phy), kUdpServerPortRows);
  rowCount_ = portRows + 1 + (management ? 1 : 0);
  const int perRow = group2_.isSet() ? 3 : 2;

  for (int row = 0; row < rowCount_; ++row) {
    int vlan = -1;
    const bool used = rowVlan(row, rowCount_, management, &vlan);
    for (int position = 0; position < perRow; ++position) {
      delete rows_[row][position];
      rows_[row][position] = nullptr;
      if (!used) continue;
      Connection* socket = new Connection(this, nif, vlan);
      rows_[row][position] = socket;
      bool ok;
      if (position == 0) {
        ok = openUnicastSocket(socket, any) != 0;
      } else {
        const IpAddress& group = position == 1 ? group1_ : group2_;
        ok = socket->open(AF_INET, SOCK_DGRAM, 0) && socket->setNonBlocking() &&
             socket->bindMulticast(port_, group, 0);
        if (ok) {
          socket->bindToInterface();
          if (nif) nif->addMulticastAddress(group, vlan);
        }
      }
      if (!ok) {
        closeSockets();
        return 0;
      }
    }
  }
  return 1;
}

void UdpServerTask::closeSockets() {
  for (int row = 0; row < kUdpServerRows; ++row) {
    for (int position = 0; position < kUdpSocketsPerRow; ++position) {
      delete rows_[row][position];
      rows_[row][position] = nullptr;
    }
  }
}

int UdpServerTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) {
    NetInterface* nif = nif_ ? nif_ : activeInterface;
    closeSockets();
    openSockets(nif, any_);
    rebuilt = 1;
    return msg.flags & ~MSG_PARAMS_CHANGED;
  }
  if (msg.flags & MSG_ADDRESS_CHANGED) {
    for (int row = 0; row < kUdpServerRows; ++row) {
      Connection* unicast = rows_[row][0];
      if (!unicast) continue;
      unicast->close();
      openUnicastSocket(unicast, any_);
    }
    return msg.flags & ~MSG_ADDRESS_CHANGED;
  }
  return msg.flags;
}

int UdpServerTask::receive(ByteBuffer& buffer, int64_t timeoutCs, Connection** read, Connection** reply) {
  *read = nullptr;
  *reply = nullptr;
  // Old content goes; an allocation of our own is kept for the next datagram.
  if (buffer.owned)
    buffer.rewind();
  else
    buffer.clear();
  const int64_t deadline = timeoutCs > 0 ? uptimeCs() + timeoutCs : 0;

  for (;;) {
    // One descriptor per open socket, in row order, after the pipe.
    pollfd fds[1 + kUdpServerRows * kUdpSocketsPerRow];
    Connection* owners[1 + kUdpServerRows * kUdpSocketsPerRow];
    int count = 0;
    fds[count] = pollfd{pipeRead, POLLIN, 0};
    owners[count++] = nullptr;
    for (int row = 0; row < kUdpServerRows; ++row)
      for (int position = 0; position < kUdpSocketsPerRow; ++position) {
        Connection* socket = rows_[row][position];
        if (!socket || socket->fd < 0) continue;
        fds[count] = pollfd{socket->fd, POLLIN, 0};
        owners[count++] = socket;
      }

    int ms = -1;
    if (timeoutCs > 0) {
      const int64_t left = leftCs(deadline);
      if (left <= 0) return -1;
      ms = static_cast<int>(std::min<int64_t>(left * 10, 1000));  // the program clock decides the end
    }
    const int ready = ::poll(fds, static_cast<nfds_t>(count), ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) {
      if (timeoutCs > 0 && leftCs(deadline) <= 0) return -1;
      continue;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      receiveMessage();  // may rebuild the sockets: what this pass saw is void
      continue;
    }

    // A group socket first (rows in order, group 1 before group 2), then a
    // unicast socket.
    auto readable = [&](const Connection* socket) {
      if (!socket) return false;
      for (int i = 1; i < count; ++i)
        if (owners[i] == socket) return (fds[i].revents & (POLLIN | POLLERR)) != 0;
      return false;
    };
    for (int row = 0; row < kUdpServerRows && !*read; ++row)
      for (int position = 1; position < kUdpSocketsPerRow && !*read; ++position)
        if (readable(rows_[row][position])) {
          *read = rows_[row][position];
          *reply = rows_[row][0];
        }
    for (int row = 0; row < kUdpServerRows && !*read; ++row)
      if (readable(rows_[row][0])) *read = *reply = rows_[row][0];
    if (!*read) continue;
    return (*read)->receive(buffer, 0);
  }
}

// Sending the responder's packets: the header of each, the destination,
// and the sockets they leave from.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "net/discovery/bonjourtask.h"
#include "net/interface/netinterface.h"
#include "runtime/socket/connection.h"

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

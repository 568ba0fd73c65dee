#include "usbserver/connections/usbconnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/usb/usbhost.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/access/accesskey.h"
#include "usbserver/connections/usbrowhandover.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/transfers/urbbuffers.h"
#include "usbserver/transfers/urbengine.h"

std::atomic<int32_t> usbConnectionCount{0};
std::atomic<int32_t> usbActiveConnectionTasks{0};

namespace {

std::mutex tlsDescriptionMutex;
char usbTlsDescription[USB_TLS_DESCRIPTION_SIZE];

int64_t msToCs(int ms) { return ms / 10; }

}  // namespace

void copyUsbTlsDescription(char* out, int size) {
  if (!out || size <= 0) return;
  std::lock_guard<std::mutex> hold(tlsDescriptionMutex);
  std::snprintf(out, static_cast<size_t>(size), "%s", usbTlsDescription);
}

UsbConnection::UsbConnection(TlsConnection* s, Task* task) : UsbEventSource(s ? s->fd : -1, -1), socket(s) {
  ownerTask = task;
}

UsbConnection::~UsbConnection() { releaseRowSources(); }

int UsbConnection::readFully(void* buffer, int size, int timeoutMs) {
  if (!socket) return -1;
  auto* p = static_cast<uint8_t*>(buffer);
  int got = 0;
  while (got < size) {
    int64_t waitCs = msToCs(timeoutMs);
    if (requestDeadlineCs >= 0) {
      // One deadline for the whole request: a client that trickles its
      // bytes cannot restart the time-out with each one.
      const int64_t left = requestDeadlineCs - uptimeCs();
      if (left <= 0) return CONN_TIMEOUT;
      if (waitCs <= 0 || waitCs > left) waitCs = left;
    }
    const int r = socket->readInto(p + got, size - got, waitCs);
    if (r <= 0) return r;
    got += r;
  }
  noteTlsSession();
  return got;
}

void UsbConnection::startRequestDeadline() {
  requestDeadlineCs = uptimeCs() + USB_IO_TIMEOUT_MS / 10;
}

void UsbConnection::allowBodyBytes(int64_t bytes) {
  if (requestDeadlineCs < 0 || bytes <= 0) return;
  requestDeadlineCs += bytes * 100 / USB_MIN_BODY_RATE;
}

void UsbConnection::noteTlsSession() {
  if (tlsNoted || !socket || !socket->session) return;
  tlsNoted = 1;
  char text[USB_TLS_DESCRIPTION_SIZE] = {};
  describeTlsSession(socket, text, sizeof text);
  std::lock_guard<std::mutex> hold(tlsDescriptionMutex);
  std::memcpy(usbTlsDescription, text, sizeof text);
}

int UsbConnection::writeFully(const void* buffer, int size, int timeoutMs) {
  if (!socket) return -1;
  return socket->write(buffer, size, static_cast<int>(msToCs(timeoutMs)), 0);
}

int UsbConnection::writeVector(const iovec* pieces, int count) {
  if (!socket) return -1;
  if (count <= 0) return count;
  int64_t total = 0;
  for (int i = 0; i < count; ++i) total += static_cast<int64_t>(pieces[i].iov_len);
  int64_t written = socket->writev(pieces, count);
  if (written < 0 && !socket->session && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) written = 0;
  if (written < 0 || (socket->session && written != total)) return -1;
  // A plain socket is non-blocking: what it did not take at once is
  // written with bounded waits for room.
  int64_t skip = written;
  for (int i = 0; i < count; ++i) {
    const int64_t length = static_cast<int64_t>(pieces[i].iov_len);
    if (skip >= length) {
      skip -= length;
      continue;
    }
    const int rest = static_cast<int>(length - skip);
    if (writeFully(static_cast<const uint8_t*>(pieces[i].iov_base) + skip, rest, USB_IO_TIMEOUT_MS) != rest) return -1;
    skip = 0;
  }
  return static_cast<int>(total);
}

int UsbConnection::discardBytes(int64_t size) {
  uint8_t scratch[4096];
  while (size > 0) {
    const int n = size > static_cast<int64_t>(sizeof scratch) ? static_cast<int>(sizeof scratch) : static_cast<int>(size);
    if (readFully(scratch, n, USB_IO_TIMEOUT_MS) != n) return 0;
    size -= n;
  }
  return 1;
}

int UsbConnection::sendReply(UsbReplyHeader header, const void* data, uint32_t length) {
  if (!data) length = 0;
  header.dataLength = length;
  uint8_t head[USB_REPLY_HEADER_SIZE];
  encodeReplyHeader(header, head);
  const int64_t total = USB_REPLY_HEADER_SIZE + static_cast<int64_t>(length);
  iovec pieces[2] = {{head, sizeof head}, {const_cast<void*>(data), length}};
  return writeVector(pieces, length ? 2 : 1) == total ? 0 : -1;
}

int UsbConnection::sendStatus(const UsbRequestHeader& request, uint32_t status, int32_t error) {
  UsbReplyHeader reply = makeReplyHeader(request);
  reply.status = status;
  reply.error = error;
  return sendReply(reply);
}

int UsbConnection::sendNotice(uint32_t opcode, int row, int port) {
  uint8_t notice[USB_NOTICE_SIZE];
  encodeUsbNotice(opcode, static_cast<uint8_t>(row), static_cast<uint8_t>(port), notice);
  return writeFully(notice, sizeof notice, USB_IO_TIMEOUT_MS) == USB_NOTICE_SIZE ? 0 : -1;
}

int UsbConnection::watchRowHandle(int rowIndex) {
  if (rowIndex < 0 || rowIndex >= USB_TABLE_ROWS) return 0;
  UsbDeviceRow& r = usbDeviceTable[rowIndex];
  muxIn(rowIndex);
  unwatchRow(rowIndex);
  UsbEventSource* source = r.usbfsHandle >= 0 ? UsbEventSource::create(r.usbfsHandle, rowIndex) : nullptr;
  bool kept = false;
  if (source) {
    try {
      rowSources_.push_back(source);
      kept = true;
    } catch (const std::bad_alloc&) {
    }
  }
  int ok = 0;
  if (kept && source->attachTo(ownerTask)) {
    source->parent = this;
    source->setHandler(usb_srv_poll);
    source->enableOutput();
    r.eventSource = source;
    ok = 1;
  } else if (kept) {
    destroyRowSource(source);
  } else {
    delete source;
  }
  unlockUsbDeviceRow(rowIndex);
  return ok;
}

void UsbConnection::destroyRowSource(UsbEventSource*& source) {
  if (!source) return;
  for (auto it = rowSources_.begin(); it != rowSources_.end(); ++it) {
    if (*it == source) {
      rowSources_.erase(it);
      break;
    }
  }
  destroyUsbEventSource(source);
}

void UsbConnection::unwatchRow(int rowIndex) {
  if (rowIndex < 0 || rowIndex >= USB_TABLE_ROWS) return;
  muxIn(rowIndex);
  destroyRowSource(usbDeviceTable[rowIndex].eventSource);
  unlockUsbDeviceRow(rowIndex);
}

void UsbConnection::releaseRowSources() {
  while (!rowSources_.empty()) {
    UsbEventSource* source = rowSources_.back();
    rowSources_.pop_back();
    // A row still pointing at it lets go first: no row may keep a freed
    // source, and no later handover may take it.
    const int rowIndex = source->row;
    if (rowIndex >= 0 && rowIndex < USB_TABLE_ROWS) {
      muxIn(rowIndex);
      if (usbDeviceTable[rowIndex].eventSource == source) usbDeviceTable[rowIndex].eventSource = nullptr;
      unlockUsbDeviceRow(rowIndex);
    }
    destroyUsbEventSource(source);
  }
}

void UsbConnection::closeRowHandle(int rowIndex) {
  if (rowIndex < 0 || rowIndex >= USB_TABLE_ROWS) return;
  muxIn(rowIndex);
  unwatchRow(rowIndex);
  usbDeviceTable[rowIndex].closeDevice();
  unlockUsbDeviceRow(rowIndex);
}

void UsbConnection::queueHandover(std::shared_ptr<UsbHandover> handover) {
  std::lock_guard<std::mutex> hold(handoverMutex_);
  handovers_.push_back(std::move(handover));
}

int UsbConnection::serveHandovers(int send) {
  std::vector<std::shared_ptr<UsbHandover>> work;
  {
    std::lock_guard<std::mutex> hold(handoverMutex_);
    work.swap(handovers_);
  }
  int result = 0;
  for (const std::shared_ptr<UsbHandover>& h : work) {
    if (h->kind == UsbHandoverKind::Revoked) {
      // The handle goes first: the kernel gives back the URBs in flight,
      // so their records can be freed.
      destroyRowSource(h->source);
      if (h->handle >= 0) {
        dropUrbBuffers(h->handle);
        usbHost().closeDevice(h->handle);
      }
      h->handle = -1;
      freeUrbList(h->transfers);
    }
    if (send && result == 0) {
      const uint32_t opcode = h->kind == UsbHandoverKind::Revoked ? USB_OP_DEVICE_GONE : USB_OP_PORT_DISABLED;
      if (sendNotice(opcode, h->row, h->port) != 0) result = -1;
    }
    h->done.store(true);
  }
  return result;
}

bool isConnectionSecure(const UsbConnection& c) { return c.socket && c.socket->session; }

int getConnectionPeerAddress(const UsbConnection& c, void* out, int size) {
  if (!c.socket || !out) return 0;
  const IpAddress& peer = c.socket->peer;
  if (peer.family() == IpAddress::kFamilyIp4 ||
      (peer.isIp6() && IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(peer.ip6Bytes())))) {
    if (size < static_cast<int>(sizeof(sockaddr_in))) return 0;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(peer.port());
    const uint32_t word = peer.ip4Word();
    std::memcpy(&v4.sin_addr, &word, 4);
    std::memcpy(out, &v4, sizeof v4);
    return sizeof v4;
  }
  if (!peer.isIp6() || size < static_cast<int>(sizeof(sockaddr_in6))) return 0;
  std::memcpy(out, peer.rawBytes(), sizeof(sockaddr_in6));
  return sizeof(sockaddr_in6);
}

int getConnectionPeerIpv4(const UsbConnection& c, uint8_t out[4]) {
  sockaddr_in6 any{};
  if (getConnectionPeerAddress(c, &any, sizeof any) != static_cast<int>(sizeof(sockaddr_in))) return 0;
  sockaddr_in v4;
  std::memcpy(&v4, &any, sizeof v4);
  std::memcpy(out, &v4.sin_addr, 4);
  return 1;
}

void formatConnectionPeer(const UsbConnection& c, char* out, int size) {
  if (!out || size <= 0) return;
  sockaddr_in6 any{};
  if (getConnectionPeerAddress(c, &any, sizeof any) != static_cast<int>(sizeof(sockaddr_in))) {
    std::snprintf(out, static_cast<size_t>(size), "--");
    return;
  }
  sockaddr_in v4;
  std::memcpy(&v4, &any, sizeof v4);
  const auto* a = reinterpret_cast<const uint8_t*>(&v4.sin_addr);
  std::snprintf(out, static_cast<size_t>(size), "%03d.%03d.%03d.%03d:%d", a[0], a[1], a[2], a[3], ntohs(v4.sin_port));
}

#include "usbclientlib.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/des.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "runtime/bytes/byteorder.h"

namespace usbclient {

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kMaxReplyData = 16u << 20;  // sanity bound of a reply's data

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The transfer descriptor of SUBMIT_URB.
std::vector<uint8_t> transferDescriptor(int row, int port, uint8_t endpoint, uint8_t type, uint32_t inLength,
                                        uint32_t outLength) {
  std::vector<uint8_t> d(12);
  d[0] = static_cast<uint8_t>(row);
  d[1] = static_cast<uint8_t>(port);
  d[2] = endpoint;
  d[3] = type;
  putBe32(d.data() + 4, inLength);
  putBe32(d.data() + 8, outLength);
  return d;
}

}  // namespace

void encodeRequest(uint8_t out[16], uint32_t context, uint32_t opcode, uint32_t tag, uint32_t payloadLength) {
  putBe32(out, context);
  putBe32(out + 4, opcode);
  putBe32(out + 8, tag);
  putBe32(out + 12, payloadLength);
}

std::vector<uint8_t> keyPayload(const std::vector<PortKey>& keys, uint32_t c, bool sha1) {
  std::vector<uint8_t> out = {'O', 'R', static_cast<uint8_t>(sha1 ? 'v' : 'V'), static_cast<uint8_t>(keys.size())};
  for (const PortKey& k : keys) {
    if (sha1) {
      std::string text = {kB64[(c >> 24) & 63], kB64[(c >> 16) & 63], kB64[(c >> 8) & 63], kB64[c & 63]};
      text += k.key;
      uint8_t digest[SHA_DIGEST_LENGTH];
      SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
      out.push_back(static_cast<uint8_t>(k.port >> 8));
      out.push_back(static_cast<uint8_t>(k.port));
      out.insert(out.end(), digest, digest + sizeof digest);
    } else {
      const char salt[3] = {kB64[(c ^ (c >> 24)) & 63], kB64[((c >> 16) ^ (c >> 8)) & 63], 0};
      char hash[14] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
      DES_fcrypt(k.key.c_str(), salt, hash);
#pragma GCC diagnostic pop
      out.push_back(static_cast<uint8_t>(k.port));
      out.insert(out.end(), hash + 2, hash + 13);
    }
  }
  return out;
}

std::string describe(const Device& d) {
  char text[96];
  std::snprintf(text, sizeof text, "row %d port %d %04x:%04x speed %d", d.row, d.port, d.idVendor(), d.idProduct(),
                d.speed);
  return text;
}

Client::Client() = default;

Client::~Client() { close(); }

bool Client::open(const std::string& host, int port, bool tls, int timeoutMs) {
  close();
  timeoutMs_ = timeoutMs;
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    error_ = "unknown host " + host;
    return false;
  }
  for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Bounds the connect too: a filtered port never answers.
    const timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) fd_ = fd;
    else ::close(fd);
  }
  freeaddrinfo(found);
  if (fd_ < 0) {
    error_ = std::string("connect: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!tls) return true;

  ctx_ = SSL_CTX_new(TLS_client_method());
  ssl_ = ctx_ ? SSL_new(ctx_) : nullptr;
  if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) {
    error_ = "TLS set-up failed";
    close();
    return false;
  }
  SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
  timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (SSL_connect(ssl_) != 1) {
    error_ = "TLS handshake failed";
    close();
    return false;
  }
  return true;
}

void Client::close() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Client::waitFor(short events, int ms) {
  pollfd p = {fd_, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool Client::sendBytes(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (length > 0) {
    if (fd_ < 0) return false;
    ssize_t n;
    if (ssl_) {
      n = SSL_write(ssl_, p, static_cast<int>(length));
      if (n <= 0) {
        error_ = "TLS write failed";
        return false;
      }
    } else {
      if (!waitFor(POLLOUT, remainingMs(deadline))) {
        error_ = "write timed out";
        return false;
      }
      n = ::send(fd_, p, length, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = std::string("write: ") + std::strerror(errno);
        return false;
      }
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Client::readBytes(void* data, size_t length) {
  uint8_t* p = static_cast<uint8_t*>(data);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (length > 0) {
    if (fd_ < 0) return false;
    if (!(ssl_ && SSL_pending(ssl_) > 0) && !waitFor(POLLIN, remainingMs(deadline))) {
      error_ = "read timed out";
      return false;
    }
    ssize_t n;
    if (ssl_) {
      n = SSL_read(ssl_, p, static_cast<int>(length));
      if (n <= 0) {
        const int e = SSL_get_error(ssl_, static_cast<int>(n));
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) continue;
        error_ = "connection closed";
        return false;
      }
    } else {
      n = ::recv(fd_, p, length, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = n == 0 ? "connection closed" : std::string("read: ") + std::strerror(errno);
        return false;
      }
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Client::sendRequest(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body, uint32_t payloadLength,
                         uint32_t context) {
  std::vector<uint8_t> bytes(16);
  encodeRequest(bytes.data(), context, opcode, tag, payloadLength);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return sendBytes(bytes.data(), bytes.size());
}

bool Client::readMessage(Message& out) {
  uint8_t head[24];
  if (!readBytes(head, 8)) return false;
  out = Message();
  out.context = getBe32(head);
  out.opcode = getBe32(head + 4);
  if (out.opcode == OP_DEVICE_GONE || out.opcode == OP_PORT_DISABLED) {
    if (!readBytes(head + 8, 8)) return false;
    out.notice = true;
    out.tag = getBe32(head + 8);
    out.dataLength = getBe32(head + 12);
    if (out.dataLength != 2) {
      error_ = "malformed notice";
      return false;
    }
    out.data.resize(2);
    return readBytes(out.data.data(), 2);
  }
  if (!readBytes(head + 8, 16)) return false;
  out.tag = getBe32(head + 8);
  out.dataLength = getBe32(head + 12);
  out.status = getBe32(head + 16);
  out.error = static_cast<int32_t>(getBe32(head + 20));
  if (out.dataLength > kMaxReplyData) {
    error_ = "reply data too long";
    return false;
  }
  out.data.resize(out.dataLength);
  return out.dataLength == 0 || readBytes(out.data.data(), out.dataLength);
}

bool Client::readReply(Message& out) {
  for (;;) {
    if (!readMessage(out)) return false;
    if (!out.notice) return true;
    notices_.push_back(out);
  }
}

bool Client::closedByPeer(int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (fd_ < 0) return true;
    if (!waitFor(POLLIN, remainingMs(deadline))) return false;
    uint8_t byte;
    if (ssl_) {
      const int n = SSL_read(ssl_, &byte, 1);
      if (n > 0) return false;
      const int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_WANT_READ) continue;
      return true;
    }
    const ssize_t n = ::recv(fd_, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n <= 0;
  }
}

bool Client::quietFor(int ms) {
  if (fd_ < 0) return false;
  if (ssl_ && SSL_pending(ssl_) > 0) return false;
  return !waitFor(POLLIN, ms);
}

bool Client::hello(uint32_t tag, uint16_t values[4]) {
  Message reply;
  if (!sendRequest(OP_HELLO, tag) || !readReply(reply)) return false;
  if (reply.opcode != (OP_HELLO | REPLY_BIT) || reply.status != STATUS_OK || reply.data.size() < 8) {
    error_ = "hello refused";
    return false;
  }
  challenge_ = tag;
  if (values)
    for (int i = 0; i < 4; ++i) values[i] = static_cast<uint16_t>(reply.data[2 * i] << 8 | reply.data[2 * i + 1]);
  return true;
}

bool Client::listDevices(std::vector<Device>& out, const std::vector<PortKey>& keys, bool sha1, Message* replyOut) {
  out.clear();
  const std::vector<uint8_t> payload = keys.empty() ? std::vector<uint8_t>() : keyPayload(keys, challenge_, sha1);
  Message reply;
  if (!sendRequest(OP_DEVICE_LIST, nextTag(), payload, static_cast<uint32_t>(payload.size())) ||
      !readReply(reply))
    return false;
  if (replyOut) *replyOut = reply;
  if (reply.status != STATUS_OK || reply.data.size() < 3) {
    error_ = "device list refused";
    return false;
  }
  const size_t count = reply.data[0];
  if (reply.data.size() < 3 + count * 22) {
    error_ = "device list too short";
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = reply.data.data() + 3 + i * 22;
    Device d;
    d.row = r[0];
    d.port = r[1];
    d.speed = r[2];
    d.available = r[3];
    std::memcpy(d.descriptor, r + 4, sizeof d.descriptor);
    out.push_back(d);
  }
  return true;
}

bool Client::connect(int row, int port, const std::string& name, Message& reply) {
  std::vector<uint8_t> body(34, 0);
  body[0] = static_cast<uint8_t>(row);
  body[1] = static_cast<uint8_t>(port);
  std::memcpy(body.data() + 2, name.data(), name.size() < 32 ? name.size() : 32);
  return sendRequest(OP_CONNECT, nextTag(), body) && readReply(reply);
}

bool Client::disconnect(int row, int port, Message& reply) {
  return sendRequest(OP_DISCONNECT, nextTag(), {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}) &&
         readReply(reply);
}

bool Client::setConfiguration(int row, int port, int value, Message& reply) {
  return sendRequest(OP_SET_CONFIGURATION, nextTag(),
                     {static_cast<uint8_t>(row), static_cast<uint8_t>(port), static_cast<uint8_t>(value), 0}) &&
         readReply(reply);
}

bool Client::portStatus(int row, int port, Message& reply) {
  return sendRequest(OP_PORT_STATUS, nextTag(), {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}) &&
         readReply(reply);
}

bool Client::control(int row, int port, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     uint16_t length, const std::vector<uint8_t>& outData, Message& reply) {
  const bool in = (requestType & 0x80) != 0;
  const uint32_t inLength = in ? length : 0;
  const uint32_t outLength = 8 + (in ? 0 : static_cast<uint32_t>(outData.size()));
  std::vector<uint8_t> body = transferDescriptor(row, port, in ? 0x80 : 0x00, 2, inLength, outLength);
  uint8_t setup[8] = {requestType, request};
  putBe16(setup + 2, value);
  putBe16(setup + 4, index);
  putBe16(setup + 6, length);
  body.insert(body.end(), setup, setup + 8);
  if (!in) body.insert(body.end(), outData.begin(), outData.end());
  return sendRequest(OP_SUBMIT_URB, nextTag(), body) && readReply(reply);
}

bool Client::getDescriptor(int row, int port, uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                           Message& reply) {
  return control(row, port, 0x80, 6, static_cast<uint16_t>(type << 8 | index), language, length, {}, reply);
}

bool Client::transfer(int row, int port, uint8_t endpoint, uint8_t type, const std::vector<uint8_t>& outData,
                      uint32_t inLength, std::vector<Message>& completions) {
  completions.clear();
  const bool in = (endpoint & 0x80) != 0;
  std::vector<uint8_t> body =
      transferDescriptor(row, port, endpoint, type, in ? inLength : 0, in ? 0 : static_cast<uint32_t>(outData.size()));
  if (!in) body.insert(body.end(), outData.begin(), outData.end());
  const uint32_t tag = nextTag();
  if (!sendRequest(OP_SUBMIT_URB, tag, body)) return false;
  for (;;) {
    Message m;
    if (!readReply(m)) return false;
    if (m.tag != tag) continue;  // a completion of something else
    completions.push_back(m);
    if (m.opcode != OP_URB_PARTIAL_REPLY) return true;
  }
}

std::vector<uint8_t> Client::joinData(const std::vector<Message>& completions) {
  std::vector<uint8_t> all;
  for (const Message& m : completions) all.insert(all.end(), m.data.begin(), m.data.end());
  return all;
}

}  // namespace usbclient

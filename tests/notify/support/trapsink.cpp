#include "notify/support/trapsink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/namespace_socket.h"

namespace {

struct Reader {
  const uint8_t* p;
  const uint8_t* end;

  // One TLV: its tag and contents; false when malformed.
  bool next(uint8_t* tag, Reader* contents) {
    if (end - p < 2) return false;
    *tag = *p++;
    size_t len = *p++;
    if (len & 0x80) {
      int n = len & 0x7f;
      if (n == 0 || n > 3 || end - p < n) return false;
      len = 0;
      while (n--) len = (len << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    *contents = Reader{p, p + len};
    p += len;
    return true;
  }
  bool expect(uint8_t want, Reader* contents) {
    uint8_t tag = 0;
    return next(&tag, contents) && tag == want;
  }
};

long integerOf(const Reader& r) {
  long v = (r.p < r.end && (*r.p & 0x80)) ? -1 : 0;
  for (const uint8_t* q = r.p; q < r.end; ++q) v = (v << 8) | *q;
  return v;
}

std::string oidOf(const Reader& r) {
  if (r.p >= r.end) return "";
  std::string s = std::to_string(*r.p / 40) + "." + std::to_string(*r.p % 40);
  unsigned long sub = 0;
  for (const uint8_t* q = r.p + 1; q < r.end; ++q) {
    sub = (sub << 7) | (*q & 0x7f);
    if (!(*q & 0x80)) {
      s += "." + std::to_string(sub);
      sub = 0;
    }
  }
  return s;
}

}  // namespace

const DecodedVarbind* DecodedTrap::leaf(int n) const {
  const std::string want = "1.3.6.1.4.1.32473.2.51." + std::to_string(n);
  for (const DecodedVarbind& v : varbinds)
    if (v.oid == want) return &v;
  return nullptr;
}

bool decodeV1Trap(const uint8_t* data, size_t length, DecodedTrap* trap) {
  Reader all{data, data + length};
  Reader msg, field, pdu;
  if (!all.expect(0x30, &msg)) return false;
  if (!msg.expect(0x02, &field) || integerOf(field) != 0) return false;
  if (!msg.expect(0x04, &field)) return false;
  trap->community.assign(reinterpret_cast<const char*>(field.p), static_cast<size_t>(field.end - field.p));
  if (!msg.expect(0xa4, &pdu)) return false;
  if (!pdu.expect(0x06, &field)) return false;
  trap->enterprise = oidOf(field);
  if (!pdu.expect(0x40, &field)) return false;
  if (!pdu.expect(0x02, &field)) return false;
  trap->generic = integerOf(field);
  if (!pdu.expect(0x02, &field)) return false;
  trap->specific = integerOf(field);
  if (!pdu.expect(0x43, &field)) return false;
  Reader list;
  if (!pdu.expect(0x30, &list)) return false;
  while (list.p < list.end) {
    Reader bind, name, value;
    if (!list.expect(0x30, &bind) || !bind.expect(0x06, &name)) return false;
    DecodedVarbind v;
    v.oid = oidOf(name);
    if (!bind.next(&v.type, &value)) return false;
    if (v.type == 0x04)
      v.text.assign(reinterpret_cast<const char*>(value.p), static_cast<size_t>(value.end - value.p));
    else
      v.integer = integerOf(value);
    trap->varbinds.push_back(v);
  }
  return true;
}

TrapSink::TrapSink(const std::string& netns, const std::string& address, int port) {
  // The socket is made by a thread that joins the namespace: it stays
  // bound there after the thread is gone.
  std::thread maker([&] {
    if (!netns.empty() && !joinNetworkNamespace(netns)) return;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      return;
    }
    fd_ = fd;
  });
  maker.join();
}

TrapSink::~TrapSink() {
  if (fd_ >= 0) close(fd_);
}

std::vector<DecodedTrap> TrapSink::receive(size_t count, int timeoutMs) {
  std::vector<DecodedTrap> out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t buffer[2048];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    DecodedTrap trap;
    if (n > 0 && decodeV1Trap(buffer, static_cast<size_t>(n), &trap)) out.push_back(trap);
  }
  return out;
}

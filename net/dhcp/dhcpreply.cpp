#include "net/dhcp/dhcpreply.h"

#include <cstring>

#include "net/dhcp/dhcpmessage.h"

namespace {

constexpr size_t kOpOffset = 0;
constexpr size_t kXidOffset = 4;
constexpr size_t kYiaddrOffset = 16;
constexpr size_t kSiaddrOffset = 20;
constexpr size_t kGiaddrOffset = 24;
constexpr size_t kChaddrOffset = 28;
constexpr size_t kCookieOffset = 236;

constexpr uint32_t kInfiniteLease = 0xffffffffu;
constexpr uint32_t kMaxLease = 1u << 25;
constexpr uint32_t kMaxRenewal = 1u << 24;

uint32_t word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Calls visit(code, value, length) for each option of the reply whose
// value lies inside the data.
template <typename Visit>
void walkOptions(const uint8_t* data, size_t length, Visit visit) {
  size_t at = kDhcpOptionsOffset;
  while (at < length) {
    const uint8_t code = data[at];
    if (code == kOptEnd) return;
    if (code == kOptPad) {
      ++at;
      continue;
    }
    if (at + 2 > length) return;
    const size_t optionLength = data[at + 1];
    if (at + 2 + optionLength > length) return;  // runs past the datagram
    visit(code, data + at + 2, optionLength);
    at += 2 + optionLength;
  }
}

void copyText(char* out, size_t size, const uint8_t* value, size_t length) {
  if (length > size - 1) length = size - 1;
  std::memcpy(out, value, length);
  out[length] = '\0';
}

}  // namespace

int isReplyFor(const uint8_t* data, size_t length, const uint8_t mac[6], const uint8_t xid[4]) {
  if (!data || length < kDhcpMinReply) return 0;
  if (data[kOpOffset] != 2) return 0;
  if (std::memcmp(data + kCookieOffset, kDhcpMagicCookie, 4) != 0) return 0;
  if (std::memcmp(data + kChaddrOffset, mac, 6) != 0) return 0;
  return std::memcmp(data + kXidOffset, xid, 4) == 0 ? 1 : 0;
}

int getDhcpMessageType(const uint8_t* data, size_t length) {
  if (!data || length < kDhcpMinReply) return 0;
  int type = 0;
  walkOptions(data, length, [&](uint8_t code, const uint8_t* value, size_t n) {
    if (code == kOptMessageType && n >= 1) type = value[0];
  });
  return type;
}

int parseDhcpReply(const uint8_t* data, size_t length, DhcpReplyInfo& out) {
  out = DhcpReplyInfo();
  if (!data || length < kDhcpMinReply) return 0;
  out.yiaddr = word(data + kYiaddrOffset);
  out.siaddr = word(data + kSiaddrOffset);
  out.giaddr = word(data + kGiaddrOffset);
  walkOptions(data, length, [&](uint8_t code, const uint8_t* value, size_t n) {
    switch (code) {
      case kOptNetmask:
        if (n >= 4) out.netmask = word(value);
        break;
      case kOptRouter:
        if (n >= 4) out.router = word(value);
        break;
      case kOptNameServer:
        if (n >= 4) {
          out.hasNameServers = true;
          out.dnsPrimary = word(value);
          out.dnsSecondary = n >= 8 ? word(value + 4) : 0;
        }
        break;
      case kOptHostName:
        out.hasHostName = true;
        copyText(out.hostName, sizeof out.hostName, value, n);
        break;
      case kOptDomain:
        out.hasDomain = true;
        copyText(out.domain, sizeof out.domain, value, n);
        break;
      case kOptNtpServer:
        if (n >= 4) {
          out.hasNtpServer = true;
          out.ntpServer = word(value);
        }
        break;
      case kOptLeaseTime:
        if (n == 4) {
          out.hasLease = true;
          out.leaseRaw = getBe32(value);
        }
        break;
      case kOptMessageType:
        if (n >= 1) out.messageType = value[0];
        break;
      case kOptServerId:
        if (n >= 4) out.serverId = word(value);
        break;
      case kOptRenewalTime:
        if (n == 4) out.t1Raw = getBe32(value);
        break;
      case kOptRebindingTime:
        if (n == 4) out.t2Raw = getBe32(value);
        break;
      default:
        break;
    }
  });
  return 1;
}

DhcpLeaseTimes dhcpLeaseTimes(uint32_t leaseRaw, uint32_t t1Raw, uint32_t t2Raw) {
  DhcpLeaseTimes times{0, 0, 0};
  if (leaseRaw == kInfiniteLease) return times;
  times.lease = leaseRaw < kMaxLease ? leaseRaw : kMaxLease;
  times.t1 = t1Raw < kMaxRenewal ? t1Raw : kMaxRenewal;
  times.t2 = t2Raw < kMaxRenewal ? t2Raw : kMaxRenewal;
  if (!(times.t1 > 0 && times.t1 < times.t2 && times.t2 < times.lease)) {
    times.t1 = times.lease / 2;
    times.t2 = static_cast<uint32_t>(static_cast<uint64_t>(times.lease) * 7 / 8);
  }
  return times;
}

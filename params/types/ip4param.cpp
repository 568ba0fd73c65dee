#include "params/types/ip4param.h"

#include <arpa/inet.h>

#include <cstring>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"

namespace {

// Smallest buffer format accepts for an IPv4 address.
constexpr int kIp4FormatMinimum = 20;

// Longest address text taken with an explicit length.
constexpr size_t kMaxAddressText = 63;

}  // namespace

Ip4Param::Ip4Param(const char* key, const IpAddress& def, int32_t kind, const ParamLimits* limits, uint32_t flags)
    : Param(key, kind, flags), limits_(limits), address_(def) {}

int Ip4Param::validate(const char* text) const { return text != nullptr && looksLikeIp4Text(text); }

int Ip4Param::assignFamily(const char* text, int length, bool ipv6) {
  if (text == nullptr) return 0;
  char copy[kMaxAddressText + 1];
  if (length >= 0) {
    if (!copyTerminated(copy, sizeof copy, text, strnlen(text, static_cast<size_t>(length)))) return 0;
    text = copy;
  }
  IpAddress parsed;
  parsed.clear(ipv6);
  uint8_t raw[16];
  if (inet_pton(ipv6 ? AF_INET6 : AF_INET, text, raw) != 1) return 0;
  if (ipv6)
    parsed.setIp6Bytes(raw);
  else
    parsed.fromIp4Bytes(raw[0], raw[1], raw[2], raw[3]);
  // An unchanged address is refused.
  return setAddress(parsed);
}

int Ip4Param::assign(const char* text, int length) { return assignFamily(text, length, false); }

bool Ip4Param::namesFamilyValue(const char* text, bool ipv6) const {
  uint8_t raw[16];
  if (text == nullptr || !validate(text) || inet_pton(ipv6 ? AF_INET6 : AF_INET, text, raw) != 1) return false;
  IpAddress parsed;
  parsed.clear(ipv6);
  if (ipv6)
    parsed.setIp6Bytes(raw);
  else
    parsed.fromIp4Bytes(raw[0], raw[1], raw[2], raw[3]);
  return address().equals(parsed);
}

bool Ip4Param::namesStoredValue(const char* text) const { return namesFamilyValue(text, false); }

int Ip4Param::formatFamily(char* buffer, int size, int minSize) const {
  char text[IpAddress::kTextSize];
  int n = address().toText(text, sizeof text);
  if (size != 0 && (size < minSize || n + 1 > size)) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, text, static_cast<size_t>(n) + 1);
  return n;
}

int Ip4Param::format(char* buffer, int size) const { return formatFamily(buffer, size, kIp4FormatMinimum); }

int Ip4Param::print(FILE* out) const {
  char text[IpAddress::kTextSize];
  address().toText(text, sizeof text);
  return std::fprintf(out, "%s", text);
}

int Ip4Param::hasValue() const { return address().isSet(); }

int Ip4Param::snmpGet(std::string& out) const {
  IpAddress a = address();
  if (a.family() == IpAddress::kFamilyIp4) {
    out.assign(reinterpret_cast<const char*>(a.rawBytes() + 4), 4);
    return 1;
  }
  if (a.family() == IpAddress::kFamilyIp6) {
    out.assign(reinterpret_cast<const char*>(a.ip6Bytes()), 16);
    return 1;
  }
  out.clear();
  return 0;
}

bool Ip4Param::isLinkLocal() const { return address().isLinkLocal4() != 0; }

IpAddress Ip4Param::address() const {
  ParamLock guard(*this);
  return address_;
}

int Ip4Param::setAddress(const IpAddress& address) {
  ParamLock guard(*this);
  if (address_.equals(address)) return 0;
  address_ = address;
  markModified();
  return 1;
}

int Ip4Param::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  switch (action) {
    case SNMP_RESERVE1:
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asnType != SNMP_TYPE_IPADDRESS) return SNMP_WRONG_TYPE;
      if (length != 4 || value == nullptr) return SNMP_WRONG_LENGTH;
      return SNMP_NO_ERROR;
    case SNMP_ACTION: {
      snmpSaved_ = address();
      if (value == nullptr || length != 4) return SNMP_NO_ERROR;  // RESERVE1 refused it
      IpAddress a;
      a.fromIp4Bytes(value[0], value[1], value[2], value[3]);
      setAddress(a);
      return SNMP_NO_ERROR;
    }
    case SNMP_COMMIT:
      return snmpCommit(*this);
    case SNMP_UNDO:
      setAddress(snmpSaved_);
      clearModified();
      return SNMP_NO_ERROR;
    default:  // RESERVE2, FREE
      return SNMP_NO_ERROR;
  }
}

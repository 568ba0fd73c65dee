#include "params/types/ip6address.h"

#include <arpa/inet.h>

#include <cstring>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"

namespace {

constexpr int kIp6FormatMinimum = 40;
constexpr size_t kMaxSnmpIp6Text = 40;

IpAddress emptyIp6() {
  IpAddress a;
  a.clear(true);
  return a;
}

// The octets as an IPv6 text: no NUL inside, short enough, and inet_pton
// takes it. The parsed bytes go to raw.
bool parseIp6Octets(const uint8_t* value, size_t length, uint8_t raw[16]) {
  char text[64];
  if (value == nullptr || std::memchr(value, '\0', length) != nullptr) return false;
  if (!copyTerminated(text, sizeof text, value, length)) return false;
  return inet_pton(AF_INET6, text, raw) == 1;
}

}  // namespace

Ip6Address::Ip6Address(const char* key, const char* defText, int32_t kind, const ParamLimits* limits,
                       uint32_t flags)
    : Ip4Param(key, emptyIp6(), kind, limits, flags) {
  uint8_t raw[16];
  if (defText != nullptr && inet_pton(AF_INET6, defText, raw) == 1)
    address_.setIp6Bytes(raw);
  else
    std::fprintf(stderr, "ERROR: Ip6Address initialization faild with:[%s]!\n", defText ? defText : "(null)");
}

int Ip6Address::validate(const char* text) const {
  uint8_t raw[16];
  return text != nullptr && inet_pton(AF_INET6, text, raw) == 1;
}

int Ip6Address::assign(const char* text, int length) { return assignFamily(text, length, true); }

bool Ip6Address::namesStoredValue(const char* text) const { return namesFamilyValue(text, true); }

int Ip6Address::format(char* buffer, int size) const { return formatFamily(buffer, size, kIp6FormatMinimum); }

int Ip6Address::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  uint8_t raw[16];
  switch (action) {
    case SNMP_RESERVE1:
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asnType != SNMP_TYPE_OCTET_STRING || !parseIp6Octets(value, length, raw)) return SNMP_WRONG_TYPE;
      if (length > kMaxSnmpIp6Text) return SNMP_WRONG_LENGTH;
      return SNMP_NO_ERROR;
    case SNMP_ACTION: {
      snmpSaved_ = address();
      if (!parseIp6Octets(value, length, raw)) return SNMP_NO_ERROR;  // RESERVE1 refused it
      IpAddress a;
      a.clear(true);
      a.setIp6Bytes(raw);
      setAddress(a);
      return SNMP_NO_ERROR;
    }
    default:  // COMMIT, UNDO, RESERVE2, FREE as for IPv4
      return Ip4Param::setBySnmp(action, value, asnType, length);
  }
}

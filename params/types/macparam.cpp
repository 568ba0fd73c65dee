#include "params/types/macparam.h"

#include <cstring>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"
#include "runtime/socket/macaddress.h"

namespace {

// "xx:xx:xx:xx:xx:xx" and its terminator.
constexpr int kMacTextBytes = 18;

}  // namespace

MacParam::MacParam(const char* key, const uint8_t* def6, int32_t kind, const ParamLimits* limits, uint32_t flags)
    : Param(key, kind, flags), limits_(limits) {
  if (def6 != nullptr)
    std::memcpy(mac_, def6, sizeof mac_);
  else
    std::memset(mac_, 0, sizeof mac_);
}

int MacParam::validate(const char* text) const {
  if (text == nullptr) return 0;
  unsigned fields[6];
  return parseMacFields(text, fields) == 6;
}

int MacParam::format(char* buffer, int size) const {
  if (size != 0 && size < kMacTextBytes) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  uint8_t m[6];
  getBytes(m);
  return std::snprintf(buffer, kMacTextBytes, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

int MacParam::print(FILE* out) const {
  uint8_t m[6];
  getBytes(m);
  return std::fprintf(out, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

int MacParam::assign(const char* text, int length) {
  if (text == nullptr) return 0;
  char copy[64];
  if (length >= 0) {
    if (!copyTerminated(copy, sizeof copy, text, strnlen(text, static_cast<size_t>(length)))) return 0;
    text = copy;
  }
  ParamLock guard(*this);
  MacAddress value;
  std::memcpy(value.bytes, mac_, sizeof mac_);
  int changed = parseMacAddress(value, text);
  if (!changed) return 0;  // an unchanged address is refused
  std::memcpy(mac_, value.bytes, sizeof mac_);
  markModified();
  return 1;
}

bool MacParam::namesStoredValue(const char* text) const {
  if (text == nullptr || !validate(text)) return false;
  uint8_t stored[6];
  getBytes(stored);
  // Parsed over the inverse of the stored bytes, a valid text always
  // reports a change; then it names the stored value when they match.
  MacAddress parsed;
  for (int i = 0; i < 6; ++i) parsed.bytes[i] = static_cast<uint8_t>(~stored[i]);
  return parseMacAddress(parsed, text) != 0 && std::memcmp(parsed.bytes, stored, sizeof stored) == 0;
}

int MacParam::hasValue() const {
  uint8_t m[6];
  getBytes(m);
  for (uint8_t b : m) {
    if (b != 0) return 1;
  }
  return 0;
}

int MacParam::snmpGet(std::string& out) const {
  uint8_t m[6];
  getBytes(m);
  out.assign(reinterpret_cast<const char*>(m), sizeof m);
  return 1;
}

void MacParam::getBytes(uint8_t out[6]) const {
  ParamLock guard(*this);
  std::memcpy(out, mac_, sizeof mac_);
}

int MacParam::setBytes(const uint8_t* bytes) {
  ParamLock guard(*this);
  if (std::memcmp(mac_, bytes, sizeof mac_) == 0) return 0;
  std::memcpy(mac_, bytes, sizeof mac_);
  return 1;
}

int MacParam::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  switch (action) {
    case SNMP_RESERVE1:
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asnType != SNMP_TYPE_OCTET_STRING) return SNMP_WRONG_TYPE;
      if (length != 6 || value == nullptr) return SNMP_WRONG_LENGTH;
      return SNMP_NO_ERROR;
    case SNMP_ACTION:
      getBytes(snmpSaved_);
      if (value != nullptr && length == 6 && setBytes(value)) markModified();
      return SNMP_NO_ERROR;
    case SNMP_COMMIT:
      return snmpCommit(*this);
    case SNMP_UNDO:
      setBytes(snmpSaved_);
      clearModified();
      return SNMP_NO_ERROR;
    default:  // RESERVE2, FREE
      return SNMP_NO_ERROR;
  }
}

#include "params/types/intparam.h"

#include <cctype>
#include <cstring>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"

namespace {

// At most this many characters are read from a text given with its length.
constexpr int kMaxIntText = 30;

}  // namespace

IntParam::IntParam(const char* key, int32_t kind, const ParamLimits* limits, uint32_t flags, int32_t value)
    : Param(key, kind, flags), limits_(limits), value_(value) {}

bool IntParam::inRange(int64_t v) const {
  if (kind_ != KIND_RANGED || limits_ == nullptr) return true;
  return v >= limits_->min && v <= limits_->max;
}

int IntParam::validate(const char* text) const {
  if (text == nullptr || kind_ != KIND_RANGED) return kind_ == KIND_ANY;
  const char* p = text;
  if (*p == '-') ++p;
  for (; *p; ++p) {
    if (!std::isalnum(static_cast<unsigned char>(*p))) return 0;
  }
  int32_t v;
  if (!parseLeadingInt32(text, &v)) return 0;
  return inRange(v) ? 1 : 0;
}

int IntParam::format(char* buffer, int size) const {
  int32_t v = value();
  if (size == 0) return std::sprintf(buffer, "%d", v);
  if (size < 0) return 0;
  return std::snprintf(buffer, static_cast<size_t>(size), "%d", v);
}

int IntParam::print(FILE* out) const { return std::fprintf(out, "%d", value()); }

int IntParam::assign(const char* text, int length) {
  if (text == nullptr) return 0;
  int32_t v;
  if (length >= 0) {
    if (length > kMaxIntText) return 0;
    if (!parseLeadingInt32(text, strnlen(text, static_cast<size_t>(length)), &v)) return 0;
  } else if (!parseLeadingInt32(text, &v)) {
    return 0;
  }
  setValue(v);
  return 1;
}

int IntParam::hasValue() const { return 1; }

int IntParam::snmpGet(std::string& out) const {
  int32_t v = value();
  out.assign(reinterpret_cast<const char*>(&v), sizeof v);
  return 1;
}

int IntParam::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  switch (action) {
    case SNMP_RESERVE1: {
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asnType != SNMP_TYPE_INTEGER && asnType != SNMP_TYPE_GAUGE32) return SNMP_WRONG_TYPE;
      if (length > SNMP_MAX_INTEGER_LENGTH || value == nullptr) return SNMP_WRONG_LENGTH;
      int64_t v = readSnmpInteger(value, length);
      if (v < INT32_MIN || v > INT32_MAX || !inRange(v)) return SNMP_WRONG_VALUE;
      return SNMP_NO_ERROR;
    }
    case SNMP_ACTION:
      snmpSaved_ = this->value();
      setValue(static_cast<int32_t>(readSnmpInteger(value, length)));
      return SNMP_NO_ERROR;
    case SNMP_COMMIT:
      return snmpCommit(*this);
    case SNMP_UNDO:
      setValue(snmpSaved_);
      clearModified();
      return SNMP_NO_ERROR;
    default:  // RESERVE2, FREE
      return SNMP_NO_ERROR;
  }
}

bool IntParam::isOn() const { return value() != 0; }
bool IntParam::isOff() const { return value() == 0; }

int IntParam::setValue(int32_t v) {
  ParamLock guard(*this);
  int32_t old = value_.exchange(v, std::memory_order_relaxed);
  if (old == v) return 0;
  markModified();
  return 1;
}

int IntParam::setChecked(int32_t v) {
  if (!inRange(v)) return 0;
  setValue(v);
  return 1;
}

void IntParam::setStatusValue(int32_t v) {
  {
    ParamLock guard(*this);
    value_.store(v, std::memory_order_relaxed);
  }
  noteCommitted();
}

#include "params/types/p3list.h"

#include <strings.h>

#include <cstring>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"
#include "runtime/text/gettext.h"

namespace {

// Heading rows of the time-zone list carry this key; they are not choices.
const char kHeadingKey[] = "optgroup";

bool isHeading(const char* key) { return std::strcmp(key, kHeadingKey) == 0; }

// Longest key text taken with an explicit length (from SNMP or a caller).
constexpr size_t kMaxSnmpKey = 255;

}  // namespace

P3List::P3List(const char* key, const char* defKey, int32_t rowCount, const ChoiceRow* rows, uint32_t flags)
    : Param(key, rowCount, flags), rows_(rows), current_(NO_INDEX) {
  if (defKey != nullptr) current_.store(findKey(defKey), std::memory_order_relaxed);
}

int32_t P3List::findKey(const char* text) const {
  if (text == nullptr || rows_ == nullptr) return NO_INDEX;
  for (int32_t i = 0; i < kind_; ++i) {
    if (std::strcmp(rows_[i].key, text) == 0) return i;
  }
  return NO_INDEX;
}

const char* P3List::currentKey() const {
  int32_t row = currentIndex();
  return validRow(row) ? rows_[row].key : "";
}

const char* P3List::currentDisplayText() const {
  int32_t row = currentIndex();
  if (!validRow(row) || rows_[row].display == nullptr) return "";
  return (flags() & PF_TRANSLATED) ? getmuText(rows_[row].display) : rows_[row].display;
}

int P3List::validate(const char* text) const {
  if (text == nullptr || isHeading(text)) return 0;
  return findKey(text) != NO_INDEX;
}

int P3List::assign(const char* text, int length) {
  if (text == nullptr) return 0;
  char key[kMaxSnmpKey + 1];
  if (length >= 0) {
    if (!copyTerminated(key, sizeof key, text, strnlen(text, static_cast<size_t>(length)))) return 0;
    text = key;
  }
  int32_t row = findKey(text);
  if (row == NO_INDEX) return 0;
  ParamLock guard(*this);
  int32_t old = current_.exchange(row, std::memory_order_relaxed);
  // A pending change stays marked until the commit sees it.
  if (row != old) markModified();
  return 1;
}

int P3List::formatColumn(int32_t selector, char* buffer, int size) const {
  int32_t column = selector & COL_MASK;
  int32_t row;
  if (selector < 0) {
    // The current row; -1 (every bit set) means its key.
    row = currentIndex();
    if (column == COL_MASK) column = COL_KEY;
  } else {
    row = column ? (selector & 0xffff) : selector;
  }
  if (!validRow(row)) {
    std::fprintf(stderr, "ERROR P3List ill base idx:x%08x\n", static_cast<unsigned>(row));
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  const ChoiceRow& r = rows_[row];
  const char* text = r.key;
  if (column & COL_DISPLAY) {
    text = r.display;
    if (flags() & PF_TRANSLATED) text = getmuText(text);
  } else if (column & COL_THIRD) {
    text = r.extra;
  }
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  ParamLock guard(*this);
  if (size > 0 && n >= static_cast<size_t>(size)) {
    // Cut to the size; no room is left for a terminator.
    std::memcpy(buffer, text, static_cast<size_t>(size));
    return size;
  }
  std::memcpy(buffer, text, n + 1);
  return static_cast<int>(n);
}

int P3List::format(char* buffer, int size) const { return formatColumn(currentIndex(), buffer, size); }

int P3List::print(FILE* out) const {
  ParamLock guard(*this);
  int32_t row = currentIndex();
  if (!validRow(row)) return 0;
  return std::fprintf(out, "%s", rows_[row].key);
}

int P3List::hasValue() const { return validRow(currentIndex()); }

int P3List::snmpGet(std::string& out) const {
  int32_t row = currentIndex();
  if (!validRow(row)) {
    out.clear();
    return 0;
  }
  if (flags() & PF_SNMP_TEXT)
    out = rows_[row].key;
  else
    out.assign(reinterpret_cast<const char*>(&row), sizeof row);
  return 1;
}

bool P3List::equals(const char* text) const {
  if (text == nullptr) return false;
  return strcasecmp(currentKey(), text) == 0;
}

bool P3List::equalsAny(const char* const* texts) const {
  if (texts == nullptr) return false;
  for (; *texts != nullptr; ++texts) {
    if (equals(*texts)) return true;
  }
  return false;
}

int P3List::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  const bool asText = (flags() & PF_SNMP_TEXT) != 0;
  char key[kMaxSnmpKey + 1];
  switch (action) {
    case SNMP_RESERVE1: {
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asText) {
        if (asnType != SNMP_TYPE_OCTET_STRING) return SNMP_WRONG_TYPE;
        if (value == nullptr && length > 0) return SNMP_WRONG_VALUE;
        if (!copyTerminated(key, sizeof key, value, length) || std::strlen(key) != length) return SNMP_WRONG_VALUE;
        return validate(key) ? SNMP_NO_ERROR : SNMP_WRONG_VALUE;
      }
      if (asnType != SNMP_TYPE_INTEGER && asnType != SNMP_TYPE_GAUGE32) return SNMP_WRONG_TYPE;
      if (length > SNMP_MAX_INTEGER_LENGTH || value == nullptr) return SNMP_WRONG_LENGTH;
      int64_t row = readSnmpInteger(value, length);
      if (row < 0 || row >= kind_ || isHeading(rows_[row].key)) return SNMP_WRONG_VALUE;
      return SNMP_NO_ERROR;
    }
    case SNMP_ACTION:
      snmpSaved_ = currentIndex();
      if (asText) {
        if (copyTerminated(key, sizeof key, value, length)) assign(key, -1);
      } else {
        int32_t row = static_cast<int32_t>(readSnmpInteger(value, length));
        if (!validRow(row)) return SNMP_NO_ERROR;  // RESERVE1 refused it
        ParamLock guard(*this);
        if (current_.exchange(row, std::memory_order_relaxed) != row) markModified();
      }
      return SNMP_NO_ERROR;
    case SNMP_COMMIT:
      return snmpCommit(*this);
    case SNMP_UNDO:
      if (validRow(snmpSaved_) && snmpSaved_ != currentIndex()) {
        {
          ParamLock guard(*this);
          current_.store(snmpSaved_, std::memory_order_relaxed);
        }
        clearModified();
      }
      return SNMP_NO_ERROR;
    default:  // RESERVE2, FREE
      return SNMP_NO_ERROR;
  }
}

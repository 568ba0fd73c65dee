#include "params/types/stringparam.h"

#include <cctype>
#include <cstring>
#include <new>

#include "params/types/paramflags.h"
#include "params/types/paramparse.h"
#include "params/types/snmpset.h"
#include "runtime/text/gettext.h"

namespace {

const char kSecretMask[] = "****";

// The status display's default code: two upper-case letters or digits,
// not "E" and a digit (those are its error codes).
bool isDisplayCode(const char* text, size_t length) {
  if (length != 2) return false;
  for (size_t i = 0; i < 2; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isupper(c) && !std::isdigit(c)) return false;
  }
  return !(text[0] == 'E' && std::isdigit(static_cast<unsigned char>(text[1])));
}

bool isDisplayDefault(const char* key) { return std::strcmp(key, "disp_def") == 0; }

}  // namespace

StringParam::StringParam(const char* key, const char* def, const ParamLimits* limits, uint32_t flags)
    : Param(key, KIND_RANGED, flags), limits_(limits), text_(def) {}

StringParam::~StringParam() {
  if (owned_) delete[] text_;
  delete snmpSaved_;
}

int StringParam::validate(const char* text) const {
  if (isDisplayDefault(key_)) return text != nullptr && isDisplayCode(text, std::strlen(text));
  if (text == nullptr) return 1;
  size_t length = std::strlen(text);
  // The file holds one value per line and the loader trims blanks.
  if (!isCleanText(text, length)) return 0;
  if (kind_ != KIND_RANGED || limits_ == nullptr) return 1;
  // A secret may be emptied, and "****" (its masked form) means unchanged.
  if ((flags() & PF_SECRET) && (length == 0 || std::strcmp(text, kSecretMask) == 0)) return 1;
  return static_cast<int64_t>(length) >= limits_->min && static_cast<int64_t>(length) <= limits_->max;
}

int StringParam::format(char* buffer, int size) const {
  std::string text = getText();
  if (!text.empty() && (flags() & PF_SECRET)) text = kSecretMask;
  size_t n = text.size();
  if (size > 0 && n > static_cast<size_t>(size) - 1) n = static_cast<size_t>(size) - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int StringParam::print(FILE* out) const {
  ParamLock guard(*this);
  if (text_ == nullptr || text_[0] == '\0') return 0;
  return std::fprintf(out, "%s", text_);
}

void StringParam::storeLocked(const char* text, size_t length) {
  char* copy = new (std::nothrow) char[length + 1];
  if (copy == nullptr) return;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  if (owned_) delete[] text_;
  text_ = copy;
  owned_ = true;
}

int StringParam::assign(const char* text, int length) {
  if (text == nullptr) return 0;
  size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  if ((flags() & PF_SECRET) && n == 4 && std::memcmp(text, kSecretMask, 4) == 0) return 1;
  ParamLock guard(*this);
  const char* before = text_;
  const char* old = before ? before : "";
  if (std::strlen(old) == n && std::memcmp(old, text, n) == 0) return 1;
  storeLocked(text, n);
  if (text_ == before) return 0;  // out of memory
  markModified();
  return 1;
}

int StringParam::hasValue() const {
  ParamLock guard(*this);
  return text_ != nullptr && text_[0] != '\0';
}

int StringParam::snmpGet(std::string& out) const {
  ParamLock guard(*this);
  if (text_ == nullptr || text_[0] == '\0')
    out.clear();
  else if (flags() & PF_SECRET)
    out = kSecretMask;
  else
    out = text_;
  return 1;
}

std::string StringParam::getText() const {
  std::string text;
  {
    ParamLock guard(*this);
    if (text_ != nullptr) text = text_;
  }
  if ((flags() & PF_TRANSLATED) && !text.empty()) text = getmuText(text.c_str());
  return text;
}

bool StringParam::textEquals(const char* text) const {
  ParamLock guard(*this);
  return std::strcmp(text_ ? text_ : "", text ? text : "") == 0;
}

void StringParam::setStatusValue(const char* text) {
  if (text == nullptr) text = "";
  ParamLock guard(*this);
  const char* old = text_ ? text_ : "";
  if (std::strcmp(old, text) != 0) storeLocked(text, std::strlen(text));
}

int StringParam::setBySnmp(int action, const uint8_t* value, int asnType, size_t length) {
  switch (action) {
    case SNMP_RESERVE1: {
      if (flags() & (PF_HIDDEN | PF_NOSNMP)) return SNMP_NO_SUCH_NAME;
      if (asnType != SNMP_TYPE_OCTET_STRING) return SNMP_WRONG_TYPE;
      if (value == nullptr && length > 0) return SNMP_WRONG_LENGTH;
      if (kind_ == KIND_RANGED && limits_ != nullptr &&
          (static_cast<int64_t>(length) < limits_->min || static_cast<int64_t>(length) > limits_->max))
        return SNMP_WRONG_LENGTH;
      if (length > static_cast<size_t>(PARAM_MAX_TEXT)) return SNMP_WRONG_LENGTH;
      const char* text = reinterpret_cast<const char*>(value);
      if (isDisplayDefault(key_) && !isDisplayCode(text, length)) return SNMP_WRONG_VALUE;
      if (!isCleanText(text, length)) return SNMP_WRONG_VALUE;
      return SNMP_NO_ERROR;
    }
    case SNMP_ACTION: {
      // Kept for UNDO even when empty, so undoing restores an empty value too.
      std::string* saved = new (std::nothrow) std::string;
      if (saved != nullptr) {
        ParamLock guard(*this);
        if (text_ != nullptr) *saved = text_;
      }
      delete snmpSaved_;
      snmpSaved_ = saved;
      assign(length > 0 ? reinterpret_cast<const char*>(value) : "", static_cast<int>(length));
      return SNMP_NO_ERROR;
    }
    case SNMP_COMMIT:
      snmpCommit(*this);
      delete snmpSaved_;
      snmpSaved_ = nullptr;
      return SNMP_NO_ERROR;
    case SNMP_FREE:
      delete snmpSaved_;
      snmpSaved_ = nullptr;
      return SNMP_NO_ERROR;
    case SNMP_UNDO:
      if (snmpSaved_ != nullptr) {
        {
          ParamLock guard(*this);
          const char* old = text_ ? text_ : "";
          if (*snmpSaved_ != old) storeLocked(snmpSaved_->data(), snmpSaved_->size());
        }
        delete snmpSaved_;
        snmpSaved_ = nullptr;
        clearModified();
      }
      return SNMP_NO_ERROR;
    default:  // RESERVE2
      return SNMP_NO_ERROR;
  }
}

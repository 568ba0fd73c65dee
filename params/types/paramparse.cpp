#include "params/types/paramparse.h"

#include <cctype>
#include <cstring>

namespace {

bool isBlank(unsigned char c) { return c == ' '; }

// Skips white space and a sign like scanf's %d / %x do; returns the sign.
const char* skipSpaceAndSign(const char* p, const char* end, bool* negative) {
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  *negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    *negative = (*p == '-');
    ++p;
  }
  return p;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseLeadingInt32(const char* text, size_t length, int32_t* out) {
  const char* end = text + length;
  bool negative = false;
  const char* p = skipSpaceAndSign(text, end, &negative);
  int64_t value = 0;
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) return false;
  }
  *out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

bool parseLeadingInt32(const char* text, int32_t* out) {
  return parseLeadingInt32(text, std::strlen(text), out);
}

bool isCleanText(const char* text, size_t length) {
  if (length == 0) return true;
  if (isBlank(static_cast<unsigned char>(text[0])) ||
      isBlank(static_cast<unsigned char>(text[length - 1])))
    return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

int parseMacFields(const char* text, unsigned fields[6]) {
  const char* p = text;
  const char* end = text + std::strlen(text);
  int count = 0;
  while (count < 6) {
    if (count > 0) {
      if (p >= end || *p != ':') break;
      ++p;
    }
    bool negative = false;
    p = skipSpaceAndSign(p, end, &negative);
    if (p + 1 < end && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hexValue(p[2]) >= 0) p += 2;
    if (p >= end || hexValue(*p) < 0) break;
    unsigned value = 0;
    bool tooLarge = false;
    for (; p < end && hexValue(*p) >= 0; ++p) {
      if (!tooLarge) value = value * 16 + static_cast<unsigned>(hexValue(*p));
      if (value > 255) tooLarge = true;
    }
    if (negative && value != 0) tooLarge = true;  // wraps to a huge unsigned value
    if (tooLarge) break;
    fields[count++] = value;
  }
  return count;
}

bool looksLikeIp4Text(const char* text) {
  const char* p = text;
  const char* end = text + std::strlen(text);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p >= end || *p != '.') return false;
      ++p;
    }
    bool negative = false;
    p = skipSpaceAndSign(p, end, &negative);
    if (p >= end || *p < '0' || *p > '9') return false;
    long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
      if (value < 1000) value = value * 10 + (*p - '0');
    }
    if (!negative && value >= 256) return false;
  }
  return true;
}

bool copyTerminated(char* buffer, size_t size, const void* data, size_t length) {
  if (size == 0 || length > size - 1) return false;
  if (length > 0) std::memcpy(buffer, data, length);
  buffer[length] = '\0';
  return true;
}

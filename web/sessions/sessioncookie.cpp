#include "web/sessions/sessioncookie.h"

#include <cstring>

namespace {

bool isKeyChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool isSessionKey(const char* text, size_t length) {
  if (text == nullptr || length != static_cast<size_t>(kSessionKeyLength)) return false;
  for (size_t i = 0; i < length; ++i)
    if (!isKeyChar(text[i])) return false;
  return true;
}

bool sessionKeyFromCookie(const char* header, char* key) {
  if (header == nullptr || key == nullptr) return false;
  static const char kName[] = "SessKey";
  const char* pair = header;
  while (*pair != '\0') {
    const char* end = std::strchr(pair, ';');
    if (end == nullptr) end = pair + std::strlen(pair);
    const char* name = pair;
    while (name < end && isBlank(*name)) ++name;
    const char* equals = static_cast<const char*>(std::memchr(name, '=', static_cast<size_t>(end - name)));
    if (equals != nullptr) {
      const char* nameEnd = equals;
      while (nameEnd > name && isBlank(nameEnd[-1])) --nameEnd;
      const char* value = equals + 1;
      while (value < end && isBlank(*value)) ++value;
      const char* valueEnd = end;
      while (valueEnd > value && isBlank(valueEnd[-1])) --valueEnd;
      if (static_cast<size_t>(nameEnd - name) == sizeof kName - 1 &&
          std::memcmp(name, kName, sizeof kName - 1) == 0) {
        if (!isSessionKey(value, static_cast<size_t>(valueEnd - value))) return false;
        std::memcpy(key, value, kSessionKeyLength);
        key[kSessionKeyLength] = '\0';
        return true;
      }
    }
    pair = *end == ';' ? end + 1 : end;
  }
  return false;
}

bool equalSecret(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  const size_t lengthA = std::strlen(a);
  const size_t lengthB = std::strlen(b);
  const size_t longest = lengthA > lengthB ? lengthA : lengthB;
  // Every byte of the longer text is looked at; a missing byte compares as
  // a NUL against a present one, and the lengths themselves differ then.
  volatile unsigned char difference = lengthA != lengthB ? 1 : 0;
  for (size_t i = 0; i < longest; ++i) {
    const unsigned char x = i < lengthA ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < lengthB ? static_cast<unsigned char>(b[i]) : 0;
    difference = static_cast<unsigned char>(difference | (x ^ y));
  }
  return difference == 0;
}

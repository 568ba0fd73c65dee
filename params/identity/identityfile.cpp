#include "params/identity/identityfile.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "runtime/file/paths.h"

void readIdentityLines(std::FILE* file, IdentityLineHandler handler, void* record) {
  if (!file || !handler) return;
  char line[kIdentityLineMax + 1];
  bool atEnd = false;
  while (!atEnd) {
    size_t length = 0;
    bool gotAny = false;
    for (;;) {
      int c = std::fgetc(file);
      if (c == EOF) {
        atEnd = true;
        break;
      }
      gotAny = true;
      if (c == '\n') break;
      if (length < kIdentityLineMax) line[length++] = static_cast<char>(c);
    }
    if (!gotAny) break;
    line[length] = 0;
    // An embedded NUL ends the line's text, as it would for any C reader.
    char* equals = std::strchr(line, '=');
    if (!equals) continue;
    handler(record, line, equals + 1);
  }
}

bool readIdentityFile(const char* fixedPath, IdentityLineHandler handler, void* record) {
  std::FILE* file = std::fopen(mapPath(fixedPath).c_str(), "r");
  if (!file) return false;
  readIdentityLines(file, handler, record);
  std::fclose(file);
  return true;
}

bool identityKeyStarts(const char* line, const char* key) {
  return std::strncmp(line, key, std::strlen(key)) == 0;
}

uint32_t identityNumber(const char* text, int base) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    ++p;
    // strtoul takes one sign only, directly before the digits.
    if (!std::isalnum(static_cast<unsigned char>(*p))) return 0;
  }
  unsigned long long value = std::strtoull(p, nullptr, base);
  if (value > UINT32_MAX) return UINT32_MAX;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

void copyIdentityText(char* dest, size_t size, const char* value) {
  if (!dest || size == 0) return;
  size_t n = std::strlen(value);
  if (n > size - 1) n = size - 1;
  std::memcpy(dest, value, n);
  dest[n] = 0;
}

#include "runtime/text/textutil.h"

#include <cstring>

namespace {

int foldCase(unsigned char c) { return c > 'Z' ? c - 32 : c; }

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int compareNoCase(const char* a, const char* b) {
  if (!a) return 0;
  if (!b) b = "";
  const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
  for (; *pa; ++pa, ++pb) {
    const int diff = foldCase(*pa) - foldCase(*pb);
    if (diff) return diff;
  }
  return 0;
}

char* statusLineValue(char* line) {
  if (!line) return nullptr;
  const size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') line[length - 1] = 0;
  char* p = line;
  while (*p && !isBlankOrTab(*p)) ++p;
  while (isBlankOrTab(*p)) ++p;
  return p;
}

size_t shortenMiddle(char* output, const char* text, int width) {
  if (!text) text = "";
  const size_t length = std::strlen(text);
  if (!output) return length;
  if (width > 0 && length < static_cast<size_t>(width)) {
    std::memcpy(output, text, length + 1);
    return length;
  }
  const int n = (width - 3) / 2;
  if (n < 1) {
    output[0] = 0;
    return length;
  }
  char* out = output;
  std::memcpy(out, text, static_cast<size_t>(n));
  out += n;
  std::memcpy(out, "...", 3);
  out += 3;
  std::memcpy(out, text + length - static_cast<size_t>(n), static_cast<size_t>(n));
  out[n] = 0;
  return length;
}

char* copyBounded(char* output, const char* text, int size) {
  if (!output || size < 1) return nullptr;
  size_t n = 0;
  if (text) {
    const size_t limit = static_cast<size_t>(size - 1);
    while (n < limit && text[n]) ++n;
    std::memcpy(output, text, n);
  }
  output[n] = 0;
  return output;
}

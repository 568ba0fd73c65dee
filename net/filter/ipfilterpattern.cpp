#include "net/filter/ipfilterpattern.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// Reads up to four octets in the form "%d.%d.%d.%d" does: a number, then a
// point before each further one. A number outside 0..255 makes *bad true.
int readOctets(const char* text, int octets[4], bool* bad) {
  int n = 0;
  const char* p = text;
  while (n < 4) {
    while (n == 0 && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) break;
    long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      if (value <= 1000) value = value * 10 + (*p - '0');
      ++p;
    }
    if (*start == '-') value = -value;
    if (value < 0 || value > 255) *bad = true;
    octets[n++] = static_cast<int>(value);
    if (n == 4 || *p != '.') break;
    ++p;
  }
  return n;
}

void appendOctets(char* out, size_t size, const char* label, uint32_t word) {
  const uint32_t host = ntohl(word);
  const size_t used = std::strlen(out);
  std::snprintf(out + used, size - used, " %s:%d%c%d%c%d%c%d%c", label, static_cast<int>(host >> 24), '.',
                static_cast<int>((host >> 16) & 0xff), '.', static_cast<int>((host >> 8) & 0xff), '.',
                static_cast<int>(host & 0xff), ' ');
}

}  // namespace

int parseIpFilterPattern(const char* pattern, uint32_t* address, uint32_t* mask, char* description) {
  if (!pattern) pattern = "";
  int octets[4] = {0, 0, 0, 0};
  bool bad = false;
  const int n = readOctets(pattern, octets, &bad);
  const bool star = std::strchr(pattern, '*') != nullptr;

  uint32_t hostAddress = 0;
  uint32_t hostMask = 0;
  const bool usable = !bad && (n == 4 || star);
  if (usable) {
    // n = 0 with '*' leaves 0.0.0.0/0: every octet is a wildcard.
    for (int i = 0; i < n; ++i) {
      hostAddress |= static_cast<uint32_t>(octets[i]) << (24 - 8 * i);
      hostMask |= 0xffu << (24 - 8 * i);
    }
  }
  const uint32_t addressWord = htonl(hostAddress);
  const uint32_t maskWord = htonl(hostMask);
  if (address) *address = addressWord;
  if (mask) *mask = maskWord;
  if (description) {
    description[0] = '\0';
    appendOctets(description, kIpFilterDescriptionSize, "IpAddr", addressWord);
    appendOctets(description, kIpFilterDescriptionSize, "IpMask", maskWord);
  }
  return usable ? 1 : 0;
}

#include "runtime/text/base64.h"

#include <cstdint>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextetOf(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int base64Encode(const unsigned char* data, int length, char* output, int size, int startColumn) {
  if (!output || size < 1) return 0;
  if (!data || length < 0) length = 0;
  const int room = size - 1;
  int out = 0;
  int line = 0;
  int in = 0;
  while (room - out > 3 && in < length) {
    const int take = length - in >= 3 ? 3 : length - in;
    uint32_t group = static_cast<uint32_t>(data[in]) << 16;
    if (take > 1) group |= static_cast<uint32_t>(data[in + 1]) << 8;
    if (take > 2) group |= data[in + 2];
    in += take;
    output[out++] = kAlphabet[(group >> 18) & 0x3f];
    output[out++] = kAlphabet[(group >> 12) & 0x3f];
    output[out++] = take > 1 ? kAlphabet[(group >> 6) & 0x3f] : '=';
    output[out++] = take > 2 ? kAlphabet[group & 0x3f] : '=';
    line += 4;
    if (line > 79 - startColumn && room - out > 1) {
      output[out++] = '\r';
      output[out++] = '\n';
      line = 0;
      startColumn = 0;
    }
  }
  output[out] = 0;
  return out;
}

int base64Decode(const char* text, unsigned char* output, int size) {
  if (!output || size < 1) return 0;
  int out = 0;
  if (text) {
    uint32_t bits = 0;
    int held = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); out < size - 1; ++p) {
      const int v = sextetOf(*p);
      if (v < 0) break;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      held += 6;
      if (held >= 8) {
        held -= 8;
        output[out++] = static_cast<unsigned char>(bits >> held);
        bits &= (1u << held) - 1;
      }
    }
  }
  output[out] = 0;
  return out;
}

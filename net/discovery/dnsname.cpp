#include "net/discovery/dnsname.h"

#include <cstring>

namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool DnsName::labelIs(int i, const char* label) const {
  if (i < 0 || i >= count) return false;
  const size_t size = std::strlen(label);
  if (size != length[i]) return false;
  for (size_t k = 0; k < size; ++k)
    if (lowerAscii(text[start[i] + k]) != lowerAscii(label[k])) return false;
  return true;
}

int readDnsName(const uint8_t* message, size_t length, size_t* cursor, DnsName* name) {
  name->count = 0;
  size_t at = *cursor;
  size_t after = 0;  // behind the first pointer, once one was followed
  int pointers = 0;
  int encoded = 0;   // label bytes plus length bytes, as uncompressed
  size_t textUsed = 0;
  for (;;) {
    if (at >= length) return 0;
    const uint8_t byte = message[at];
    if ((byte & 0xC0) == 0xC0) {
      if (at + 1 >= length) return 0;
      const size_t target = (static_cast<size_t>(byte & 0x3F) << 8) | message[at + 1];
      if (target >= at || ++pointers > kDnsMaxPointers) return 0;
      if (pointers == 1) after = at + 2;
      at = target;
      continue;
    }
    if (byte & 0xC0) return 0;  // 0x40 and 0x80: reserved label types
    encoded += 1 + byte;
    if (encoded > kDnsMaxNameBytes) return 0;
    if (byte == 0) {
      *cursor = pointers ? after : at + 1;
      return 1;
    }
    if (at + 1 + byte > length) return 0;
    name->length[name->count] = byte;
    name->start[name->count] = static_cast<uint16_t>(textUsed);
    std::memcpy(name->text + textUsed, message + at + 1, byte);
    textUsed += byte;
    ++name->count;
    at += 1 + byte;
  }
}

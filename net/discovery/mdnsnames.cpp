#include "net/discovery/mdnsnames.h"

#include <cctype>
#include <cstring>

namespace {

char primaryInstance[kMdnsNameBufferSize];
char secondaryInstance[kMdnsNameBufferSize];  // always empty

}  // namespace

MdnsService mdnsServices[kMdnsServiceRows] = {
    {primaryInstance, "_https", 0, 0, 0},
    {primaryInstance, "_http", 0, 0, 0},
    {secondaryInstance, "_https", 0, 0, 0},
    {secondaryInstance, "_http", 0, 0, 0},
};

int mdnsCompanionRow(int row) {
  static const int companion[kMdnsServiceRows] = {2, 3, 0, 1};
  return row >= 0 && row < kMdnsServiceRows ? companion[row] : row;
}

void MdnsService::markRecords(uint8_t bits, bool clear) {
  if (clear)
    pending = static_cast<uint8_t>(pending & ~bits);
  else
    pending = static_cast<uint8_t>(pending | bits);
  if (pending == MDNS_BROWSE) pending = 0;
}

const char* bonjourInstanceName() { return primaryInstance; }
char* mdnsPrimaryInstanceBuffer() { return primaryInstance; }

std::mutex& mdnsInstanceNameMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string copyBonjourInstanceName() {
  std::lock_guard<std::mutex> lock(mdnsInstanceNameMutex());
  return std::string(primaryInstance, strnlen(primaryInstance, sizeof primaryInstance));
}

int parseConflictSuffix(char* text, bool cut) {
  const size_t length = std::strlen(text);
  if (length <= 4 || text[length - 1] != ')') return -1;
  // " (N)" or " (NN)"
  size_t open = length - 3;
  if (text[open] != '(') {
    if (length < 6) return -1;
    open = length - 4;
    if (text[open] != '(') return -1;
  }
  if (open == 0 || text[open - 1] != ' ') return -1;
  int value = 0;
  for (size_t i = open + 1; i < length - 1; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    value = value * 10 + (text[i] - '0');
  }
  if (cut) text[open - 1] = 0;
  return value;
}

size_t copyLabelText(char* out, const char* text, size_t maxBytes) {
  size_t length = std::strlen(text);
  if (length > maxBytes) {
    length = maxBytes;
    // Back off over continuation bytes so no character is split.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memmove(out, text, length);
  out[length] = 0;
  return length;
}

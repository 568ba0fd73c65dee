#include "net/discovery/slprequest.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

#include "net/address/arppingaddress.h"

namespace {

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Case-insensitive search of needle in the first length bytes of text.
const char* findText(const char* text, size_t length, const char* needle) {
  const size_t size = std::strlen(needle);
  for (size_t i = 0; i + size <= length; ++i)
    if (strncasecmp(text + i, needle, size) == 0) return text + i;
  return nullptr;
}

const char* findChar(const char* from, const char* end, char c) {
  for (; from < end; ++from)
    if (*from == c) return from;
  return nullptr;
}

// The first blank-delimited word in [from, end).
void firstWord(const char* from, const char* end, const char** word, size_t* length) {
  while (from < end && isBlank(*from)) ++from;
  const char* stop = from;
  while (stop < end && !isBlank(*stop)) ++stop;
  *word = from;
  *length = static_cast<size_t>(stop - from);
}

bool wordIs(const char* word, size_t length, const char* name) {
  return length == std::strlen(name) && strncasecmp(word, name, length) == 0;
}

void readItem(const char* from, const char* end, SlpRequest* out) {
  const char* attribute;
  size_t attributeLength;
  firstWord(from, end, &attribute, &attributeLength);
  const char* equals = nullptr;
  for (const char* p = from; p + 1 < end; ++p)
    if (p[0] == '=' && p[1] == '=') {
      equals = p;
      break;
    }
  if (!equals || attribute + attributeLength > equals) return;  // "==" inside the first word
  const char* value;
  size_t valueLength;
  firstWord(equals + 2, end, &value, &valueLength);

  if (wordIs(attribute, attributeLength, "X-ORV-NAME")) {
    out->hasName = true;
    if (valueLength > static_cast<size_t>(kSlpMaxName)) {
      out->name[0] = 0;  // longer than any device name: never ours
      return;
    }
    std::memcpy(out->name, value, valueLength);
    out->name[valueLength] = 0;
    return;
  }
  struct {
    const char* name;
    bool* given;
    uint32_t* word;
  } const addresses[] = {{"X-ORV-IP", &out->hasAddress, &out->address},
                         {"X-ORV-IPMASK", &out->hasMask, &out->mask},
                         {"X-ORV-IPGATE", &out->hasGateway, &out->gateway}};
  for (const auto& a : addresses) {
    if (!wordIs(attribute, attributeLength, a.name)) continue;
    *a.given = true;
    if (!parseDottedQuad(value, valueLength, a.word)) out->badValue = true;
  }
}

}  // namespace

int parseDottedQuad(const char* text, size_t length, uint32_t* word) {
  uint8_t octets[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at >= length || text[at] != '.') return 0;
      ++at;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (at < length && text[at] >= '0' && text[at] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return 0;
    octets[i] = static_cast<uint8_t>(value);
  }
  if (at != length) return 0;
  std::memcpy(word, octets, 4);
  return 1;
}

int isContiguousNetmask(uint32_t networkOrderMask) {
  const uint32_t mask = ntohl(networkOrderMask);
  if (mask == 0 || (mask & 0x80000000u) == 0) return 0;
  const uint32_t hosts = ~mask;
  if ((hosts & (hosts + 1)) != 0) return 0;  // ones not contiguous
  return hosts >= 3;                         // at most /30
}

int isUsableSlpAddress(uint32_t address, uint32_t mask, bool hasMask) {
  if (!hasMask) return isAssignableIp4Address(address);
  // The other tests of the rule, with the last octet left aside.
  uint8_t bytes[4];
  std::memcpy(bytes, &address, 4);
  bytes[3] = 1;
  uint32_t probe;
  std::memcpy(&probe, bytes, 4);
  if (!isAssignableIp4Address(probe)) return 0;
  const uint32_t host = ntohl(address) & ~ntohl(mask);
  return host != 0 && host != ~ntohl(mask);
}

int parseSlpRequest(const uint8_t* message, size_t length, SlpRequest* out) {
  std::memset(out, 0, sizeof *out);
  if (length < static_cast<size_t>(kSlpHeaderSize) + 2) return 0;
  if (message[0] != 1 || message[1] != 1) return 0;
  std::memcpy(out->header, message, kSlpHeaderSize);
  size_t at = kSlpHeaderSize;
  const size_t previous = read16(message + at);
  at += 2;
  if (previous > length - at) return 0;
  at += previous;
  if (length - at < 2) return 0;
  const size_t predicateLength = read16(message + at);
  at += 2;
  if (predicateLength > length - at || predicateLength > static_cast<size_t>(kSlpMaxPredicate)) return 0;
  const char* predicate = reinterpret_cast<const char*>(message + at);
  const char* end = predicate + predicateLength;

  const char* type = findText(predicate, predicateLength, kSlpServiceType);
  if (!type) return 0;
  const char* scopeSlash = findChar(type + std::strlen(kSlpServiceType), end, '/');
  if (!scopeSlash) return 0;
  const char* whereSlash = findChar(scopeSlash + 1, end, '/');
  if (!whereSlash) return 0;
  const char* closing = findChar(whereSlash + 1, end, '/');
  if (!closing) return 0;
  for (const char* item = whereSlash + 1; item < closing;) {
    const char* comma = findChar(item, closing, ',');
    const char* itemEnd = comma ? comma : closing;
    readItem(item, itemEnd, out);
    item = itemEnd + 1;
  }
  return 1;
}

SlpAddressChange decideSlpAddressChange(const SlpRequest& request, bool addressedToUs, uint32_t current,
                                        bool linkLocal) {
  if (!addressedToUs || !request.hasAddress) return SLP_KEEP;
  if (!request.badValue && (request.address == 0 || request.address == current)) return SLP_KEEP;
  if (!linkLocal || request.badValue) return SLP_REFUSE;
  if (request.hasMask && !isContiguousNetmask(request.mask)) return SLP_REFUSE;
  if (!isUsableSlpAddress(request.address, request.mask, request.hasMask)) return SLP_REFUSE;
  if (request.hasGateway && request.gateway != 0 &&
      !isUsableSlpAddress(request.gateway, request.mask, request.hasMask))
    return SLP_REFUSE;
  return SLP_APPLY;
}

size_t buildSlpReply(const uint8_t* requestHeader, const char* url, uint8_t* out, size_t size) {
  const size_t urlLength = std::strlen(url);
  const size_t total = kSlpReplyFixed + urlLength;
  if (total > size || total > 0xFFFF) return 0;
  std::memcpy(out, requestHeader, kSlpHeaderSize);
  out[0] = 1;
  out[1] = 2;
  out[2] = static_cast<uint8_t>(total >> 8);
  out[3] = static_cast<uint8_t>(total);
  out[4] = 0;
  const uint16_t fields[4] = {0, 1, kSlpLifetime, static_cast<uint16_t>(urlLength)};
  for (int i = 0; i < 4; ++i) {
    out[12 + 2 * i] = static_cast<uint8_t>(fields[i] >> 8);
    out[13 + 2 * i] = static_cast<uint8_t>(fields[i]);
  }
  std::memcpy(out + kSlpReplyFixed, url, urlLength);
  return total;
}

int validateSlpReply(const uint8_t* message, size_t length) {
  if (length < 14) return 0;
  if (message[0] != 1 || (message[1] != 8 && message[1] != 2)) return 0;
  if (read16(message + 12) != 0) return 0;
  return read16(message + 2) <= 64;
}

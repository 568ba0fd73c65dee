// Fuzz target for the packet filter's address patterns and their
// description text (parameters set from web forms, SNMP and mails).
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/filter/ipfilterpattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded NUL
  uint32_t address = 0xffffffff;
  uint32_t mask = 0xffffffff;
  char description[kIpFilterDescriptionSize + 16];
  std::memset(description, 0x5a, sizeof description);
  const int usable = parseIpFilterPattern(text.c_str(), &address, &mask, description);
  if (usable != 0 && usable != 1) std::abort();
  // The description always fits its buffer.
  if (std::memchr(description, '\0', kIpFilterDescriptionSize) == nullptr) std::abort();
  for (size_t i = kIpFilterDescriptionSize; i < sizeof description; ++i)
    if (description[i] != 0x5a) std::abort();
  // A mask is a prefix of whole octets, and the address lies inside it.
  const uint32_t hostMask = ntohl(mask);
  if (hostMask != 0 && hostMask != 0xff000000u && hostMask != 0xffff0000u && hostMask != 0xffffff00u &&
      hostMask != 0xffffffffu)
    std::abort();
  if ((address & ~mask) != 0) std::abort();
  if (!usable && (address != 0 || mask != 0)) std::abort();
  return 0;
}

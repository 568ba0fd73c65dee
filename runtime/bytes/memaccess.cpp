#include "runtime/bytes/memaccess.h"

#include <cstring>

uint32_t readUnaligned32(const void* address) {
  uint32_t word;
  std::memcpy(&word, address, sizeof word);
  return word;
}

void* identityPointer(void* pointer) { return pointer; }

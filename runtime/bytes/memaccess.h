// Access to values at addresses of any alignment.
#ifndef RUNTIME_BYTES_MEMACCESS_H
#define RUNTIME_BYTES_MEMACCESS_H

#include <cstdint>

// The 32-bit word (host byte order) stored at a possibly unaligned address.
uint32_t readUnaligned32(const void* address);

// Returns its argument unchanged.
void* identityPointer(void* pointer);

#endif

// The common reader of the identity files: text lines of "key=value".
#ifndef PARAMS_IDENTITY_IDENTITYFILE_H
#define PARAMS_IDENTITY_IDENTITYFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Longest line kept, as read into a 1024-byte buffer; the rest of a longer
// line is dropped rather than read as a line of its own.
constexpr size_t kIdentityLineMax = 1023;

// Called for every line holding '=': the whole line and its value (from
// after the first '=' to the end of the line, without the newline).
using IdentityLineHandler = void (*)(void* record, const char* line, const char* value);

void readIdentityLines(std::FILE* file, IdentityLineHandler handler, void* record);

// Opens a fixed appliance path (through the path mapping) and reads it;
// false when it cannot be opened.
bool readIdentityFile(const char* fixedPath, IdentityLineHandler handler, void* record);

// True when the line begins with the key.
bool identityKeyStarts(const char* line, const char* key);

// strtoul with the result of a 32-bit unsigned long: a value beyond 32 bits
// reads as 0xffffffff, a negative one wraps, text that does not parse is 0.
uint32_t identityNumber(const char* text, int base);

// Copies at most size - 1 characters and a terminator.
void copyIdentityText(char* dest, size_t size, const char* value);

#endif

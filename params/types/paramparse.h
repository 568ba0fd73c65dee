// Text checks shared by the parameter classes.
#ifndef PARAMS_TYPES_PARAMPARSE_H
#define PARAMS_TYPES_PARAMPARSE_H

#include <cstddef>
#include <cstdint>

// Reads a number the way atoi does (leading white space, an optional sign,
// then digits up to the first other character; no digits give 0), but
// fails (false) when the number does not fit 32 bits.
bool parseLeadingInt32(const char* text, int32_t* out);

// The same over the first length characters.
bool parseLeadingInt32(const char* text, size_t length, int32_t* out);

// No control characters (0x00-0x1f, 0x7f) in the first length bytes and no
// blank at either end.
bool isCleanText(const char* text, size_t length);

// Six (or, with allowThree, three) hexadecimal fields separated by ':',
// each at most 255, as sscanf "%x:%x:%x:%x:%x:%x" reads them. The number of
// fields read, stopping at the first field that is missing or too large.
int parseMacFields(const char* text, unsigned fields[6]);

// Four decimal numbers separated by '.' as sscanf "%d.%d.%d.%d" reads them;
// true when all four were read and each is below 256 (values that overflow
// count as too large).
bool looksLikeIp4Text(const char* text);

// Copies length bytes and a terminator into buffer of size bytes; false
// (and nothing copied) when they do not fit.
bool copyTerminated(char* buffer, size_t size, const void* data, size_t length);

#endif

// Base64 with the standard alphabet and "=" padding.
#ifndef RUNTIME_TEXT_BASE64_H
#define RUNTIME_TEXT_BASE64_H

// Encodes length bytes of data into output (room for size characters,
// the terminator included). After each group of 4 characters that brings
// the current line past 79 - startColumn characters, CR LF is written and
// the following lines start at column 0, so with startColumn 0 the lines
// are 80 characters long. Output that does not fit is cut after the last
// whole group. Returns the output length without the terminator.
int base64Encode(const unsigned char* data, int length, char* output, int size, int startColumn);

// Decodes text into output until the first character outside the alphabet
// ("=", a line break or the end of the text) or until size - 1 bytes have
// been written; a terminator follows the bytes. Returns the number of
// bytes written.
int base64Decode(const char* text, unsigned char* output, int size);

#endif

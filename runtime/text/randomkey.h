// Random keys and the one-time code of the mail commands, drawn from the
// system's cryptographic random source.
#ifndef RUNTIME_TEXT_RANDOMKEY_H
#define RUNTIME_TEXT_RANDOMKEY_H

constexpr int kTanLength = 16;

// The current one-time code of the mail commands: "NoTAN" until a code has
// been generated. Process-wide; its user serialises access.
extern char mailTan[kTanLength + 1];

// Fills length characters of buffer from '0'..'9', 'A'..'Z', 'a'..'z'
// (no terminator). Returns 1, or 0 when no random bytes could be had.
int randomAlnum(char* buffer, int length);

// 16 random characters and a terminator into buffer, or into mailTan when
// buffer is null. Returns 1, or 0 (buffer unchanged) when no random bytes
// could be had.
int generateTan(char* buffer);

#endif

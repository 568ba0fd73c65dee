// The password hash stored by hashed parameters: the salt "Wj" followed by
// 11 characters of traditional DES crypt for each 8-character piece of the
// password (at most 32 characters, so at most 46 characters of hash).
#ifndef RUNTIME_TEXT_PASSWORD_H
#define RUNTIME_TEXT_PASSWORD_H

// Room hashPasswordInto needs for the longest password, terminator included.
constexpr int kPasswordHashSize = 2 + 4 * 11 + 1;

// Hashes password (length 0 or negative: up to the terminator) into output,
// which must hold kPasswordHashSize characters. Returns 1, or 0 for a
// password of more than 32 characters.
int hashPasswordInto(const char* password, int length, char* output);

// The hash in a new buffer, to be released with free(); null for
// length <= 0 or a password of more than 32 characters.
char* hashPassword(const char* password, int length);

// 1 when password (length negative: up to the terminator) matches stored.
// An empty or absent stored hash accepts only an empty password.
int verifyPasswordHash(const char* password, int length, const char* stored);

#endif

// The session cookie "SessKey" and comparisons of secrets.
#ifndef WEB_SESSIONS_SESSIONCOOKIE_H
#define WEB_SESSIONS_SESSIONCOOKIE_H

#include <cstddef>

constexpr int kSessionKeyLength = 16;

// True when text holds exactly kSessionKeyLength characters of 0-9, A-Z,
// a-z (up to its terminator).
bool isSessionKey(const char* text, size_t length);

// Finds the session key in a Cookie header: the header is a list of
// name=value pairs separated by ';' (blanks around them ignored); the key is
// the value of the pair named exactly "SessKey" when it is a session key.
// Copies it with a terminator into key (kSessionKeyLength + 1 bytes) and
// returns true; false when there is none (also for a null header).
bool sessionKeyFromCookie(const char* header, char* key);

// Compares two texts in time that depends only on their lengths, never on
// where they differ. Null counts as "".
bool equalSecret(const char* a, const char* b);

#endif

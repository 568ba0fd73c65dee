// Text rules of the web server: URL paths, the language code in a path,
// form values, header names, MIME types, dates and the page form of
// variable values. Pure functions on caller buffers.
#ifndef WEB_HTTP_HTTPTEXT_H
#define WEB_HTTP_HTTPTEXT_H

#include <cstddef>
#include <ctime>

// Decodes a URL path in place: "%xx" (either case) becomes that byte, '+'
// a blank; '?' ends the path and *query points after it (undecoded); '#'
// ends the path (a later '?' still starts the query). 0 when a '%' lacks
// two hexadecimal digits, else 1.
int decodeUrlPath(char* path, char** query);

// Normalises a decoded path in place and takes its language code out.
// After each '/' any run of '/', "./", "../" and a final "." or ".." is
// dropped (".." never climbs). A '_' followed by two characters, the first
// not a digit, and then the end or a '.', is cut out; when knownCode is
// null or accepts the two characters, they become the code in code[3]
// (the last accepted group wins). Without a code, "/help/help" + xx gives
// xx the same way. 1 when a code was found.
int extractLanguageFromPath(char* path, char code[3], bool (*knownCode)(const char* code) = nullptr);

// Decodes a form value in place: '+' a blank, "%xx" (either case) the
// byte; a '%' without two hexadecimal digits stays as it is.
void decodeFormValue(char* value);

// Upper-cases in place and turns '-' into '_' ("user-agent" -> "USER_AGENT").
void toCgiHeaderName(char* name);

// The MIME type by the path's extension; "text/html" by default.
const char* mimeTypeForPath(const char* path);

// RFC 1123 date in GMT (29 characters) into out (at least 30 bytes).
void formatHttpDate(time_t when, char* out, size_t size);

// Cuts text in place at its first '<' or '?'.
void cutUrlForEcho(char* text);

// The length of value in a page, where every '\n' becomes "<br>\n".
size_t pageValueLength(const char* value, size_t length);
// Writes value in page form into out (size bytes, terminator included),
// never past it; the bytes written without the terminator.
size_t writePageValue(const char* value, size_t length, char* out, size_t size);

#endif

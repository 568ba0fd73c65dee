#include "web/http/httptext.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the "/", "./" or "../" run element at p (0 when none); a final
// "." or ".." counts as well.
size_t droppedElement(const char* p) {
  if (p[0] == '/') return 1;
  if (p[0] != '.') return 0;
  if (p[1] == '/') return 2;
  if (p[1] == '\0') return 1;
  if (p[1] == '.' && p[2] == '/') return 3;
  if (p[1] == '.' && p[2] == '\0') return 2;
  return 0;
}

}  // namespace

int decodeUrlPath(char* path, char** query) {
  if (query != nullptr) *query = nullptr;
  char* out = path;
  const char* in = path;
  while (*in != '\0') {
    const char c = *in;
    if (c == '?') {
      if (query != nullptr) *query = const_cast<char*>(in + 1);
      break;
    }
    if (c == '#') {
      const char* q = std::strchr(in, '?');
      if (q != nullptr && query != nullptr) *query = const_cast<char*>(q + 1);
      break;
    }
    if (c == '%') {
      const int high = hexValue(in[1]);
      const int low = high < 0 ? -1 : hexValue(in[2]);
      if (low < 0) {
        *out = '\0';
        return 0;
      }
      *out++ = static_cast<char>(high * 16 + low);
      in += 3;
      continue;
    }
    *out++ = c == '+' ? ' ' : c;
    ++in;
  }
  // The query stays where it is; only the path part shrank.
  *out = '\0';
  return 1;
}

int extractLanguageFromPath(char* path, char code[3], bool (*knownCode)(const char* code)) {
  code[0] = '\0';
  char* out = path;
  const char* in = path;
  bool found = false;
  while (*in != '\0') {
    if (*in == '/') {
      *out++ = '/';
      ++in;
      for (size_t n; (n = droppedElement(in)) != 0;) in += n;
      continue;
    }
    if (*in == '_' && in[1] != '\0' && in[2] != '\0' && !std::isdigit(static_cast<unsigned char>(in[1])) &&
        (in[3] == '\0' || in[3] == '.')) {
      const char candidate[3] = {in[1], in[2], '\0'};
      if (knownCode == nullptr || knownCode(candidate)) {
        std::memcpy(code, candidate, 3);
        found = true;
      }
      in += 3;
      continue;
    }
    *out++ = *in++;
  }
  *out = '\0';
  if (!found && std::strlen(path) > 15 && std::strncmp(path, "/help/help", 10) == 0) {
    const char candidate[3] = {path[10], path[11], '\0'};
    if (knownCode == nullptr || knownCode(candidate)) {
      std::memcpy(code, candidate, 3);
      found = true;
    }
  }
  return found ? 1 : 0;
}

void decodeFormValue(char* value) {
  char* out = value;
  const char* in = value;
  while (*in != '\0') {
    if (*in == '+') {
      *out++ = ' ';
      ++in;
    } else if (*in == '%' && hexValue(in[1]) >= 0 && hexValue(in[2]) >= 0) {
      *out++ = static_cast<char>(hexValue(in[1]) * 16 + hexValue(in[2]));
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

void toCgiHeaderName(char* name) {
  for (; *name != '\0'; ++name) {
    if (*name == '-')
      *name = '_';
    else
      *name = static_cast<char>(std::toupper(static_cast<unsigned char>(*name)));
  }
}

const char* mimeTypeForPath(const char* path) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {"JPG", "image/jpeg"},  {"JPEG", "image/jpeg"},
      {"JPE", "image/jpeg"},  {"GIF", "image/gif"},
      {"PNG", "image/png"},   {"CSS", "text/css"},
      {"TXT", "text/plain"},  {"TEXT", "text/plain"},
      {"BIN", "application/octet-stream"},
      {"ZIP", "application/zip"}, {"GZ", "application/zip"},
      {"PHP", "application/x-httpd-php"}, {"CGI", "application/x-httpd-cgi"},
      {"JS", "application/x-javascript"},
  };
  const char* dot = path != nullptr ? std::strrchr(path, '.') : nullptr;
  if (dot == nullptr) return "text/html";
  char extension[12];
  std::snprintf(extension, sizeof extension, "%s", dot + 1);
  toCgiHeaderName(extension);
  for (const auto& t : kTypes)
    if (std::strcmp(extension, t.extension) == 0) return t.type;
  return "text/html";
}

void formatHttpDate(time_t when, char* out, size_t size) {
  static const char kDays[] = "Sun,Mon,Tue,Wed,Thu,Fri,Sat,";
  static const char kMonths[] = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";
  struct tm t;
  if (gmtime_r(&when, &t) == nullptr) std::memset(&t, 0, sizeof t);
  const int day = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
  const int month = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
  std::snprintf(out, size, "%.4s %02d %.4s%04d %02d:%02d:%02d GMT", kDays + day * 4, t.tm_mday, kMonths + month * 4,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

void cutUrlForEcho(char* text) {
  const size_t cut = std::strcspn(text, "<?");
  text[cut] = '\0';
}

size_t pageValueLength(const char* value, size_t length) {
  size_t total = length;
  for (size_t i = 0; i < length; ++i)
    if (value[i] == '\n') total += 4;
  return total;
}

size_t writePageValue(const char* value, size_t length, char* out, size_t size) {
  if (size == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    if (value[i] == '\n') {
      if (n + 5 >= size) break;
      std::memcpy(out + n, "<br>\n", 5);
      n += 5;
    } else {
      if (n + 1 >= size) break;
      out[n++] = value[i];
    }
  }
  out[n] = '\0';
  return n;
}

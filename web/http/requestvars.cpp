// The request variable list: entries of a mark byte ('T' text, 'M' markup),
// the NUL-terminated name and the NUL-terminated value, one after the
// other. Values are stored as given; the page form ("<br>" before each
// newline) is made when a value is written into a page.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "web/http/httprequest.h"
#include "web/http/webstats.h"

namespace {

constexpr int32_t kInitialVariables = 4080;
constexpr char kTextMark = 'T';
constexpr char kMarkupMark = 'M';

}  // namespace

void HttpRequest::storeVariable(const char* name, const char* value, int length, char mark) {
  if (name == nullptr || value == nullptr || length < 0 || *name == '\0') return;
  const size_t valueLength = length == 0 ? std::strlen(value) : strnlen(value, static_cast<size_t>(length));
  const size_t nameLength = std::strlen(name);
  if (nameLength > 255 || valueLength > 1u << 24) return;
  const size_t need = 1 + nameLength + 1 + valueLength + 1;
  if (variables_ == nullptr) {
    variables_ = static_cast<char*>(std::calloc(kInitialVariables, 1));
    if (variables_ == nullptr) return;
    variablesCapacity_ = kInitialVariables;
    variablesUsed_ = 0;
  }
  if (static_cast<size_t>(variablesUsed_) + need > static_cast<size_t>(variablesCapacity_)) {
    const size_t grown = (variablesUsed_ + valueLength + nameLength + 1026 + 3) / 1024 * 1024;
    char* bigger = static_cast<char*>(std::realloc(variables_, grown));
    if (bigger == nullptr) return;  // dropped: the page shows it empty
    std::memset(bigger + variablesCapacity_, 0, grown - static_cast<size_t>(variablesCapacity_));
    variables_ = bigger;
    variablesCapacity_ = static_cast<int32_t>(grown);
  }
  char* at = variables_ + variablesUsed_;
  *at++ = mark;
  std::memcpy(at, name, nameLength + 1);
  at += nameLength + 1;
  std::memcpy(at, value, valueLength);
  at[valueLength] = '\0';
  variablesUsed_ += static_cast<int32_t>(need);
  noteVariableList(variablesCapacity_, variablesUsed_, pageIndex);
}

void HttpRequest::setVariable(const char* name, const char* value, int length) {
  storeVariable(name, value, length, kTextMark);
}

void HttpRequest::setMarkupVariable(const char* name, const char* value, int length) {
  storeVariable(name, value, length, kMarkupMark);
}

void HttpRequest::setIndexedVariable(const char* name, int index, const char* value) {
  if (name == nullptr) return;
  char full[65];
  std::snprintf(full, sizeof full, "%s%d", name, index);
  setVariable(full, value);
}

void HttpRequest::printfVariable(const char* name, const char* format, ...) {
  char value[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  setVariable(name, value);
}

void HttpRequest::printfIndexedVariable(const char* name, int index, const char* format, ...) {
  char value[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  setIndexedVariable(name, index, value);
}

int HttpRequest::setCurrentTimeVariable() {
  const time_t now = time(nullptr);
  struct tm t;
  if (localtime_r(&now, &t) == nullptr) return 0;
  printfVariable("current_time", "%2.2d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec);
  return 1;
}

const char* HttpRequest::findVariable(const char* name, int index, bool* markup) const {
  if (name == nullptr || variables_ == nullptr) return nullptr;
  const size_t nameLength = std::strlen(name);
  const char* at = variables_;
  const char* end = variables_ + variablesUsed_;
  while (at < end) {
    const char mark = *at++;
    const char* stored = at;
    const size_t storedLength = std::strlen(stored);
    const char* value = stored + storedLength + 1;
    bool match = std::strcmp(stored, name) == 0;
    if (!match && index >= 0 && storedLength > nameLength && std::strncmp(stored, name, nameLength) == 0) {
      const unsigned char next = static_cast<unsigned char>(stored[nameLength]);
      match = (std::isalnum(next) != 0) && std::atoi(stored + nameLength) == index;
    }
    if (match) {
      if (markup != nullptr) *markup = mark == kMarkupMark;
      return value;
    }
    at = value + std::strlen(value) + 1;
  }
  return nullptr;
}

int HttpRequest::lookupCount(const char* name) const {
  if (name == nullptr) return -1;
  char counted[260];
  std::snprintf(counted, sizeof counted, "%s#", name);
  const char* value = findVariable(counted);
  return value != nullptr ? std::atoi(value) : -1;
}

void HttpRequest::clearVariables() {
  if (variables_ != nullptr) std::memset(variables_, 0, static_cast<size_t>(variablesCapacity_));
  variablesUsed_ = 0;
}

int HttpRequest::isPage(const char* text) const { return text != nullptr && std::strcmp(requestPath, text) == 0; }

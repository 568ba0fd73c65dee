// Fuzz target for what web clients and the file system hand the session
// code: Cookie headers and the session image "/var/sessions.raw".
// The first input byte selects the parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "web/sessions/sessioncookie.h"
#include "web/sessions/sessiontable.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void fuzzCookie(const uint8_t* data, size_t size) {
  // An exact-size heap copy: any read past the header's end is reported.
  std::unique_ptr<char[]> header(new char[size + 1]);
  std::memcpy(header.get(), data, size);
  header[size] = '\0';
  char key[kSessionKeyLength + 2];
  key[kSessionKeyLength + 1] = 'G';
  if (sessionKeyFromCookie(header.get(), key)) {
    check(std::strlen(key) == static_cast<size_t>(kSessionKeyLength));
    check(isSessionKey(key, kSessionKeyLength));
    check(std::strstr(header.get(), key) != nullptr);
  }
  check(key[kSessionKeyLength + 1] == 'G');
}

void fuzzImage(const uint8_t* data, size_t size) {
  SessionTable table;
  // Any size: the loader must refuse all but a whole image.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size > 0 ? size : 1]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const bool taken = table.fromImage(copy.get(), size, 1000);
  check(!taken || size == kSessionImageSize);
  for (int row = 0; row < kSessionRows; ++row) {
    SessionEntry entry;
    if (!table.rowInfo(row, &entry)) continue;
    // Whatever a file holds, only well-formed login rows come back.
    check(row < kSessionLoginRows);
    check(entry.level == kSessionUser || entry.level == kSessionAdmin);
    check(isSessionKey(entry.key, std::strlen(entry.key)));
    check(entry.lastAccess <= 1000);
    check(table.findByKey(entry.key, 0) >= 0);
  }
  uint8_t image[kSessionImageSize];
  table.toImage(image);
  SessionTable again;
  check(again.fromImage(image, sizeof image, 1000));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    fuzzCookie(data + 1, size - 1);
  else
    fuzzImage(data + 1, size - 1);
  return 0;
}

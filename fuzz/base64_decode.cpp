// Base64 decoding of outside text (the HTTP Authorization header): any
// input stays within the output room, and what decodes re-encodes to the
// text it came from.
#include "runtime/text/base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int room = static_cast<int>(size % 64);  // small rooms too
  std::vector<unsigned char> small(static_cast<size_t>(room) + 1);
  const int cut = base64Decode(text.c_str(), small.data(), room);
  if (cut < 0 || (room > 0 && cut > room - 1) || (room <= 0 && cut != 0)) abort();

  std::vector<unsigned char> out(size + 1);
  const int n = base64Decode(text.c_str(), out.data(), static_cast<int>(out.size()));
  if (n < 0 || static_cast<size_t>(n) > size) abort();

  // The decoded bytes encode back to the whole groups they came from.
  std::vector<char> encoded(static_cast<size_t>(n) * 2 + 16);
  const int length = base64Encode(out.data(), n, encoded.data(), static_cast<int>(encoded.size()), 1000);
  std::vector<unsigned char> again(static_cast<size_t>(n) + 1);
  // The start column past the line width puts CR LF after every group;
  // decode group by group.
  int decoded = 0;
  for (int at = 0; at < length;) {
    decoded += base64Decode(encoded.data() + at, again.data() + decoded, n + 1 - decoded);
    while (at < length && encoded[at] != '\n') ++at;
    ++at;
  }
  if (decoded != n || std::memcmp(again.data(), out.data(), static_cast<size_t>(n)) != 0) abort();
  return 0;
}

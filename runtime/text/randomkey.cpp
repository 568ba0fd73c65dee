#include "runtime/text/randomkey.h"

#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

char mailTan[kTanLength + 1] = "NoTAN";

namespace {

// Maps 0..61 to '0'..'9', 'A'..'Z', 'a'..'z'.
char alnumOf(unsigned value) {
  if (value < 10) return static_cast<char>('0' + value);
  if (value < 36) return static_cast<char>('A' + value - 10);
  return static_cast<char>('a' + value - 36);
}

bool fillRandom(unsigned char* bytes, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = getrandom(bytes + got, length - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (got == length) return true;
  return RAND_bytes(bytes, static_cast<int>(length)) == 1;
}

}  // namespace

int randomAlnum(char* buffer, int length) {
  if (!buffer || length < 0) return 0;
  unsigned char pool[64];
  size_t used = sizeof pool;
  size_t filled = 0;
  int written = 0;
  while (written < length) {
    if (used >= filled) {
      if (!fillRandom(pool, sizeof pool)) {
        OPENSSL_cleanse(pool, sizeof pool);
        return 0;
      }
      filled = sizeof pool;
      used = 0;
    }
    // 248 = 4 * 62: dropping the bytes above keeps every character equally likely.
    const unsigned value = pool[used++];
    if (value < 248) buffer[written++] = alnumOf(value % 62);
  }
  OPENSSL_cleanse(pool, sizeof pool);
  return 1;
}

int generateTan(char* buffer) {
  char tan[kTanLength + 1];
  if (!randomAlnum(tan, kTanLength)) return 0;
  tan[kTanLength] = 0;
  std::memcpy(buffer ? buffer : mailTan, tan, sizeof tan);
  OPENSSL_cleanse(tan, sizeof tan);
  return 1;
}

#include "runtime/text/password.h"

#include <openssl/des.h>

#include <cstdlib>
#include <cstring>

namespace {

const char kSalt[] = "Wj";
constexpr int kPieceLength = 8;
constexpr int kPieceHashLength = 11;
constexpr int kMaxPasswordLength = 32;

// The last 11 characters of DES crypt(piece, "Wj"), unterminated.
void hashPiece(const char* piece, int length, char* out) {
  char key[kPieceLength + 1] = {};
  std::memcpy(key, piece, static_cast<size_t>(length));
  char full[14];
  // DES_fcrypt is the reentrant form; the low-level DES calls are
  // deprecated in OpenSSL 3 but remain the reference for this format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  DES_fcrypt(key, kSalt, full);
#pragma GCC diagnostic pop
  std::memcpy(out, full + 2, kPieceHashLength);
}

}  // namespace

int hashPasswordInto(const char* password, int length, char* output) {
  if (!output) return 0;
  if (!password) password = "";
  if (length <= 0) length = static_cast<int>(std::strlen(password));
  output[0] = kSalt[0];
  output[1] = kSalt[1];
  output[2] = 0;
  if (length > kMaxPasswordLength) return 0;
  char* out = output + 2;
  for (int at = 0; at < length; at += kPieceLength) {
    const int piece = length - at < kPieceLength ? length - at : kPieceLength;
    hashPiece(password + at, piece, out);
    out += kPieceHashLength;
  }
  *out = 0;
  return 1;
}

char* hashPassword(const char* password, int length) {
  if (length <= 0 || length > kMaxPasswordLength) return nullptr;
  const int pieces = (length + kPieceLength - 1) / kPieceLength;
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(2 + pieces * kPieceHashLength + 1)));
  if (!out) return nullptr;
  if (!hashPasswordInto(password, length, out)) {
    std::free(out);
    return nullptr;
  }
  return out;
}

int verifyPasswordHash(const char* password, int length, const char* stored) {
  if (!password) password = "";
  if (length < 0) length = static_cast<int>(std::strlen(password));
  if (!stored || !*stored) return length == 0 ? 1 : 0;
  if (length == 0) return 0;
  const char* expected = stored;
  for (int i = 0; i < 2 && *expected; ++i) ++expected;
  for (int at = 0; at < length; at += kPieceLength) {
    const int piece = length - at < kPieceLength ? length - at : kPieceLength;
    char hashed[kPieceHashLength];
    hashPiece(password + at, piece, hashed);
    if (std::strncmp(hashed, expected, kPieceHashLength) != 0) return 0;
    expected += kPieceHashLength;
  }
  return *expected == 0 ? 1 : 0;
}

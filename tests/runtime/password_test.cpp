#include "runtime/text/password.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string hexOf(const std::string& text) {
  std::string hex;
  char two[3];
  for (unsigned char c : text) {
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

// Perl's crypt(piece, "Wj"); the piece travels as hex so no quoting matters.
std::string perlCrypt(const std::string& piece) {
  const std::string command = "perl -e 'print crypt(pack(\"H*\", $ARGV[0]), \"Wj\")' '" + hexOf(piece) + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "<popen failed>";
  char buffer[64] = {};
  const size_t n = fread(buffer, 1, sizeof buffer - 1, pipe);
  pclose(pipe);
  return std::string(buffer, n);
}

// "Wj" followed by the last 11 characters of crypt for each 8-character piece.
std::string referenceHash(const std::string& password) {
  std::string out = "Wj";
  for (size_t at = 0; at < password.size(); at += 8) {
    const std::string full = perlCrypt(password.substr(at, 8));
    EXPECT_EQ(full.size(), 13u) << "perl crypt of piece at " << at;
    if (full.size() == 13) out += full.substr(2);
  }
  return out;
}

const char* const kPasswords[] = {
    "a",
    "admin",
    "12345678",
    "123456789",
    "pass word",
    "secret-admin-pw!",
    "0123456789abcdefghijklmnopqrstu",
    "0123456789abcdefghijklmnopqrstuv",  // 32, the longest
    "\xe4\xf6\xfc\xdf-umlauts",
    "~!@#$%^&*()_+{}|:\"<>?`-=[]\\;',./",
};

TEST(PasswordHash, AgreesPieceByPieceWithPerlCrypt) {
  for (const char* password : kPasswords) {
    const std::string expected = referenceHash(password);
    char out[kPasswordHashSize];
    ASSERT_EQ(hashPasswordInto(password, 0, out), 1) << password;
    EXPECT_EQ(out, expected) << password;
    EXPECT_EQ(std::strlen(out), 2 + 11 * ((std::strlen(password) + 7) / 8));

    // Explicit length: only that many characters count.
    const int prefix = std::strlen(password) < 3 ? static_cast<int>(std::strlen(password)) : 3;
    ASSERT_EQ(hashPasswordInto(password, prefix, out), 1);
    EXPECT_EQ(out, referenceHash(std::string(password, static_cast<size_t>(prefix)))) << password;
  }
}

TEST(PasswordHash, AllocatedHashHoldsTheWholeResult) {
  // Lengths that fill their last piece need the full 2 + 11 * pieces + 1 bytes.
  for (int length : {1, 7, 8, 9, 16, 17, 24, 31, 32}) {
    const std::string password(static_cast<size_t>(length), 'p');
    char* hashed = hashPassword(password.c_str(), length);
    ASSERT_NE(hashed, nullptr) << length;
    EXPECT_EQ(std::strlen(hashed), static_cast<size_t>(2 + 11 * ((length + 7) / 8))) << length;
    char direct[kPasswordHashSize];
    hashPasswordInto(password.c_str(), length, direct);
    EXPECT_STREQ(hashed, direct);
    std::free(hashed);
  }
  EXPECT_EQ(hashPassword("x", 0), nullptr);
  EXPECT_EQ(hashPassword("x", -1), nullptr);
}

TEST(PasswordHash, RefusesPasswordsLongerThan32Characters) {
  const std::string password(33, 'q');
  char out[kPasswordHashSize];
  EXPECT_EQ(hashPasswordInto(password.c_str(), 0, out), 0);
  EXPECT_EQ(hashPassword(password.c_str(), 33), nullptr);
}

TEST(PasswordHash, EmptyPasswordHashesToTheSaltAlone) {
  char out[kPasswordHashSize];
  ASSERT_EQ(hashPasswordInto("", 0, out), 1);
  EXPECT_STREQ(out, "Wj");
}

TEST(PasswordHash, Verification) {
  char stored[kPasswordHashSize];
  ASSERT_EQ(hashPasswordInto("123456789", 0, stored), 1);
  struct Case {
    const char* password;
    int length;
    const char* stored;
    int result;
  };
  const Case cases[] = {
      {"", -1, "", 1},
      {"", 0, nullptr, 1},
      {"x", -1, "", 0},
      {"x", -1, nullptr, 0},
      {"", -1, stored, 0},
      {"123456789", -1, stored, 1},
      {"123456789", 9, stored, 1},
      {"123456789xyz", 9, stored, 1},  // only length characters count
      {"12345678", -1, stored, 0},     // the hash runs on
      {"1234567890", -1, stored, 0},   // the password runs on
      {"123456788", -1, stored, 0},
      {"023456789", -1, stored, 0},
      {"123456789", -1, "Wj", 0},
      {"123456789", -1, "W", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(verifyPasswordHash(c.password, c.length, c.stored), c.result)
        << c.password << " against " << (c.stored ? c.stored : "(null)");

  // Every password of the table verifies against its own hash only.
  for (const char* password : kPasswords) {
    ASSERT_EQ(hashPasswordInto(password, 0, stored), 1);
    EXPECT_EQ(verifyPasswordHash(password, -1, stored), 1) << password;
    EXPECT_EQ(verifyPasswordHash("wrong", -1, stored), 0) << password;
  }
}

}  // namespace

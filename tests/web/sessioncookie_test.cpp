// The session cookie is found only as the exact pair "SessKey" with a
// well-formed key, wherever it stands in the header.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "web/sessions/sessioncookie.h"

namespace {

TEST(SessionCookie, KeyOnlyFromTheExactPairWithAWellFormedValue) {
  struct Case {
    const char* header;
    const char* key;  // null: no key
  } cases[] = {
      {"SessKey=Ab3dEf7hIj9kLm0n", "Ab3dEf7hIj9kLm0n"},
      {"lang=de; SessKey=Ab3dEf7hIj9kLm0n", "Ab3dEf7hIj9kLm0n"},
      {"a=1;SessKey=Ab3dEf7hIj9kLm0n;b=2", "Ab3dEf7hIj9kLm0n"},
      {"  SessKey = Ab3dEf7hIj9kLm0n  ", "Ab3dEf7hIj9kLm0n"},
      {"XSessKey=Ab3dEf7hIj9kLm0n", nullptr},
      {"XSessKey=Ab3dEf7hIj9kLm0n; theme=dark", nullptr},
      {"SessKeyX=Ab3dEf7hIj9kLm0n", nullptr},
      {"SessKey=Ab3dEf7hIj9kLm0", nullptr},    // 15 characters
      {"SessKey=Ab3dEf7hIj9kLm0nP", nullptr},  // 17 characters
      {"SessKey=Ab3dEf7h-j9kLm0n", nullptr},  // not alphanumeric
      {"SessKey=", nullptr},
      {"SessKey", nullptr},
      {"sesskey=Ab3dEf7hIj9kLm0n", nullptr},
      {"", nullptr},
      {";;;", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    char key[kSessionKeyLength + 1] = "untouched";
    const bool found = sessionKeyFromCookie(c.header, key);
    EXPECT_EQ(found, c.key != nullptr);
    if (c.key != nullptr) {
      EXPECT_STREQ(key, c.key);
    }
  }
  char key[kSessionKeyLength + 1];
  EXPECT_FALSE(sessionKeyFromCookie(nullptr, key));
}

TEST(SessionCookie, ShortValueAtTheEndIsNeverReadPast) {
  // A heap copy of exactly the header's bytes: a read past it is a fault
  // the sanitizer build reports.
  const std::string text = "SessKey=abc";
  std::unique_ptr<char[]> header(new char[text.size() + 1]);
  std::memcpy(header.get(), text.c_str(), text.size() + 1);
  char key[kSessionKeyLength + 1];
  EXPECT_FALSE(sessionKeyFromCookie(header.get(), key));
}

TEST(SessionCookie, SecretsCompareByContentAndLength) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"secret12", "secret12", true}, {"secret12", "secret13", false}, {"secret12", "secret1", false},
      {"secret1", "secret12", false}, {"", "", true},                  {"", "x", false},
      {nullptr, "", true},            {nullptr, "x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + " / " + c.b);
    EXPECT_EQ(equalSecret(c.a, c.b), c.equal);
  }
}

}  // namespace

#include "runtime/text/randomkey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

bool isAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

TEST(RandomKey, FillsExactlyTheLengthFromTheAlphanumericAlphabet) {
  for (int length : {0, 1, 16, 64, 1000}) {
    std::string buffer(static_cast<size_t>(length) + 4, '#');
    ASSERT_EQ(randomAlnum(&buffer[0], length), 1);
    for (int i = 0; i < length; ++i) ASSERT_TRUE(isAlnum(buffer[static_cast<size_t>(i)])) << buffer;
    EXPECT_EQ(buffer.substr(static_cast<size_t>(length)), "####");  // no terminator, nothing beyond
  }
}

TEST(RandomKey, DrawsEveryCharacterOfTheAlphabet) {
  std::string buffer(20000, 0);
  ASSERT_EQ(randomAlnum(&buffer[0], static_cast<int>(buffer.size())), 1);
  std::set<char> seen(buffer.begin(), buffer.end());
  EXPECT_EQ(seen.size(), 62u);
}

TEST(RandomKey, TwoCallsDiffer) {
  char a[16], b[16];
  ASSERT_EQ(randomAlnum(a, 16), 1);
  ASSERT_EQ(randomAlnum(b, 16), 1);
  EXPECT_NE(std::memcmp(a, b, 16), 0);
}

TEST(RandomKey, TanIsSixteenCharactersAndTerminated) {
  char tan[kTanLength + 2];
  std::memset(tan, '#', sizeof tan);
  ASSERT_EQ(generateTan(tan), 1);
  EXPECT_EQ(std::strlen(tan), 16u);
  for (int i = 0; i < 16; ++i) EXPECT_TRUE(isAlnum(tan[i]));
  EXPECT_EQ(tan[17], '#');

  char other[kTanLength + 1];
  ASSERT_EQ(generateTan(other), 1);
  EXPECT_STRNE(tan, other);
}

TEST(RandomKey, MailTanStartsAsNoTanAndTakesGeneratedCodes) {
  EXPECT_STREQ(mailTan, "NoTAN");
  ASSERT_EQ(generateTan(nullptr), 1);
  EXPECT_EQ(std::strlen(mailTan), 16u);
  const std::string first = mailTan;
  ASSERT_EQ(generateTan(nullptr), 1);
  EXPECT_NE(first, mailTan);
  for (int i = 0; i < 16; ++i) EXPECT_TRUE(isAlnum(mailTan[i]));
}

}  // namespace

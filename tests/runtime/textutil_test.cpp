#include "runtime/bytes/memaccess.h"
#include "runtime/text/textutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(CompareNoCase, ComparesAWithTheStartOfBIgnoringCase) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"tls", "TLS12", 0},  // a prefix of b compares equal
      {"TTLS", "TLS", 1},   // 'T' > 'L'
      {"TLS", "TTLS", -1},
      {"", "anything", 0},
      {"", "", 0},
      {"tan", "TAN", 0},
      {"TaN", "tAn", 0},
      {"tan", "ta", 1},   // b ends first
      {"abc", "abd", -1},
      {"a", "B", -1},
      {"`", "@", 0},      // every byte above 'Z' folds, not only letters
  };
  for (const Case& c : cases) EXPECT_EQ(sign(compareNoCase(c.a, c.b)), c.sign) << c.a << " / " << c.b;
  EXPECT_EQ(compareNoCase("TTLS", "TLS"), 'T' - 'L');
  EXPECT_EQ(compareNoCase(nullptr, "x"), 0);
  EXPECT_NE(compareNoCase("x", nullptr), 0);
}

TEST(StatusLineValue, SkipsKeyAndBlanksAndCutsTheLineFeed) {
  struct Case {
    const char* line;
    const char* value;
  };
  const Case cases[] = {
      {"Name:\tUsbSrvd\n", "UsbSrvd"},
      {"Name: \t  two words\n", "two words"},
      {"Threads:\t4", "4"},  // no line feed: nothing of the value is lost
      {"Name:\n", ""},
      {"\n", ""},
      {"", ""},
      {"\tvalue\n", "value"},
  };
  for (const Case& c : cases) {
    char line[64];
    std::strcpy(line, c.line);
    const char* value = statusLineValue(line);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, c.value) << "line \"" << c.line << "\"";
  }
  EXPECT_EQ(statusLineValue(nullptr), nullptr);
}

TEST(ShortenMiddle, KeepsStartAndEndAroundThreePoints) {
  struct Case {
    const char* text;
    int width;
    const char* out;
  };
  const Case cases[] = {
      {"short", 10, "short"},
      {"exactly10!", 10, "exa...10!"},  // not shorter than width: shortened
      {"abcdefghijklmnop", 9, "abc...nop"},
      {"abcdefghijklmnop", 10, "abc...nop"},
      {"abcdefghijklmnop", 5, "a...p"},
      {"abcdefghijklmnop", 4, ""},
      {"abcdefghijklmnop", 3, ""},
      {"ab", 3, "ab"},
      {"", 1, ""},
  };
  for (const Case& c : cases) {
    char out[32];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(shortenMiddle(out, c.text, c.width), std::strlen(c.text));
    EXPECT_STREQ(out, c.out) << c.text << " width " << c.width;
  }
}

TEST(CopyBounded, CopiesAtMostSizeMinusOneCharacters) {
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(copyBounded(out, "abcdefghij", 5), out);
  EXPECT_STREQ(out, "abcd");
  EXPECT_EQ(out[5], '#');
  EXPECT_EQ(copyBounded(out, "ab", 8), out);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(copyBounded(out, nullptr, 8), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(copyBounded(out, "ab", 1), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(copyBounded(out, "ab", 0), nullptr);
  EXPECT_EQ(copyBounded(nullptr, "ab", 8), nullptr);
}

TEST(ReadUnaligned32, ReadsAtEveryOffset) {
  unsigned char bytes[12];
  for (int i = 0; i < 12; ++i) bytes[i] = static_cast<unsigned char>(i + 1);
  for (int offset = 0; offset < 4; ++offset) {
    uint32_t expected;
    std::memcpy(&expected, bytes + offset, 4);
    EXPECT_EQ(readUnaligned32(bytes + offset), expected);
  }
}

}  // namespace

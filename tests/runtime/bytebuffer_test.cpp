#include "runtime/bytes/bytebuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string content(const ByteBuffer& b) { return std::string(b.base, static_cast<size_t>(b.length)); }

TEST(ByteBuffer, StartsEmptyAndReserveAllocatesOrReuses) {
  ByteBuffer b;
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.capacity, 0);
  EXPECT_EQ(b.owned, 0);
  EXPECT_EQ(b.length, 0);

  ASSERT_EQ(b.reserve(64), 1);
  EXPECT_NE(b.data, nullptr);
  EXPECT_EQ(b.capacity, 64);
  EXPECT_EQ(b.owned, 1);
  EXPECT_EQ(b.base, b.data);
  char* first = b.data;

  b.appendf("abc");
  ASSERT_EQ(b.reserve(32), 1);  // fits: the same memory, rewound
  EXPECT_EQ(b.data, first);
  EXPECT_EQ(b.capacity, 64);
  EXPECT_EQ(b.length, 0);

  ASSERT_EQ(b.reserve(128), 1);  // does not fit: exactly the new size
  EXPECT_EQ(b.capacity, 128);
  EXPECT_EQ(b.owned, 1);

  ASSERT_EQ(b.reserve(0), 1);  // an empty reservation is still a valid buffer
  EXPECT_NE(b.data, nullptr);
}

TEST(ByteBuffer, LentMemoryIsNeverFreed) {
  char lent[16] = "lent";
  ByteBuffer b;
  b.data = b.base = lent;
  b.capacity = sizeof lent;

  EXPECT_EQ(b.release(), lent);  // hands the lent pointer back
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.capacity, 0);

  b.data = b.base = lent;
  b.capacity = sizeof lent;
  ASSERT_EQ(b.reserve(8), 1);  // lent memory is dropped, a fresh owned one made
  EXPECT_NE(b.data, lent);
  EXPECT_EQ(b.owned, 1);
  EXPECT_STREQ(lent, "lent");
  b.release();

  b.data = b.base = lent;
  b.capacity = sizeof lent;
  b.clear();  // forgets without freeing: the caller keeps what it lent
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.owned, 0);
}

TEST(ByteBuffer, AppendfGrowsByTheCount) {
  ByteBuffer b;
  ASSERT_EQ(b.reserve(32), 1);
  EXPECT_EQ(b.appendf("%s=%d", "port", 80), 7);
  EXPECT_EQ(b.appendf(";"), 1);
  EXPECT_EQ(content(b), "port=80;");
  EXPECT_EQ(b.base[b.length], '\0');
}

// A cut text leaves the terminator in the last byte; it is not content.
TEST(ByteBuffer, AppendfClampsBelowCapacityWhenCut) {
  struct Case {
    int capacity;
    int preset;  // bytes already held
    const char* text;
    int count;   // vsnprintf's count
    std::string expected;
  };
  const Case cases[] = {
      {8, 0, "1234567", 7, "1234567"},     // fits exactly with the terminator
      {8, 0, "12345678", 8, "1234567"},    // one byte too long
      {8, 0, "123456789abc", 12, "1234567"},
      {8, 5, "abcdef", 6, "xxxxxab"},      // cut after earlier content
      {8, 7, "z", 1, "xxxxxxx"},           // only the terminator fits
  };
  for (const Case& c : cases) {
    ByteBuffer b;
    ASSERT_EQ(b.reserve(c.capacity), 1);
    if (c.preset > 0) b.appendf("%.*s", c.preset, "xxxxxxxxxxxxxxxx");
    EXPECT_EQ(b.appendf("%s", c.text), c.count) << c.text;
    EXPECT_EQ(content(b), c.expected) << c.text;
    EXPECT_LE(b.length, c.capacity - 1);
    EXPECT_EQ(b.base[b.length], '\0') << c.text;
  }
}

TEST(ByteBuffer, AppendfOnAFullOrEmptyBufferChangesNothing) {
  ByteBuffer none;
  EXPECT_EQ(none.appendf("abc"), 3);
  EXPECT_EQ(none.length, 0);

  ByteBuffer full;
  ASSERT_EQ(full.reserve(4), 1);
  std::memcpy(full.data, "abcd", 4);
  full.length = 4;  // filled by a read, no room for a terminator
  EXPECT_EQ(full.appendf("xyz"), 3);
  EXPECT_EQ(full.length, 4);
  EXPECT_EQ(content(full), "abcd");
}

TEST(ByteBuffer, AssignCopiesTheContent) {
  ByteBuffer source;
  ASSERT_EQ(source.reserve(100), 1);
  source.appendf("hello %d", 42);

  ByteBuffer copy;
  ASSERT_EQ(copy.reserve(10), 1);
  ASSERT_EQ(copy.assign(source), 1);
  EXPECT_EQ(content(copy), "hello 42");
  EXPECT_NE(copy.data, source.data);
  EXPECT_EQ(copy.owned, 1);

  ByteBuffer empty;
  ASSERT_EQ(copy.assign(empty), 1);
  EXPECT_EQ(copy.length, 0);

  ASSERT_EQ(source.assign(source), 1);  // self-assignment keeps the content
  EXPECT_EQ(content(source), "hello 42");
}

}  // namespace

// The string descriptor cache of a row.
#include <gtest/gtest.h>

#include "usbserver/devices/usbstringcache.h"

namespace {

const uint8_t kHello[] = {8, 3, 'H', 0, 'i', 0, '!', 0};

TEST(UsbStringCache, FindsByLanguageAndIndexAndLanguageZeroMatchesAny) {
  UsbStringCache cache;
  EXPECT_EQ(-1, cache.find(0x0409, 1, nullptr, 0));
  cache.add(0x0409, 1, kHello, sizeof kHello);
  uint8_t out[16] = {};
  EXPECT_EQ(8, cache.find(0x0409, 1, out, sizeof out));
  EXPECT_EQ(0, memcmp(out, kHello, sizeof kHello));
  EXPECT_EQ(8, cache.find(0, 1, out, sizeof out));
  EXPECT_EQ(-1, cache.find(0x0407, 1, out, sizeof out));
  EXPECT_EQ(-1, cache.find(0x0409, 2, out, sizeof out));
  // At most the asked length is copied.
  uint8_t small[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_EQ(2, cache.find(0x0409, 1, small, 2));
  EXPECT_EQ(0xAA, small[2]);
}

TEST(UsbStringCache, CachesNoFailureAndKeepsTheFirstEntryOfAKey) {
  UsbStringCache cache;
  cache.add(0x0409, 3, nullptr, 0);
  uint8_t out[16];
  EXPECT_EQ(-1, cache.find(0x0409, 3, out, sizeof out));  // asked again next time
  EXPECT_TRUE(cache.empty());
  cache.add(0x0409, 3, kHello, sizeof kHello);
  const uint8_t other[] = {4, 3, 'X', 0};
  cache.add(0x0409, 3, other, sizeof other);  // already known: kept as it was
  EXPECT_EQ(8, cache.find(0x0409, 3, out, sizeof out));
  EXPECT_EQ(1, cache.count());
}

// Any client may ask for any pair: the cache stays small, newest kept.
TEST(UsbStringCache, KeepsTheNewestEntriesUpToItsCap) {
  UsbStringCache cache;
  for (int language = 1; language <= 1000; ++language) cache.add(static_cast<uint16_t>(language), 1, kHello, sizeof kHello);
  EXPECT_EQ(UsbStringCache::kMaxEntries, cache.count());
  uint8_t out[16];
  EXPECT_EQ(8, cache.find(1000, 1, out, sizeof out));
  EXPECT_EQ(8, cache.find(1000 - UsbStringCache::kMaxEntries + 1, 1, out, sizeof out));
  EXPECT_EQ(-1, cache.find(1000 - UsbStringCache::kMaxEntries, 1, out, sizeof out));
}

TEST(UsbStringCache, MostRecentEntryAnswersALanguageZeroLookup) {
  UsbStringCache cache;
  const uint8_t german[] = {4, 3, 'D', 0};
  cache.add(0x0409, 1, kHello, sizeof kHello);
  cache.add(0x0407, 1, german, sizeof german);
  uint8_t out[16];
  EXPECT_EQ(4, cache.find(0, 1, out, sizeof out));
  EXPECT_EQ('D', out[2]);
  EXPECT_EQ(8, cache.find(0x0409, 1, out, sizeof out));
  cache.clear();
  EXPECT_TRUE(cache.empty());
  EXPECT_EQ(-1, cache.find(0, 1, out, sizeof out));
}

TEST(UsbStringCache, KeepsAtMostOneDescriptorLength) {
  UsbStringCache cache;
  uint8_t big[400];
  for (int i = 0; i < 400; ++i) big[i] = static_cast<uint8_t>(i);
  cache.add(0x0409, 9, big, sizeof big);
  uint8_t out[400] = {};
  EXPECT_EQ(255, cache.find(0x0409, 9, out, sizeof out));
  EXPECT_EQ(0, out[255]);
}

}  // namespace

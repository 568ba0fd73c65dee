// String descriptors of one device, cached as the device sent them.
//
// Not locked itself: the row that holds the cache guards it with its mutex.
#ifndef USBSERVER_DEVICES_USBSTRINGCACHE_H
#define USBSERVER_DEVICES_USBSTRINGCACHE_H

#include <cstdint>
#include <forward_list>
#include <vector>

class UsbStringCache {
 public:
  // Entries kept per device: any client may ask for any (language, index)
  // pair, and the cache is searched under the row mutex.
  static constexpr int kMaxEntries = 32;

  // Bytes copied (at most length) of the most recent entry for (languageId,
  // index); languageId 0 matches any. 0 when there is no room, -1 when
  // nothing is cached.
  int find(uint16_t languageId, uint8_t index, uint8_t* out, int length) const;
  // Adds an entry at the front unless (languageId, index) is cached already,
  // dropping the oldest one beyond kMaxEntries. Failures (no data) are not
  // cached: the device is asked again next time. Keeps at most 255 bytes.
  void add(uint16_t languageId, uint8_t index, const uint8_t* data, int length);
  void clear() { entries_.clear(); }
  bool empty() const { return entries_.empty(); }
  int count() const;

 private:
  struct Entry {
    uint8_t index;
    uint16_t languageId;
    std::vector<uint8_t> bytes;  // empty for a remembered failure
  };
  const Entry* lookup(uint16_t languageId, uint8_t index) const;

  std::forward_list<Entry> entries_;  // most recent first
};

#endif

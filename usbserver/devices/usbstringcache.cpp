#include "usbserver/devices/usbstringcache.h"

#include <cstring>
#include <iterator>

const UsbStringCache::Entry* UsbStringCache::lookup(uint16_t languageId, uint8_t index) const {
  for (const Entry& e : entries_)
    if (e.index == index && (languageId == 0 || e.languageId == languageId)) return &e;
  return nullptr;
}

int UsbStringCache::find(uint16_t languageId, uint8_t index, uint8_t* out, int length) const {
  const Entry* e = lookup(languageId, index);
  if (!e) return -1;
  int n = static_cast<int>(e->bytes.size());
  if (n > length) n = length;
  if (n <= 0 || !out) return 0;
  std::memcpy(out, e->bytes.data(), static_cast<size_t>(n));
  return n;
}

void UsbStringCache::add(uint16_t languageId, uint8_t index, const uint8_t* data, int length) {
  // An exact key match only: a lookup with language 0 would match any.
  for (const Entry& e : entries_)
    if (e.index == index && e.languageId == languageId) return;
  if (length <= 0 || !data) return;
  if (length > 255) length = 255;
  entries_.push_front(Entry{index, languageId, std::vector<uint8_t>(data, data + length)});
  // Drop what lies beyond the cap (the oldest entries).
  auto keep = entries_.begin();
  for (int n = 1; n < kMaxEntries && std::next(keep) != entries_.end(); ++n) ++keep;
  entries_.erase_after(keep, entries_.end());
}

int UsbStringCache::count() const {
  int n = 0;
  for (auto it = entries_.begin(); it != entries_.end(); ++it) ++n;
  return n;
}

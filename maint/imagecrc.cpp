#include "maint/imagecrc.h"

namespace {

struct CrcTable {
  uint32_t entry[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      entry[i] = c;
    }
  }
};

const CrcTable& crcTable() {
  static const CrcTable table;
  return table;
}

}  // namespace

uint32_t imageCrcUpdate(uint32_t crc, const void* data, size_t length) {
  if (!data) return crc;
  const uint32_t* table = crcTable().entry;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

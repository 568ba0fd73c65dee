// The checksum of update image payloads: the reflected CRC-32 table
// (polynomial 0xEDB88320), run from an initial register of 0 and without
// the final complement.
#ifndef MAINT_IMAGECRC_H
#define MAINT_IMAGECRC_H

#include <cstddef>
#include <cstdint>

// Folds the bytes into a running value; start a payload with 0.
uint32_t imageCrcUpdate(uint32_t crc, const void* data, size_t length);

#endif

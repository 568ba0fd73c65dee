// The identity of the installed application software: seven words of the
// 128-byte header kept at the start of "/flash/software.bin" (the header
// of the update image that installed it; every word big-endian).
#ifndef PARAMS_IDENTITY_SOFTWAREINFO_H
#define PARAMS_IDENTITY_SOFTWAREINFO_H

#include <cstddef>
#include <cstdint>

struct SoftwareInfo {
  static constexpr size_t kHeaderSize = 128;

  uint32_t compat_id;      // header offset 16
  uint32_t compat_level;   // 20
  uint32_t software_id;    // 24
  uint32_t version;        // 32
  uint32_t release;        // 36
  uint32_t subrelease;     // 40
  uint32_t creation_time;  // 28
};

// Reads the first 128 bytes of "/flash/software.bin" and fills the record
// when all of them were read; a missing or short file leaves it unchanged.
void readSoftwareInfo(SoftwareInfo& record);

// Fills the record from a header of the given length; false (record
// unchanged) when fewer than 128 bytes are given.
bool decodeSoftwareInfo(const unsigned char* header, size_t length, SoftwareInfo& record);

// The device's record, read on first use (which is before main).
SoftwareInfo& softwareInfo();

#endif

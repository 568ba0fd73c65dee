// The 128-byte header at the start of every update file (and of the
// installed "/flash/software.bin"). Held as its raw bytes; every field is
// a big-endian word converted where it is read.
#ifndef MAINT_IMAGEHEADER_H
#define MAINT_IMAGEHEADER_H

#include <cstddef>
#include <cstdint>

class ImageHeader {
 public:
  static constexpr size_t kSize = 128;

  // Field offsets.
  static constexpr size_t kMagicOffset = 0;
  static constexpr size_t kTypeOffset = 4;
  static constexpr size_t kCrcOffset = 8;
  static constexpr size_t kLengthOffset = 12;
  static constexpr size_t kCompatOffset = 16;
  static constexpr size_t kLevelOffset = 20;
  static constexpr size_t kSoftwareIdOffset = 24;
  static constexpr size_t kCreationTimeOffset = 28;
  static constexpr size_t kVersionOffset = 32;
  static constexpr size_t kReleaseOffset = 36;
  static constexpr size_t kSubreleaseOffset = 40;

  static constexpr uint32_t kMagic = 0x4E565257;         // "NVRW"
  static constexpr uint32_t kTypeFirmware = 0x66770000;  // "fw": flash image
  static constexpr uint32_t kTypeSoftware = 0x73770000;  // "sw": software archive
  static constexpr uint32_t kTypeFpga = 0x66706761;      // "fpga"
  static constexpr uint32_t kTypeSerialBoard = 0x73657262;  // "serb"

  // All bytes cleared; a magic or type word that is not 0 is stored.
  explicit ImageHeader(uint32_t magic = 0, uint32_t type = 0);

  unsigned char* bytes() { return raw_; }
  const unsigned char* bytes() const { return raw_; }

  // The big-endian word at a field offset (offset + 4 <= kSize).
  uint32_t word(size_t offset) const;
  void setWord(size_t offset, uint32_t value);

  uint32_t magic() const { return word(kMagicOffset); }
  uint32_t type() const { return word(kTypeOffset); }
  uint32_t crc() const { return word(kCrcOffset); }
  uint32_t length() const { return word(kLengthOffset); }
  uint32_t compat() const { return word(kCompatOffset); }
  uint32_t level() const { return word(kLevelOffset); }
  uint32_t softwareId() const { return word(kSoftwareIdOffset); }
  uint32_t creationTime() const { return word(kCreationTimeOffset); }
  uint32_t version() const { return word(kVersionOffset); }
  uint32_t release() const { return word(kReleaseOffset); }
  uint32_t subrelease() const { return word(kSubreleaseOffset); }

  bool hasValidMagic() const;

  // Reads up to kSize bytes from the descriptor's current position into the
  // header; the number of bytes read, -1 on a read error.
  long readFrom(int fd);

  // 0 when the image may be installed on this device, 255 when not. The
  // result text (the version found or the reason of refusal) goes into the
  // buffer, cut to its size.
  int checkCompatibility(char* text, size_t size) const;

 private:
  unsigned char raw_[kSize];
};

#endif

#include "params/identity/softwareinfo.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "runtime/file/paths.h"

namespace {

uint32_t bigEndianWord(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

SoftwareInfo loadDeviceRecord() {
  SoftwareInfo record{};
  readSoftwareInfo(record);
  return record;
}

[[maybe_unused]] const bool kLoadedBeforeMain = (softwareInfo(), true);

}  // namespace

bool decodeSoftwareInfo(const unsigned char* header, size_t length, SoftwareInfo& record) {
  if (!header || length < SoftwareInfo::kHeaderSize) return false;
  record.compat_id = bigEndianWord(header + 16);
  record.compat_level = bigEndianWord(header + 20);
  record.software_id = bigEndianWord(header + 24);
  record.creation_time = bigEndianWord(header + 28);
  record.version = bigEndianWord(header + 32);
  record.release = bigEndianWord(header + 36);
  record.subrelease = bigEndianWord(header + 40);
  return true;
}

void readSoftwareInfo(SoftwareInfo& record) {
  int fd = ::open(mapPath("/flash/software.bin").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  unsigned char header[SoftwareInfo::kHeaderSize];
  size_t got = 0;
  while (got < sizeof header) {
    ssize_t n = ::read(fd, header + got, sizeof header - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  decodeSoftwareInfo(header, got, record);
}

SoftwareInfo& softwareInfo() {
  static SoftwareInfo record = loadDeviceRecord();
  return record;
}

#include "maint/imageheader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "runtime/text/gettext.h"

namespace {

constexpr int kCompatible = 0;
constexpr int kIncompatible = 255;

template <typename... Args>
void writeText(char* text, size_t size, const char* format, Args... args) {
  if (!text || size == 0) return;
  std::snprintf(text, size, format, args...);
}

bool coversProduct(uint32_t imageCompat, uint32_t productCompat) {
  return (imageCompat & productCompat) == productCompat;
}

}  // namespace

ImageHeader::ImageHeader(uint32_t magic, uint32_t type) {
  std::memset(raw_, 0, sizeof raw_);
  if (magic) setWord(kMagicOffset, magic);
  if (type) setWord(kTypeOffset, type);
}

uint32_t ImageHeader::word(size_t offset) const {
  if (offset > kSize - 4) return 0;
  const unsigned char* p = raw_ + offset;
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void ImageHeader::setWord(size_t offset, uint32_t value) {
  if (offset > kSize - 4) return;
  unsigned char* p = raw_ + offset;
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

bool ImageHeader::hasValidMagic() const { return std::memcmp(raw_, "NVRW", 4) == 0; }

long ImageHeader::readFrom(int fd) {
  size_t got = 0;
  while (got < kSize) {
    ssize_t n = ::read(fd, raw_ + got, kSize - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return got ? static_cast<long>(got) : -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

int ImageHeader::checkCompatibility(char* text, size_t size) const {
  if (!hasValidMagic()) {
    writeText(text, size, "%s", "incompatible");
    return kIncompatible;
  }
  const ProductParams& product = productParams();
  switch (type()) {
    case kTypeFirmware: {
      const uint32_t firmwareLevel = firmwareParams().compat_level;
      if (!coversProduct(compat(), product.compat_id)) {
        writeText(text, size, "%s", "incompatible firmware id");
        std::fprintf(stderr, "invalid compat_id:%08x (product:%08x)\n", compat(), product.compat_id);
        return kIncompatible;
      }
      if (level() < firmwareLevel) {
        writeText(text, size, "%s", "incompatible firmware level");
        std::fprintf(stderr, "invalid compat_level:%d (firmware:%d)\n", static_cast<int>(level()),
                     static_cast<int>(firmwareLevel));
        return kIncompatible;
      }
      writeText(text, size, "firmware %x.%d", compat(), static_cast<int>(level()));
      return kCompatible;
    }
    case kTypeSoftware:
      if (!coversProduct(compat(), product.compat_id)) {
        writeText(text, size, "%s", "incompatible software/product id");
        return kIncompatible;
      }
      if (softwareId() != product.software_id) {
        writeText(text, size, "%s", "incompatible software id");
        return kIncompatible;
      }
      writeText(text, size, getmuText("Software: %x.%d Version: %d.%d.%d"), compat(), static_cast<int>(softwareId()),
                static_cast<int>(version()), static_cast<int>(release()), static_cast<int>(subrelease()));
      return kCompatible;
    case kTypeSerialBoard:
      writeText(text, size, "%s", "serboard");
      return kCompatible;
    case kTypeFpga:
      writeText(text, size, "%s", "fpga image info not supported");
      return kCompatible;
    default:
      writeText(text, size, "incompatible type:%d", static_cast<int32_t>(type()));
      return kIncompatible;
  }
}

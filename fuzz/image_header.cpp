// Fuzzes the update image header: field decoding, the compatibility check
// with its texts, the payload checksum and the quick check of a file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "maint/imagecrc.h"
#include "maint/imageheader.h"
#include "maint/updateprecheck.h"
#include "maint/updatestatus.h"
#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  productParams().compat_id = 0x88;
  productParams().software_id = 11;
  firmwareParams().compat_level = 3;

  ImageHeader header;
  std::memcpy(header.bytes(), data, size < ImageHeader::kSize ? size : ImageHeader::kSize);
  char text[kUpdateStatusTextSize];
  header.checkCompatibility(text, sizeof text);
  char small[5];
  header.checkCompatibility(small, sizeof small);
  if (size > ImageHeader::kSize) imageCrcUpdate(0, data + ImageHeader::kSize, size - ImageHeader::kSize);

  int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    updateState = UPDATE_IDLE;
    precheckUpdateFile(fd);
  }
  close(fd);
  return 0;
}

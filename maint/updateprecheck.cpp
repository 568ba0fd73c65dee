#include "maint/updateprecheck.h"

#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

#include "maint/imageheader.h"
#include "maint/updatestatus.h"

namespace {

// Takes the status over for a new update unless one is past the error
// state; done as one step so that a task entering "alive" meanwhile is not
// reset.
bool claimUpdateStatus() {
  int state = updateState.load();
  for (;;) {
    if (state > UPDATE_ERROR) return false;
    if (updateState.compare_exchange_weak(state, UPDATE_IDLE)) break;
  }
  setUpdateStatusText(nullptr);
  updateProgress = 0;
  updateResultCode = 0;
  return true;
}

}  // namespace

int precheckUpdateFile(int fd) {
  if (fd <= 0) return -9;
  if (!claimUpdateStatus()) return -7;

  ::lseek(fd, 0, SEEK_SET);
  struct stat info;
  uint64_t fileSize = 0;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) fileSize = static_cast<uint64_t>(info.st_size);
  ImageHeader header;
  if (header.readFrom(fd) < static_cast<long>(ImageHeader::kSize)) return -10;
  if (fileSize < ImageHeader::kSize + static_cast<uint64_t>(header.length())) return -11;
  if (!header.hasValidMagic()) return -12;
  return 0;
}

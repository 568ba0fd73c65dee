#include "runtime/system/loopdev.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Read-write when allowed; a read-only file or medium binds read-only.
int openReadWriteOrReadOnly(const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd >= 0 || (errno != EROFS && errno != EACCES)) return fd;
  return open(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace

int attachLoopDevice(const char* loopDevice, const char* file, int64_t offset) {
  if (!loopDevice || !file || offset < 0) return 0;
  const int fileFd = openReadWriteOrReadOnly(file);
  if (fileFd < 0) return 0;
  const int loopFd = openReadWriteOrReadOnly(loopDevice);
  if (loopFd < 0) {
    close(fileFd);
    return 0;
  }
  int result = 0;
  if (ioctl(loopFd, LOOP_SET_FD, fileFd) == 0) {
    struct loop_info64 info;
    std::memset(&info, 0, sizeof info);
    info.lo_offset = static_cast<uint64_t>(offset);
    std::snprintf(reinterpret_cast<char*>(info.lo_file_name), sizeof info.lo_file_name, "%s", file);
    if (ioctl(loopFd, LOOP_SET_STATUS64, &info) == 0)
      result = 1;
    else
      ioctl(loopFd, LOOP_CLR_FD, 0);
  }
  close(loopFd);
  close(fileFd);
  return result;
}

int detachLoopDevice(const char* loopDevice) {
  if (!loopDevice) return 0;
  const int fd = open(loopDevice, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const int result = ioctl(fd, LOOP_CLR_FD, 0) == 0 ? 1 : 0;
  close(fd);
  return result;
}

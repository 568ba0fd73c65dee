#include "runtime/file/fatattr.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

int readArchiveBit(int fd, int* bit) {
  uint32_t attributes = 0;
  if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0) return 0;
  if (bit) *bit = (attributes & ATTR_ARCH) ? 1 : 0;
  return 1;
}

int archivBit(int fd, int set) {
  uint32_t attributes = 0;
  if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0) {
    perror("archivBit");
    return 0;
  }
  const bool isSet = (attributes & ATTR_ARCH) != 0;
  if (isSet == (set != 0)) return 1;
  if (set)
    attributes |= ATTR_ARCH;
  else
    attributes &= ~static_cast<uint32_t>(ATTR_ARCH);
  if (ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &attributes) != 0) {
    perror("archivBit");
    return 0;
  }
  sync();
  return 1;
}

int setArchiveBitOfFile(const char* path, int set) {
  const int fd = path ? open(path, O_RDWR) : -1;
  if (fd < 0) {
    perror("archivBit");
    return 0;
  }
  const int result = archivBit(fd, set);
  close(fd);
  return result;
}

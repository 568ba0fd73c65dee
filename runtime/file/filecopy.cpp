#include "runtime/file/filecopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct Crc32Table {
  uint32_t entry[256];
  Crc32Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};

const Crc32Table& crcTable() {
  static const Crc32Table table;
  return table;
}

ssize_t readRetrying(int fd, void* buffer, size_t length) {
  ssize_t n;
  do {
    n = read(fd, buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool writeWhole(int fd, const unsigned char* data, size_t length) {
  ssize_t n;
  do {
    n = write(fd, data, length);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

// Opens destination for writing, truncated. A file that did not exist is
// given newMode explicitly (the umask is not consulted); an existing one
// keeps its mode.
int openDestination(const char* destination, mode_t newMode) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newMode);
    if (fd >= 0) {
      // May fail on media without modes (FAT); the copy goes on.
      (void)fchmod(fd, newMode);
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = open(destination, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  return -1;
}

}  // namespace

uint32_t crc32Step(uint32_t crc, const void* data, size_t length) {
  const Crc32Table& table = crcTable();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) crc = table.entry[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

int copyFile(const char* source, const char* destination, uint32_t* crc) {
  if (crc) *crc = 0;
  if (!source || !destination) return 0;
  struct stat st;
  if (stat(source, &st) != 0) return 0;
  const int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return 0;
  const mode_t newMode = (st.st_mode & S_IROTH) ? 0644 : 0600;
  const int out = openDestination(destination, newMode);
  if (out < 0) {
    close(in);
    return 0;
  }
  unsigned char block[4096];
  int result = 0;
  for (;;) {
    const ssize_t n = readRetrying(in, block, sizeof block);
    if (n < 0) break;
    if (n > 0) {
      if (!writeWhole(out, block, static_cast<size_t>(n))) break;
      if (crc) *crc = crc32Step(*crc, block, static_cast<size_t>(n));
    }
    if (n < static_cast<ssize_t>(sizeof block)) {
      result = 1;
      break;
    }
  }
  if (close(out) != 0) result = 0;
  close(in);
  return result;
}

uint32_t crc32OfFile(int fd, size_t length, size_t chunkSize, unsigned char* buffer) {
  uint32_t crc = 0xFFFFFFFFu;
  bool complete = buffer && chunkSize > 0;
  size_t left = complete ? length : 0;
  while (left > 0) {
    const size_t want = left < chunkSize ? left : chunkSize;
    const ssize_t n = readRetrying(fd, buffer, want);
    if (n != static_cast<ssize_t>(want)) {
      complete = false;
      break;
    }
    crc = crc32Step(crc, buffer, want);
    left -= want;
  }
  lseek(fd, 0, SEEK_SET);
  return complete ? crc ^ 0xFFFFFFFFu : 0;
}

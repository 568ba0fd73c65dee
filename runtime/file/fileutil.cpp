#include "runtime/file/fileutil.h"

#include "runtime/file/fatattr.h"
#include "runtime/file/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

int64_t fileSize(const char* path, char* timeText, size_t timeTextSize, int* archiveBit) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  if (timeText && timeTextSize > 0) {
    struct tm local;
    const time_t changed = st.st_ctime;
    if (localtime_r(&changed, &local) == nullptr || strftime(timeText, timeTextSize, "%Y-%m-%d %H:%M", &local) == 0)
      timeText[0] = 0;
  }
  if (archiveBit) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
      perror("fileSize");
    } else {
      int bit = 0;
      if (readArchiveBit(fd, &bit))
        *archiveBit = bit;
      else
        perror("fileSize");
      close(fd);
    }
  }
  if (S_ISDIR(st.st_mode)) return 1;
  return static_cast<int64_t>(st.st_size);
}

int openAnonymousTempFile() {
  std::string name = mapPath("/tmp/temp.XXXXXX");
  const int fd = mkstemp(&name[0]);
  if (fd < 0) {
    perror("mkstemp");
    return -1;
  }
  if (unlink(name.c_str()) != 0) {
    perror("mkstemp");
    close(fd);
    return -1;
  }
  return fd;
}

int readLastLine(int fd, char* buffer, int size) {
  if (!buffer || size < 2) return 0;
  if (lseek(fd, -static_cast<off_t>(size), SEEK_END) < 0) return 0;
  int got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, static_cast<size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    got += static_cast<int>(n);
  }
  int lf = size - 2;
  while (lf >= 0 && buffer[lf] != '\n') --lf;
  if (lf < 0 || lf == size - 2) return 0;
  const int length = size - lf - 1;
  std::memmove(buffer, buffer + lf + 1, static_cast<size_t>(length));
  buffer[length] = 0;
  return 1;
}

int skimTextFile(const char* path, int lineCount, int minimum) {
  FILE* file = path ? fopen(path, "rt") : nullptr;
  if (!file) return -1;
  char line[128];
  int lines = 0;
  while (!(lineCount >= 0 && lines >= lineCount && lines >= minimum) && fgets(line, sizeof line, file)) ++lines;
  fclose(file);
  return lines;
}

int writeTextFile(const char* path, const char* text) {
  if (!path) return 0;
  FILE* file = fopen(path, "w");
  if (!file) {
    perror(path);
    return 0;
  }
  const bool written = !text || fputs(text, file) >= 0;
  if (fclose(file) != 0 || !written) {
    perror(path);
    return 0;
  }
  return 1;
}

int isSymlinkTo(const char* path, const char* target) {
  struct stat link, resolved, wanted;
  if (!path || !target) return 0;
  if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) return 0;
  if (stat(path, &resolved) != 0 || stat(target, &wanted) != 0) return 0;
  return resolved.st_dev == wanted.st_dev && resolved.st_ino == wanted.st_ino ? 1 : 0;
}

uint64_t blocksToKb(uint64_t blockSize, uint64_t blocks) {
  // Bytes first: a block size below 1024 or a large count must not lose
  // or wrap the figure.
  return blockSize * blocks / 1024;
}

int diskSpaceKb(const char* path, uint64_t* totalKb, uint64_t* freeKb) {
  uint64_t total = 0, free = 0;
  struct statvfs fs;
  const bool ok = path && statvfs(path, &fs) == 0;
  if (ok) {
    const uint64_t blockSize = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    total = blocksToKb(blockSize, fs.f_blocks);
    free = blocksToKb(blockSize, fs.f_bfree);
  }
  if (totalKb) *totalKb = total;
  if (freeKb) *freeKb = free;
  return ok ? 1 : 0;
}

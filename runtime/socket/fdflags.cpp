#include "runtime/socket/fdflags.h"

#include <fcntl.h>

int isBlockingFd(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return 0;
  return (flags & O_NONBLOCK) ? 0 : 1;
}

int setNonBlockingFd(int fd, int on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return 0;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted == flags) return 1;
  return fcntl(fd, F_SETFL, wanted) == 0 ? 1 : 0;
}

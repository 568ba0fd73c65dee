#include "platform/simusb/simusbreadiness.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

SimUsbReadiness::~SimUsbReadiness() { close(); }

int SimUsbReadiness::open() {
  close();
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) return -errno;
  handle_ = pair[0];
  peer_ = pair[1];
  // The smallest send buffer: one write from the handle is enough to make
  // it unwritable.
  int size = 1;
  ::setsockopt(handle_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  writable_ = true;
  setWritable(false);
  return 0;
}

// One write is enough: a Unix stream socket stops being writable once a
// quarter of its send buffer is in use, and the smallest send buffer is
// about 4.5 KiB, so 4 KiB unread (or a write cut short when the buffer is
// full) leaves the handle unwritable. A completion costs one read, a reap
// one write: these run once per URB.
void SimUsbReadiness::fill() {
  static const char block[4096] = {};
  while (::write(handle_, block, sizeof block) < 0 && errno == EINTR) {
  }
}

void SimUsbReadiness::drain() {
  // Larger than what fill() leaves: a short read has taken everything.
  char block[16384];
  ssize_t n;
  do {
    n = ::read(peer_, block, sizeof block);
  } while (n == static_cast<ssize_t>(sizeof block) || (n < 0 && errno == EINTR));
}

void SimUsbReadiness::setWritable(bool writable) {
  if (peer_ < 0 || writable == writable_) return;
  if (writable)
    drain();
  else
    fill();
  writable_ = writable;
}

void SimUsbReadiness::hangUp() {
  if (peer_ < 0) return;
  // Unread data in the closing end makes the kernel set an error on the
  // handle's end as well as the hang-up.
  if (writable_) {
    char one = 0;
    (void)!::write(handle_, &one, 1);
  }
  ::close(peer_);
  peer_ = -1;
}

void SimUsbReadiness::close() {
  if (peer_ >= 0) ::close(peer_);
  if (handle_ >= 0) ::close(handle_);
  peer_ = handle_ = -1;
  writable_ = false;
}

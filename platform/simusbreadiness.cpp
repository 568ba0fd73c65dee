#include "platform/simusbreadiness.h"

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

void SimUsbReadiness::fill() {
  static const char block[4096] = {};
  while (::write(handle_, block, sizeof block) > 0) {
  }
}

void SimUsbReadiness::drain() {
  char block[4096];
  while (::read(peer_, block, sizeof block) > 0) {
  }
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

#include "usbserver/usbreadahead.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstring>

#include "runtime/tlsconnection.h"

int UsbReadAhead::take(void* out, int size) {
  const int n = size < available() ? size : available();
  if (n <= 0) return 0;
  std::memcpy(out, data_ + start_, static_cast<size_t>(n));
  start_ += n;
  if (start_ == end_) start_ = end_ = 0;
  return n;
}

int UsbReadAhead::fill(TlsConnection& socket) {
  if (available() > 0) return 0;
  start_ = end_ = 0;
  int count;
  if (socket.session) {
    count = socket.readInto(data_, kSize, 0);
  } else {
    // A plain socket: one receive, no size query first.
    const ssize_t n = ::recv(socket.fd, data_, kSize, MSG_DONTWAIT);
    if (n > 0) count = static_cast<int>(n);
    else if (n == 0) count = CONN_CLOSED;
    else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) count = 0;
    else count = CONN_BROKEN;
    if (count == CONN_BROKEN) socket.ioStatus = CONN_IO_BROKEN;
  }
  if (count > 0) end_ = count;
  return count;
}

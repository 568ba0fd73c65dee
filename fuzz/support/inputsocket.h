// A connected socket pair for the stream-parsing fuzz targets: fds[0] is
// the side under test, fds[1] the peer. The buffers are large enough for a
// whole input, so it can be sent before the code under test reads a byte.
#ifndef FUZZ_SUPPORT_INPUTSOCKET_H
#define FUZZ_SUPPORT_INPUTSOCKET_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

inline bool openFuzzSocketPair(int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  const int big = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  return true;
}

// Sends the whole input from the peer and shuts its sending side, so that
// every read past the input ends at once instead of waiting.
inline void sendWholeInput(int peer, const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(peer, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(peer, SHUT_WR);
}

#endif

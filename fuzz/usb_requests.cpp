// Fuzzes the request stream of a USB server connection: the bytes are what
// a client sends, whole or in chunks (see LLVMFuzzerTestOneInput). They go
// through a socket pair into the dispatcher of one
// connection whose task owns the devices it connects (simulated: a HID
// device, a bulk loopback and a small mass-storage device behind a hub).
// Replies are read and dropped; at the end the connection gives its devices
// back as a connection task does.
#include <fcntl.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "fuzz/support/inputsocket.h"
#include "fuzz/support/usbfuzzserver.h"
#include "params/identity/productparams.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlsconnection.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"

namespace {

constexpr size_t kMaxInput = 16384;
constexpr int kMaxRequests = 256;

// Sends input to fd. With chunk > 0 it goes in pieces of that size, each
// only once the server has read everything before it, so a request header
// or body arrives split at the same places on every run.
void feed(int fd, int serverFd, const uint8_t* data, size_t size, size_t chunk) {
  size_t sent = 0;
  while (sent < size) {
    const size_t piece = chunk == 0 || size - sent < chunk ? size - sent : chunk;
    const ssize_t n = ::send(fd, data + sent, piece, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
    if (chunk == 0) continue;
    // Bounded: a server that stops reading (the connection ended) has
    // simply left the rest unread.
    for (int spins = 0; spins < 20000; ++spins) {
      int waiting = 0;
      if (::ioctl(serverFd, FIONREAD, &waiting) != 0 || waiting == 0) break;
      sched_yield();
    }
  }
  // Every read past the input ends at once instead of waiting.
  ::shutdown(fd, SHUT_WR);
}

}  // namespace

// The first input byte chooses how the rest is sent: odd values in chunks
// of 1 + (byte >> 1) % 24 bytes, even values at once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsbFuzzServer& s = usbFuzzServer();
  if (size == 0) return 0;
  const size_t chunk = (data[0] & 1) ? 1 + (data[0] >> 1) % 24 : 0;
  ++data;
  --size;
  if (size > kMaxInput) size = kMaxInput;
  int fds[2];
  if (!openFuzzSocketPair(fds)) return 0;
  std::thread feeder(feed, fds[1], fds[0], data, size, chunk);

  TlsConnection socket(nullptr, nullptr, -1);
  socket.fd = fds[0];
  socket.type = SOCK_STREAM;
  socket.state = CONN_STATE_CONNECTED;
  {
    UsbConnection connection(&socket, s.task);
    for (int i = 0; i < kMaxRequests; ++i) {
      const int r = usbDispatchRequest(connection);
      drainReplies(fds[1]);
      if (r < 0) break;
    }
    connection.serveHandovers(0);
    releaseConnectionDevices(connection);
    connection.serveHandovers(0);
  }
  // Closing the server's end ends a feeder still sending.
  ::shutdown(fds[0], SHUT_RDWR);
  feeder.join();
  socket.close();
  ::close(fds[1]);
  return 0;
}

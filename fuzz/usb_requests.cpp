// Fuzzes the request stream of a USB server connection: the bytes are what
// a client sends. They go through a socket pair into the dispatcher of one
// connection whose task owns the devices it connects (simulated: a HID
// device, a bulk loopback and a small mass-storage device behind a hub).
// Replies are read and dropped; at the end the connection gives its devices
// back as a connection task does.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/support/usbfuzzserver.h"
#include "params/productparams.h"
#include "platform/usbhost_sim.h"
#include "runtime/paths.h"
#include "runtime/task.h"
#include "runtime/tlsconnection.h"
#include "usbserver/usbconnection.h"
#include "usbserver/usbdevicetable.h"
#include "usbserver/usbfilesystem.h"
#include "usbserver/usbscan.h"

namespace {

constexpr size_t kMaxInput = 16384;
constexpr int kMaxRequests = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsbFuzzServer& s = usbFuzzServer();
  if (size > kMaxInput) size = kMaxInput;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  const int big = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  // Every read past the input ends at once instead of waiting.
  ::shutdown(fds[1], SHUT_WR);

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
  socket.close();
  ::close(fds[1]);
  return 0;
}

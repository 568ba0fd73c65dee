#include "usbserver/urbbodyread.h"

#include <cstdint>

#include "runtime/tlsconnection.h"
#include "usbserver/usbconnection.h"

int readTransferBody(UsbConnection& c, void* buffer, int size) {
  if (!c.socket) return -1;
  auto* p = static_cast<uint8_t*>(buffer);
  int got = c.readAhead.take(p, size);
  if (got < size && size - got < UsbReadAhead::kSize) {
    // Small: what the socket has now goes into the read-ahead buffer (the
    // next requests with it, when the client sent them already).
    const int r = c.readAhead.fill(*c.socket);
    if (r < 0) return r;
    got += c.readAhead.take(p + got, size - got);
  } else if (got < size) {
    // A look without a wait: 0 when nothing (or no whole TLS record) is there yet.
    const int r = c.socket->readInto(p + got, size - got, 0);
    if (r < 0) return r;
    got += r;
  }
  if (got == size) {
    c.noteTlsSession();
    return size;
  }
  const int rest = c.readFully(p + got, size - got, USB_IO_TIMEOUT_MS);
  return rest == size - got ? size : rest;
}

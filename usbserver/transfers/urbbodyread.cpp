#include "usbserver/transfers/urbbodyread.h"

#include <cstdint>

#include "runtime/tls/tlsconnection.h"
#include "usbserver/connections/usbconnection.h"

int readTransferBody(UsbConnection& c, void* buffer, int size) {
  if (!c.socket) return -1;
  auto* p = static_cast<uint8_t*>(buffer);
  int got = 0;
  if (size > 0) {
    // A look without a wait: 0 when nothing (or no whole TLS record) is there yet.
    const int r = c.socket->readInto(p, size, 0);
    if (r < 0) return r;
    got = r;
  }
  if (got == size) {
    c.noteTlsSession();
    return size;
  }
  const int rest = c.readFully(p + got, size - got, USB_IO_TIMEOUT_MS);
  return rest == size - got ? size : rest;
}

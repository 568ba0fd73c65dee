// Request bytes read ahead of the handlers. Clients send small requests
// (a 16-byte header, a 12-byte transfer descriptor) back to back, several
// at a time: one read without waiting takes what the socket has into this
// buffer, and the headers and small bodies are served from it instead of
// one socket read each. Every read of a connection takes these bytes
// first.
#ifndef USBSERVER_USBREADAHEAD_H
#define USBSERVER_USBREADAHEAD_H

#include <cstdint>

class TlsConnection;

class UsbReadAhead {
 public:
  static constexpr int kSize = 4096;

  int available() const { return end_ - start_; }
  // Moves up to size bytes already read into out: the count.
  int take(void* out, int size);
  // Reads what the socket has now into the empty buffer, without waiting:
  // the bytes read, 0 when nothing (or no whole TLS record) is there yet,
  // or the negative result of the read (CONN_CLOSED, CONN_BROKEN, ...).
  int fill(TlsConnection& socket);

 private:
  uint8_t data_[kSize];
  int start_ = 0;
  int end_ = 0;
};

#endif

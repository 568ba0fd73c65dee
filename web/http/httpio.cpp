// The request's socket I/O. Nothing here blocks: reads and writes are
// single attempts, and the waits between them are cut into slices of the
// program clock, so every limit holds on that clock (which tests move) and
// the task keeps serving its messages while it waits.
#include <errno.h>
#include <sys/socket.h>

#include <algorithm>

#include "runtime/socket/connection.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"

namespace {

// Longest single wait; a moved clock is noticed after at most this long.
constexpr int64_t kWaitSliceCs = 25;

bool retryable(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

// One read attempt: bytes; 0 nothing there; CONN_CLOSED; CONN_BROKEN.
int readOnce(TlsConnection& c, char* memory, int size) {
  if (c.session != nullptr) {
    const int n = c.sslRead(memory, size, 0);
    if (n > 0) return n;
    if (n == 0) return CONN_CLOSED;
    return n == CONN_TIMEOUT ? 0 : CONN_BROKEN;
  }
  for (;;) {
    const ssize_t n = ::recv(c.fd, memory, static_cast<size_t>(size), MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return CONN_CLOSED;
    if (errno == EINTR) continue;
    return retryable(errno) ? 0 : CONN_BROKEN;
  }
}

}  // namespace

int HttpRequest::readUntil(char* memory, int size, int64_t deadlineCs) {
  if (connection == nullptr || connection->fd < 0) return CONN_NO_SOCKET;
  if (size <= 0) return 0;
  for (;;) {
    const int n = readOnce(*connection, memory, size);
    if (n != 0) return n;
    const int64_t left = deadlineCs - uptimeCs();
    if (left <= 0) return 0;
    int error = 0;
    if (!connection->wait4read(std::min(left, kWaitSliceCs), &error, 1) && error != CONN_TIMEOUT && error != 0)
      return CONN_BROKEN;
  }
}

int HttpRequest::writeNow(const char* data, int length) {
  if (connection == nullptr || connection->fd < 0) return -1;
  if (length <= 0) return 0;
  if (connection->session != nullptr) {
    const int n = connection->sslWrite(data, length, 0);
    if (n > 0) {
      noteWriteProgress();
      return n;
    }
    return n == CONN_TIMEOUT ? 0 : -1;
  }
  for (;;) {
    const ssize_t n = ::send(connection->fd, data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      noteWriteProgress();
      return static_cast<int>(n);
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && retryable(errno) ? 0 : -1;
  }
}

void HttpRequest::noteWriteProgress() { lastProgressCs_ = uptimeCs(); }

bool HttpRequest::awaitWriteRoom() {
  if (connection == nullptr || connection->fd < 0) return false;
  const int64_t left = lastProgressCs_ + kHttpWriteStallCs - uptimeCs();
  if (left <= 0) return false;
  int error = 0;
  connection->wait4write(std::min(left, kWaitSliceCs), &error, 1);
  return true;
}

void HttpRequest::drainPostBody() {
  if (connection == nullptr || connection->fd < 0) return;
  char scrap[512];
  for (int i = 0; i < 64 && readOnce(*connection, scrap, sizeof scrap) > 0; ++i) {
  }
}

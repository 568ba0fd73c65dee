// TlsConnection reads and writes, through the session when there is one.
#include <errno.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"

namespace {

constexpr int kGracefulPiece = 256;
constexpr int64_t kGracefulStepCs = 50;

// An absolute deadline on the program clock; -1 for none.
int64_t deadlineAfter(int64_t timeoutCs) { return timeoutCs < 0 ? -1 : uptimeCs() + timeoutCs; }

// What is left until deadline: -1 none, else at least 0.
int64_t timeLeft(int64_t deadlineCs) {
  if (deadlineCs < 0) return -1;
  return std::max<int64_t>(0, deadlineCs - uptimeCs());
}

bool retryable(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

// OpenSSL 3 reports a peer that closed without a close notification as a
// protocol error; this system never sends one, so it is an ordinary close.
bool closedByPeer(int sslError) {
  if (sslError == SSL_ERROR_ZERO_RETURN) return true;
  if (sslError != SSL_ERROR_SSL) return false;
  const unsigned long error = ERR_peek_error();
  return ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// Makes room for at least more bytes beyond buffer's content; false when
// the allocation failed.
bool growFor(ByteBuffer& buffer, int more) {
  if (buffer.owned && buffer.capacity - buffer.length >= more) return true;
  ByteBuffer bigger;
  if (!bigger.reserve(std::max(buffer.capacity * 2, buffer.length + more))) return false;
  if (buffer.length > 0) std::memcpy(bigger.data, buffer.base, static_cast<size_t>(buffer.length));
  const int32_t length = buffer.length;
  buffer.release();
  buffer.data = bigger.data;
  buffer.base = bigger.data;
  buffer.capacity = bigger.capacity;
  buffer.owned = 1;
  buffer.length = length;
  bigger.clear();
  return true;
}

}  // namespace

int TlsConnection::sslRead(void* memory, int size, int64_t timeoutCs) {
  if (session == nullptr || size <= 0) {
    ioStatus = CONN_IO_BROKEN;
    return CONN_BROKEN;
  }
  const int64_t deadline = timeoutCs == 0 ? 0 : deadlineAfter(timeoutCs);
  for (;;) {
    peekRecordHeader();
    ERR_clear_error();
    const int count = SSL_read(session, memory, size);
    if (count > 0) return count;
    const int sslError = SSL_get_error(session, count);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
      const int waited = timeoutCs == 0 ? 0 : waitForSession(sslError, deadline);
      if (waited == 1) continue;
      if (waited == 0) {
        ioStatus = CONN_IO_TIMED_OUT;
        return CONN_TIMEOUT;
      }
    } else if (sslError == SSL_ERROR_SYSCALL && errno == EINTR) {
      continue;
    } else if (closedByPeer(sslError)) {
      ERR_clear_error();
      return 0;
    }
    ERR_clear_error();
    ioStatus = CONN_IO_BROKEN;
    return CONN_BROKEN;
  }
}

int TlsConnection::sslWrite(const void* memory, int size, int64_t timeoutCs) {
  if (session == nullptr) {
    ioStatus = CONN_IO_BROKEN;
    return CONN_BROKEN;
  }
  if (size <= 0) return 0;
  for (;;) {
    ERR_clear_error();
    const int count = SSL_write(session, memory, size);
    if (count > 0) return count;
    const int sslError = SSL_get_error(session, count);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
      const int waited = waitForSession(sslError, deadlineAfter(timeoutCs));
      if (waited == 1) continue;
      if (waited == 0) {
        ioStatus = CONN_IO_TIMED_OUT;
        return CONN_TIMEOUT;
      }
    } else if (sslError == SSL_ERROR_SYSCALL && errno == EINTR) {
      continue;
    }
    ERR_clear_error();
    ioStatus = CONN_IO_BROKEN;
    return CONN_BROKEN;
  }
}

int TlsConnection::readSession(ByteBuffer& buffer, int64_t timeoutCs) {
  const int64_t deadline = timeoutCs == 0 ? 0 : deadlineAfter(timeoutCs);
  buffer.rewind();
  // Decrypt what has already arrived; a wait first would end at once.
  const int32_t status = ioStatus;
  int count = sslRead(buffer.base, buffer.capacity, 0);
  if (count == CONN_TIMEOUT) {
    ioStatus = status;
    if (timeoutCs == 0) {  // a look that found nothing complete
      buffer.release();
      return 0;
    }
    int error = 0;
    if (!wait4read(timeLeft(deadline), &error, 1)) {
      buffer.release();
      return error;  // 0 when a parameter change ended the wait
    }
    count = sslRead(buffer.base, buffer.capacity, timeLeft(deadline));
  }
  if (count > 0) {
    buffer.length = count;
    return count;
  }
  buffer.release();
  return count == 0 ? CONN_CLOSED : count;
}

int TlsConnection::read(ByteBuffer& buffer, int64_t timeoutCs, int fresh) {
  if (session != nullptr && !fresh && buffer.data != nullptr && buffer.capacity > 0)
    return readSession(buffer, timeoutCs);
  const int64_t deadline = timeoutCs == 0 ? 0 : deadlineAfter(timeoutCs);
  bool first = true;
  for (;;) {
    // A buffer without memory of its own is sized like a fresh one.
    const bool sized = fresh || buffer.data == nullptr || buffer.capacity <= 0;
    if (sized)
      buffer.release();
    else
      buffer.rewind();

    if (session != nullptr && SSL_pending(session) > 0) {
      if (sized && !buffer.reserve(std::min(SSL_pending(session), kTlsPendingReadMax))) return 0;
      const int count = sslRead(buffer.base, buffer.capacity, 0);
      if (count > 0) {
        buffer.length = count;
        return count;
      }
      buffer.release();
      return count == 0 ? CONN_CLOSED : count;
    }

    if (timeoutCs != 0) {
      int64_t left = timeLeft(deadline);
      if (!first && left == 0) {
        ioStatus = CONN_IO_TIMED_OUT;
        buffer.release();
        return CONN_TIMEOUT;
      }
      int error = 0;
      if (!wait4read(left, &error, 1)) {
        buffer.release();
        return error;  // 0 when a parameter change ended the wait
      }
    }
    first = false;

    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) break;
    if (waiting <= 0) {
      if (timeoutCs == 0) {
        buffer.release();
        return 0;
      }
      waiting = kTlsDefaultReadSize;
    }
    if (sized) {
      if (!buffer.reserve(waiting)) {
        buffer.release();
        return 0;
      }
    } else {
      waiting = std::min(waiting, buffer.capacity);
    }

    if (session != nullptr) {
      const int32_t status = ioStatus;
      const int count = sslRead(buffer.base, waiting, timeoutCs == 0 ? 0 : timeLeft(deadline));
      if (count > 0) {
        buffer.length = count;
        return count;
      }
      buffer.release();
      if (count == 0) return CONN_CLOSED;
      // A record not complete when a look without waiting found it.
      if (count == CONN_TIMEOUT && timeoutCs == 0) {
        ioStatus = status;
        return 0;
      }
      return count;
    }
    const ssize_t count = ::read(fd, buffer.base, static_cast<size_t>(waiting));
    if (count > 0) {
      buffer.length = static_cast<int32_t>(count);
      return static_cast<int>(count);
    }
    if (count == 0) {
      buffer.release();
      return CONN_CLOSED;
    }
    if (!retryable(errno)) break;
  }
  ioStatus = CONN_IO_BROKEN;
  buffer.release();
  return CONN_BROKEN;
}

int TlsConnection::readFresh(ByteBuffer& buffer, int64_t timeoutCs) { return read(buffer, timeoutCs, 1); }

int TlsConnection::readInto(void* memory, int size, int64_t timeoutCs) {
  if (memory == nullptr || size <= 0) return 0;
  ByteBuffer lent;
  lent.data = static_cast<char*>(memory);
  lent.base = lent.data;
  lent.capacity = size;
  lent.owned = 0;
  const int result = read(lent, timeoutCs, 0);
  lent.clear();
  return result;
}

int TlsConnection::readPlain(ByteBuffer& buffer, int64_t timeoutCs) {
  if (!buffer.reserve(kTlsDefaultReadSize)) return -1;
  if (timeoutCs != 0) {
    int error = 0;
    if (!wait4read(timeoutCs, &error, 1)) return 0;
  }
  const ssize_t count = ::read(fd, buffer.base, static_cast<size_t>(kTlsDefaultReadSize));
  if (count < 0) return -1;
  buffer.length = static_cast<int32_t>(count);
  return static_cast<int>(count);
}

int TlsConnection::write(const void* data, int length, int timeoutCs, int once) {
  const char* bytes = static_cast<const char*>(data);
  const int64_t stallCs = timeoutCs == 0 ? kTlsStallTimeoutCs : timeoutCs;
  int total = 0;
  while (total < length) {
    if (session != nullptr) {
      const int count = sslWrite(bytes + total, length - total, stallCs);
      if (count == CONN_TIMEOUT) return -1;  // as a failed wait for room between writes
      if (count < 0) return count;
      bytesWritten += count;
      total += count;
    } else {
      const ssize_t count = ::send(fd, bytes + total, static_cast<size_t>(length - total), MSG_NOSIGNAL);
      if (count > 0) {
        bytesWritten += count;
        total += static_cast<int>(count);
      } else if (count < 0 && !retryable(errno)) {
        ioStatus = CONN_IO_BROKEN;
        return CONN_BROKEN;
      }
    }
    if (once || total >= length) break;
    int error = 0;
    if (!wait4write(timeoutCs, &error, 1)) return -1;
  }
  return total;
}

int TlsConnection::writev(const iovec* vector, int count) {
  if (session == nullptr) {
    const int written = Connection::writev(vector, count);
    if (written > 0) bytesWritten += written;
    return written;
  }
  int total = 0;
  for (int i = 0; i < count; ++i) {
    const char* base = static_cast<const char*>(vector[i].iov_base);
    const int length = static_cast<int>(vector[i].iov_len);
    for (int done = 0; done < length;) {
      const int written = sslWrite(base + done, length - done, kTlsStallTimeoutCs);
      if (written <= 0) return written;
      done += written;
      bytesWritten += written;
      total += written;
    }
  }
  return total;
}

int TlsConnection::sendFile(int source) {
  char chunk[kTlsPendingReadMax];
  for (;;) {
    const ssize_t count = ::read(source, chunk, sizeof chunk);
    if (count == 0) return 1;
    if (count < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (write(chunk, static_cast<int>(count), static_cast<int>(kTlsStallTimeoutCs), 0) != count) return 0;
  }
}

int TlsConnection::closeGracefully(int timeoutSeconds, ByteBuffer* buffer) {
  if (fd < 0) return 0;
  ::shutdown(fd, SHUT_WR);
  const int64_t start = uptimeCs();
  char piece[kGracefulPiece];
  for (;;) {
    if (timeoutSeconds > 0 && uptimeCs() - start >= static_cast<int64_t>(timeoutSeconds) * 100) return 0;
    int error = 0;
    if (!wait4read(kGracefulStepCs, &error, 1)) {
      if (error == CONN_TIMEOUT || error == 0) continue;
      ioStatus = CONN_IO_BROKEN;
      return 0;
    }
    int count;
    if (session != nullptr) {
      count = sslRead(piece, sizeof piece, kGracefulStepCs);
      if (count == CONN_TIMEOUT) continue;
    } else {
      const ssize_t n = ::read(fd, piece, sizeof piece);
      if (n < 0 && retryable(errno)) continue;
      count = n < 0 ? CONN_BROKEN : static_cast<int>(n);
    }
    if (count == 0) return 1;
    if (count < 0) {
      ioStatus = CONN_IO_BROKEN;
      return 0;
    }
    if (buffer != nullptr && growFor(*buffer, count)) {
      std::memcpy(buffer->base + buffer->length, piece, static_cast<size_t>(count));
      buffer->length += count;
    }
  }
}

// Connection waits and data transfer.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/connection.h"
#include "runtime/task/task.h"

namespace {

int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds for poll until deadlineMs; -1 without a limit.
int pollMs(int64_t timeoutCs, int64_t deadlineMs) {
  if (timeoutCs < 0) return -1;
  if (timeoutCs == 0) return 0;
  const int64_t left = deadlineMs - monotonicMs();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int64_t deadlineFor(int64_t timeoutCs) {
  if (timeoutCs <= 0) return 0;
  // Beyond this a limit is as good as none (and timeoutCs * 10 would overflow).
  constexpr int64_t kLongestCs = INT64_MAX / 20;
  return monotonicMs() + (timeoutCs > kLongestCs ? kLongestCs : timeoutCs) * 10;
}

void setError(int* error, int value) {
  if (error != nullptr) *error = value;
}

bool isStream(const Connection& c) { return (c.type & 0xf) == SOCK_STREAM; }

// The owner's pipe is watched only on the owner's own thread: handlers must
// not run on another task's (or a foreign) thread.
Task* servingOwner(const Connection& c) {
  Task* owner = c.owner;
  if (owner == nullptr || owner->pipeRead < 0 || owner != currentTask()) return nullptr;
  return owner;
}

enum class Direction { Read, Write };

// The waits share one loop; see wait4read and wait4write in the header.
int waitReady(Connection& c, Direction direction, int64_t timeoutCs, int* error, int retryEintr) {
  if (c.fd < 0) {
    setError(error, CONN_NO_SOCKET);
    return 0;
  }
  const bool reading = direction == Direction::Read;
  const short socketEvents = reading ? POLLIN : POLLOUT;
  Task* owner = servingOwner(c);
  const int64_t deadlineMs = deadlineFor(timeoutCs);
  for (;;) {
    pollfd fds[2] = {{c.fd, socketEvents, 0}, {owner != nullptr ? owner->pipeRead : -1, POLLIN, 0}};
    const int ms = pollMs(timeoutCs, deadlineMs);
    const int ready = poll(fds, owner != nullptr ? 2 : 1, ms);
    if (ready < 0) {
      const int failure = errno;
      if (reading) {
        errno = failure;
        std::perror("wait4read");
      }
      if (retryEintr && failure == EINTR) continue;
      setError(error, -failure);
      return 0;
    }
    if (ready == 0) {
      if (ms != 0 && (timeoutCs < 0 || deadlineMs - monotonicMs() > 0)) continue;  // a clamped poll
      setError(error, CONN_TIMEOUT);
      c.ioStatus = CONN_IO_TIMED_OUT;
      // A poll for room still lets the caller try its write.
      return (!reading && timeoutCs == 0) ? 1 : 0;
    }
    if (fds[0].revents & POLLNVAL) {
      setError(error, -EBADF);
      return 0;
    }
    // Errors and hang-ups count as ready: the following call reports them.
    const bool socketReady = (fds[0].revents & (socketEvents | POLLERR | POLLHUP)) != 0;
    if (owner != nullptr && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (owner->receiveMessage() & MSG_PARAMS_CHANGED) return socketReady ? 1 : 0;
      if (reading && socketReady) return 1;
      continue;
    }
    if (socketReady) return 1;
  }
}

constexpr unsigned kReadsBetweenWaits = 16;
// Reads this thread made in a row without the full wait.
thread_local unsigned readsWithoutWait = 0;

// One read into memory: a connected socket reads, any other socket takes
// the sender into peer (when its address fits).
ssize_t readOnce(Connection& c, char* memory, size_t room, int flags) {
  if (c.state == CONN_STATE_CONNECTED) return ::recv(c.fd, memory, room, flags);
  sockaddr_storage sender;
  socklen_t senderLength = sizeof sender;
  const ssize_t count = ::recvfrom(c.fd, memory, room, flags, reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (count >= 0 && senderLength > 0 && senderLength <= IpAddress::kSize) {
    c.peer.clear(false);
    std::memcpy(c.peer.rawBytes(), &sender, senderLength);
  }
  return count;
}

// The bytes of a socket address of the peer's family.
socklen_t peerLength(const IpAddress& peer) { return peer.sockAddrLength(); }

}  // namespace

int Connection::wait4read(int64_t timeoutCs, int* error, int retryEintr) {
  return waitReady(*this, Direction::Read, timeoutCs, error, retryEintr);
}

int Connection::wait4write(int64_t timeoutCs, int* error, int retryEintr) {
  return waitReady(*this, Direction::Write, timeoutCs, error, retryEintr);
}

int Connection::receive(ByteBuffer& buffer, int timeoutCs) {
  if (!buffer.owned) {
    buffer.clear();
    if (!buffer.reserve(kReceiveBufferSize)) return -1;
  } else if (buffer.capacity - buffer.length >= kReceiveMinFree) {
    buffer.rewind();
  } else {
    buffer.release();
    if (!buffer.reserve(kReceiveBufferSize)) return -1;
  }

  const size_t room = static_cast<size_t>(buffer.capacity);
  // MSG_TRUNC makes a datagram socket report the datagram's real size, so
  // only a datagram that did not fit counts as cut. A stream read that
  // fills the buffer is simply a full read.
  const int flags = isStream(*this) ? 0 : MSG_TRUNC;

  // Bytes already waiting are read without the wait's extra poll. The full
  // wait, which also serves the owner's messages, runs whenever nothing is
  // waiting and at least every kReadsBetweenWaits reads, so a busy peer
  // cannot hold the owner's messages back.
  ssize_t count = -1;
  bool done = false;
  if (fd >= 0 && readsWithoutWait < kReadsBetweenWaits) {
    count = readOnce(*this, buffer.data, room, flags | MSG_DONTWAIT);
    done = count >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }
  if (done) {
    ++readsWithoutWait;
  } else {
    readsWithoutWait = 0;
    int error = 0;
    if (!wait4read(timeoutCs, &error, 1)) {
      buffer.release();
      return -1;
    }
    count = readOnce(*this, buffer.data, room, flags);
  }
  if (count < 0) return -1;
  if (static_cast<size_t>(count) > room) {
    buffer.release();
    return -1;
  }
  buffer.length = static_cast<int32_t>(count);
  return static_cast<int>(count);
}

int Connection::send(const void* data, int length, int once) {
  const char* bytes = static_cast<const char*>(data);
  int sent = 0;
  int64_t stallDeadlineMs = monotonicMs() + kSendStallLimitCs * 10;
  while (sent < length) {
    const size_t left = static_cast<size_t>(length - sent);
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE, not a signal.
    const ssize_t count = state == CONN_STATE_CONNECTED
                              ? ::send(fd, bytes + sent, left, MSG_NOSIGNAL)
                              : ::sendto(fd, bytes + sent, left, MSG_NOSIGNAL, peer.sockAddr(), peerLength(peer));
    if (count > 0) {
      sent += static_cast<int>(count);
      stallDeadlineMs = monotonicMs() + kSendStallLimitCs * 10;
    } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return -errno;
    }
    if (once) break;
    if (count > 0 || (count < 0 && errno == EINTR)) continue;

    // A full socket (or a zero count): wait for room, but not for ever.
    const int64_t leftMs = stallDeadlineMs - monotonicMs();
    if (leftMs <= 0) return sent > 0 ? sent : CONN_TIMEOUT;
    int error = 0;
    if (!wait4write((leftMs + 9) / 10, &error, 1) && error != 0) return sent > 0 ? sent : error;
  }
  return sent;
}

int Connection::writev(const iovec* vector, int count) {
  msghdr message;
  std::memset(&message, 0, sizeof message);
  message.msg_iov = const_cast<iovec*>(vector);
  message.msg_iovlen = static_cast<size_t>(count < 0 ? 0 : count);
  return static_cast<int>(::sendmsg(fd, &message, MSG_NOSIGNAL));
}

int Connection::sendRaw(const void* data, int length, int once) {
  const char* bytes = static_cast<const char*>(data);
  constexpr socklen_t kLinkAddressSize = 20;  // sockaddr_ll
  int sent = 0;
  int64_t stallDeadlineMs = monotonicMs() + kSendStallLimitCs * 10;
  while (sent < length) {
    const ssize_t count = ::sendto(fd, bytes + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL,
                                   local.sockAddr(), kLinkAddressSize);
    if (count > 0) {
      sent += static_cast<int>(count);
      stallDeadlineMs = monotonicMs() + kSendStallLimitCs * 10;
    } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return CONN_BROKEN;
    }
    if (once) break;
    if (count > 0 || (count < 0 && errno == EINTR)) continue;
    const int64_t leftMs = stallDeadlineMs - monotonicMs();
    if (leftMs <= 0) return sent > 0 ? sent : CONN_TIMEOUT;
    int error = 0;
    if (!wait4write((leftMs + 9) / 10, &error, 1) && error != 0) return sent > 0 ? sent : error;
  }
  return sent;
}

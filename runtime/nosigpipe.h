// Writes to a socket whose peer has gone raise SIGPIPE unless they are sent
// with MSG_NOSIGNAL. OpenSSL writes through its own socket calls, so while a
// TLS session reads, writes or shakes hands the calling thread holds SIGPIPE
// blocked, and a SIGPIPE raised meanwhile is taken off the thread before it
// is unblocked again: the write just fails with EPIPE. Other threads and a
// SIGPIPE that was already pending are left alone.
#ifndef RUNTIME_NOSIGPIPE_H
#define RUNTIME_NOSIGPIPE_H

#include <signal.h>

class NoSigpipeScope {
 public:
  NoSigpipeScope();
  ~NoSigpipeScope();
  NoSigpipeScope(const NoSigpipeScope&) = delete;
  NoSigpipeScope& operator=(const NoSigpipeScope&) = delete;

 private:
  sigset_t previous_;
  bool pendingBefore_ = false;
  bool blocked_ = false;
};

#endif

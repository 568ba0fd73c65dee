#include "runtime/nosigpipe.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace {

bool sigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

NoSigpipeScope::NoSigpipeScope() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pendingBefore_ = sigpipePending();
  blocked_ = pthread_sigmask(SIG_BLOCK, &pipe, &previous_) == 0;
}

NoSigpipeScope::~NoSigpipeScope() {
  if (!blocked_) return;
  if (!pendingBefore_ && sigpipePending()) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec none{0, 0};
    const int saved = errno;
    while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
    }
    errno = saved;
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

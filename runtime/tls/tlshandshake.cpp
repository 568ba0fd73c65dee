#include "runtime/tls/tlshandshake.h"

#include <poll.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "runtime/socket/fdflags.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlssocketbio.h"

namespace {

// Pause between handshake attempts; the socket becoming readable ends it.
constexpr int64_t kHandshakeStepCs = 10;
// Pause between the attempts of a graceful shutdown.
constexpr int64_t kShutdownStepCs = 33;

void pauseForSocket(int fd, int sslError) {
  Task* task = currentTask();
  if (task != nullptr) {
    task->servePendingMessage();
    task->wait(kHandshakeStepCs, sslError == SSL_ERROR_WANT_READ ? fd : -1);
    return;
  }
  pollfd p = {fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
  poll(&p, 1, static_cast<int>(kHandshakeStepCs * 10));
}

}  // namespace

ssl_st* tlsServerHandshake(TlsConnection* connection, int64_t limitCs) {
  if (connection == nullptr || connection->fd < 0) return nullptr;
  if (limitCs <= 0) limitCs = kTlsServerHandshakeCs;
  const int64_t start = uptimeCs();
  SSL* ssl = createTlsSession(1);
  if (ssl == nullptr) return nullptr;
  if (setTlsSessionSocket(ssl, connection->fd) != 1) {
    printTlsErrors();
    SSL_free(ssl);
    return nullptr;
  }
  // The socket stays non-blocking: every later TLS wait is a bounded poll.
  setNonBlockingFd(connection->fd, 1);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_accept(ssl);
    if (result == 1) return ssl;
    const int sslError = SSL_get_error(ssl, result);
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) break;
    if (uptimeCs() - start > limitCs) break;
    pauseForSocket(connection->fd, sslError);
  }
  ERR_clear_error();
  SSL_free(ssl);
  return nullptr;
}

int tlsShutdown(ssl_st* session, int abortive) {
  if (session == nullptr) return 0;
  const int fd = SSL_get_fd(session);
  int closed = 0;
  if (fd >= 0) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int shut = SSL_get_shutdown(session);
      const int both = SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN;
      if (abortive || (shut & both) != 0) {
        // A session without a recorded shutdown is not kept for resumption.
        if ((shut & both) != both) SSL_set_shutdown(session, 0);
        break;
      }
      ERR_clear_error();
      const int result = SSL_shutdown(session);
      if (result > 0) break;
      const int sslError = result < 0 ? SSL_get_error(session, result) : SSL_ERROR_NONE;
      if (result < 0 && sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) break;
      Task* task = currentTask();
      if (task != nullptr) task->wait(kShutdownStepCs);
    }
    closed = ::close(fd) == 0 ? 1 : 0;
  }
  ERR_clear_error();
  SSL_free(session);
  return closed;
}

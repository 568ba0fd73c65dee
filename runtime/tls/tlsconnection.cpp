// TlsConnection life: accepting, connecting, the client handshake, closing,
// and what a session tells about itself.
#include "runtime/tls/tlsconnection.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "runtime/socket/fdflags.h"
#include "runtime/task/uptime.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlshandshake.h"
#include "runtime/tls/tlssocketbio.h"

namespace {

constexpr uint8_t kApplicationData = 23;
constexpr int kCipherDescriptionRoom = 129;

int64_t deadlineAfter(int64_t timeoutCs) { return timeoutCs < 0 ? -1 : uptimeCs() + timeoutCs; }

}  // namespace

TlsConnection::TlsConnection(Task* ownerTask, InterfaceView* interfaceView, int vlanId)
    : Connection(ownerTask, interfaceView, vlanId), bytesWritten(0), lastResult(0), session(nullptr) {
  std::memset(recordHeader, 0, sizeof recordHeader);
}

TlsConnection::~TlsConnection() { close(); }

int TlsConnection::close() {
  if (session == nullptr) return Connection::close();
  // tlsShutdown closes the socket; the descriptor must not be closed again
  // (its number may already belong to another thread's file).
  const int closed = tlsShutdown(session, 1);
  session = nullptr;
  fd = -1;
  state = CONN_STATE_OPEN;
  return closed;
}

TlsConnection* TlsConnection::accept(int tls) {
  int error = 0;
  if (!wait4read(-1, &error, 1)) return nullptr;
  auto* client = new TlsConnection(owner, iface, vlan);
  client->port = port;
  client->family = family;
  client->type = type;
  if (!client->acceptFrom(fd)) {
    const int saved = errno;
    delete client;
    errno = saved;
    return nullptr;
  }
  client->state = CONN_STATE_CONNECTED;
  if (tls) {
    client->session = tlsServerHandshake(client);
    if (client->session == nullptr) {
      delete client;
      return nullptr;
    }
  }
  return client;
}

int TlsConnection::connect(int timeoutCs, int tls) {
  const int64_t start = uptimeCs();
  if (!Connection::connect(timeoutCs)) return 0;
  if (!tls) return 1;
  int64_t handshakeCs = kTlsClientHandshakeCs;
  if (timeoutCs > 0) {
    handshakeCs = timeoutCs - (uptimeCs() - start);
    if (handshakeCs < 1) handshakeCs = 1;
  }
  return clientHandshake(0, handshakeCs) != nullptr ? 1 : 0;
}

ssl_st* TlsConnection::clientHandshake(int verify, int64_t timeoutCs) {
  if (session != nullptr) return session;
  SSL* ssl = createTlsSession(0);
  if (ssl == nullptr) return nullptr;
  if (fd < 0 || setTlsSessionSocket(ssl, fd) != 1) {
    printTlsErrors();
    SSL_free(ssl);
    return nullptr;
  }
  setNonBlockingFd(fd, 1);
  session = ssl;
  const int64_t deadline = deadlineAfter(timeoutCs);
  bool done = false;
  for (;;) {
    ERR_clear_error();
    lastResult = SSL_connect(ssl);
    if (lastResult == 1) {
      done = true;
      break;
    }
    const int sslError = SSL_get_error(ssl, lastResult);
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
      printTlsErrors();
      break;
    }
    if (waitForSession(sslError, deadline) != 1) break;
  }
  if (done && verify) {
    lastResult = static_cast<int32_t>(SSL_get_verify_result(ssl));
    done = lastResult == X509_V_OK;
  }
  if (!done) {
    ERR_clear_error();
    session = nullptr;
    SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

int TlsConnection::waitForSession(int sslError, int64_t deadlineCs) {
  for (;;) {
    int64_t left = -1;
    if (deadlineCs >= 0) {
      left = deadlineCs - uptimeCs();
      if (left <= 0) return 0;
    }
    int error = 1;  // left untouched when a parameter change ends the wait
    const int ready = sslError == SSL_ERROR_WANT_WRITE ? wait4write(left, &error, 1) : wait4read(left, &error, 1);
    if (ready) return 1;
    if (error == 1) continue;
    if (error == CONN_TIMEOUT) return 0;
    return -1;
  }
}

void TlsConnection::peekRecordHeader() {
  if (recordHeader[0] == kApplicationData) return;
  uint8_t peeked[sizeof recordHeader];
  const ssize_t n = ::recv(fd, peeked, sizeof peeked, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) std::memcpy(recordHeader, peeked, static_cast<size_t>(n));
}

const char* TlsConnection::protocolName() const {
  if (recordHeader[0] != kApplicationData) return "";
  if (recordHeader[1] == 2) return "SSLv2";
  if (recordHeader[1] != 3) return "";
  switch (recordHeader[2]) {
    case 0:
      return "SSLv3";
    case 1:
      return "TLSv1.0";
    case 2:
      return "TLSv1.1";
    case 3:
      return "TLSv1.2";
    default:
      return "";
  }
}

int describeTlsSession(TlsConnection* connection, char* buffer, int size) {
  if (connection == nullptr || connection->session == nullptr || buffer == nullptr || size <= 0) return 0;
  const SSL_CIPHER* cipher = SSL_get_current_cipher(connection->session);
  if (cipher == nullptr) return 0;
  int used = std::snprintf(buffer, static_cast<size_t>(size), "%s ", connection->protocolName());
  if (used < 0) used = 0;
  if (used > size - 1) used = size - 1;
  if (size - used >= kCipherDescriptionRoom) SSL_CIPHER_description(cipher, buffer + used, size - used);
  return 1;
}

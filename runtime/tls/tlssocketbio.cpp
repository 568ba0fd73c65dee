#include "runtime/tls/tlssocketbio.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include <openssl/bio.h>
#include <openssl/ssl.h>

namespace {

int fdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int socketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  errno = 0;
  const int count = static_cast<int>(::send(fdOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL));
  if (count <= 0 && BIO_sock_should_retry(count)) BIO_set_retry_write(bio);
  return count;
}

int socketRead(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  if (out == nullptr || size <= 0) return 0;
  errno = 0;
  const int count = static_cast<int>(::recv(fdOf(bio), out, static_cast<size_t>(size), 0));
  if (count <= 0) {
    if (BIO_sock_should_retry(count)) BIO_set_retry_read(bio);
    else if (count == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  }
  return count;
}

int socketPuts(BIO* bio, const char* text) {
  int length = 0;
  while (text[length] != '\0') ++length;
  return socketWrite(bio, text, length);
}

long socketCtrl(BIO* bio, int command, long number, void* pointer) {
  switch (command) {
    case BIO_C_SET_FD:
      BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(pointer))));
      BIO_set_shutdown(bio, static_cast<int>(number));
      BIO_set_init(bio, 1);
      return 1;
    case BIO_C_GET_FD:
      if (!BIO_get_init(bio)) return -1;
      if (pointer != nullptr) *static_cast<int*>(pointer) = fdOf(bio);
      return fdOf(bio);
    case BIO_CTRL_GET_CLOSE:
      return BIO_get_shutdown(bio);
    case BIO_CTRL_SET_CLOSE:
      BIO_set_shutdown(bio, static_cast<int>(number));
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    case BIO_CTRL_DUP:
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

int socketCreate(BIO* bio) {
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
  BIO_set_init(bio, 0);
  return 1;
}

int socketDestroy(BIO* bio) {
  if (bio == nullptr) return 0;
  if (BIO_get_shutdown(bio) && BIO_get_init(bio) && fdOf(bio) >= 0) ::close(fdOf(bio));
  BIO_set_init(bio, 0);
  return 1;
}

BIO_METHOD* makeMethod() {
  // A descriptor type: SSL_get_fd finds the socket through it.
  BIO_METHOD* method =
      BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
  if (method == nullptr) return nullptr;
  BIO_meth_set_write(method, socketWrite);
  BIO_meth_set_read(method, socketRead);
  BIO_meth_set_puts(method, socketPuts);
  BIO_meth_set_ctrl(method, socketCtrl);
  BIO_meth_set_create(method, socketCreate);
  BIO_meth_set_destroy(method, socketDestroy);
  return method;
}

}  // namespace

int setTlsSessionSocket(ssl_st* session, int fd) {
  static BIO_METHOD* const method = makeMethod();
  if (session == nullptr || method == nullptr || fd < 0) return 0;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return 0;
  BIO_set_fd(bio, fd, BIO_NOCLOSE);
  SSL_set_bio(session, bio, bio);  // one reference, for both directions
  return 1;
}

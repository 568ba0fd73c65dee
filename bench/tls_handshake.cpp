// Server handshakes per second with a fresh context per handshake (the
// design: every connection reads the current settings and certificate files)
// against one context reused for every handshake, same run.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "runtime/paths.h"
#include "runtime/tlscontext.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHandshakes = 300;

std::string makeRoot() {
  char pattern[] = "/tmp/tlsbench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "";
  const std::string root = pattern;
  std::filesystem::create_directories(root + "/flash");
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=bench -keyout " + root +
                              "/flash/cert_pkey.pem -out " + root + "/flash/cert_srv.pem >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  setDataRoot(root.c_str());
  return root;
}

// One full handshake over a socket pair; the server session comes from
// makeServer. The client side is the same in both runs.
bool handshake(SSL_CTX* clientCtx, SSL* server) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 || server == nullptr) return false;
  SSL* client = SSL_new(clientCtx);
  SSL_set_fd(server, fds[0]);
  SSL_set_fd(client, fds[1]);
  int accepted = 0;
  std::thread t([&] { accepted = SSL_accept(server); });
  const int connected = SSL_connect(client);
  t.join();
  SSL_free(client);
  SSL_free(server);
  close(fds[0]);
  close(fds[1]);
  return accepted == 1 && connected == 1;
}

template <class MakeServer>
double perSecond(SSL_CTX* clientCtx, MakeServer makeServer) {
  const auto start = Clock::now();
  int done = 0;
  for (int i = 0; i < kHandshakes; ++i) done += handshake(clientCtx, makeServer());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return done == kHandshakes ? done / seconds : 0;
}

}  // namespace

int main() {
  const std::string root = makeRoot();
  if (root.empty()) {
    std::fprintf(stderr, "cannot make a key pair\n");
    return 1;
  }
  std::freopen("/dev/null", "w", stderr);  // the engine lookup reports on every context
  SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
  SSL_CTX* reused = createTlsContext(1);
  const double warm = perSecond(clientCtx, [] { return createTlsSession(1); });
  (void)warm;
  const double fresh = perSecond(clientCtx, [] { return createTlsSession(1); });
  const double shared = perSecond(clientCtx, [reused] { return SSL_new(reused); });
  SSL_CTX_free(reused);
  SSL_CTX_free(clientCtx);
  std::filesystem::remove_all(root);
  std::printf("%d handshakes each (TLS 1.3, RSA 2048)\n", kHandshakes);
  std::printf("fresh context %8.1f/s   reused context %8.1f/s   ratio %.2f\n", fresh, shared,
              shared > 0 ? fresh / shared : 0.0);
  return 0;
}

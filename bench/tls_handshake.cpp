// Server handshakes per second of the program's own path (createTlsSession:
// the kept context, checked against the settings and the pair files at every
// handshake) and of a fresh context per handshake, each against one context
// reused blindly for every handshake, same run.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "runtime/file/paths.h"
#include "runtime/tls/tlscontext.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHandshakes = 100;
constexpr int kRounds = 5;

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

// Microseconds per session made and freed (best of 5 runs of 2000).
template <class MakeSession>
double setupMicroseconds(MakeSession makeSession) {
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i) SSL_free(makeSession());
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / 2000;
    if (run == 0 || us < best) best = us;
  }
  return best;
}

// A session of a context built for it alone: what every handshake cost
// before contexts were kept.
SSL* newSessionOfFreshContext() {
  SSL_CTX* ctx = createTlsContext(1);
  if (ctx == nullptr) return nullptr;
  SSL* ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);
  return ssl;
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
  // Rounds taken in turn, the best of each kind kept: the machine's other
  // load then weighs on every kind alike.
  double program = 0, fresh = 0, shared = 0;
  perSecond(clientCtx, [] { return createTlsSession(1); });  // warm-up
  for (int round = 0; round < kRounds; ++round) {
    program = std::max(program, perSecond(clientCtx, [] { return createTlsSession(1); }));
    fresh = std::max(fresh, perSecond(clientCtx, [] { return newSessionOfFreshContext(); }));
    shared = std::max(shared, perSecond(clientCtx, [reused] { return SSL_new(reused); }));
  }
  // The set-up alone, without the handshake: what the check of the settings
  // and the pair files adds to taking a session of a reused context.
  const double keptUs = setupMicroseconds([] { return createTlsSession(1); });
  const double reusedUs = setupMicroseconds([reused] { return SSL_new(reused); });
  SSL_CTX_free(reused);
  SSL_CTX_free(clientCtx);
  std::filesystem::remove_all(root);
  std::printf("best of %d rounds of %d handshakes (TLS 1.3, RSA 2048)\n", kRounds, kHandshakes);
  std::printf("reused context  %8.1f/s (baseline)\n", shared);
  std::printf("program (kept) %8.1f/s   ratio %.2f\n", program, shared > 0 ? program / shared : 0.0);
  std::printf("fresh context  %8.1f/s   ratio %.2f\n", fresh, shared > 0 ? fresh / shared : 0.0);
  std::printf("session set-up alone: kept %.1f us, reused %.1f us\n", keptUs, reusedUs);
  return 0;
}

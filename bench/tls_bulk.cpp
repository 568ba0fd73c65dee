// Bulk transfer through TlsConnection against plain OpenSSL SSL_write /
// SSL_read over the same kind of socket with the same cipher, same run.
// Prints MB/s of each and the ratio (TlsConnection / plain; goal >= 0.9).
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/file/paths.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlshandshake.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 16384;
constexpr size_t kTotal = size_t(256) << 20;
constexpr int kRounds = 3;

// A data root holding the device's own pair; "" on failure.
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

std::unique_ptr<TlsConnection> end(int fd) {
  auto c = std::make_unique<TlsConnection>(nullptr, nullptr, -1);
  c->fd = fd;
  c->state = CONN_STATE_CONNECTED;
  return c;
}

double throughput(size_t bytes, double seconds) { return bytes / seconds / 1e6; }

// TlsConnection::write against TlsConnection::read; MB/s, cipher name.
double connectionRun(std::string* cipher) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  auto server = end(fds[0]);
  auto client = end(fds[1]);
  TlsConnection* s = server.get();
  std::thread hs([s] { s->session = tlsServerHandshake(s); });
  client->clientHandshake(0, 1000);
  hs.join();
  if (server->session == nullptr || client->session == nullptr) return 0;
  *cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(server->session));
  const std::string chunk(kChunk, 'x');
  const auto start = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kTotal; sent += kChunk) client->write(chunk.data(), kChunk, 500, 0);
  });
  ByteBuffer buffer;
  buffer.reserve(kChunk + 1024);
  size_t got = 0;
  while (got < kTotal) {
    const int n = server->read(buffer, 500, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  writer.join();
  return throughput(got, std::chrono::duration<double>(Clock::now() - start).count());
}

// The same transfer with bare SSL objects on blocking sockets.
double plainRun(std::string* cipher) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  SSL* server = createTlsSession(1);
  SSL* client = createTlsSession(0);
  if (server == nullptr || client == nullptr) return 0;
  SSL_set_fd(server, fds[0]);
  SSL_set_fd(client, fds[1]);
  std::thread hs([server] { SSL_accept(server); });
  SSL_connect(client);
  hs.join();
  *cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(server));
  const std::string chunk(kChunk, 'x');
  const auto start = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kTotal;) {
      const int n = SSL_write(client, chunk.data(), kChunk);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  });
  std::vector<char> buffer(kChunk + 1024);
  size_t got = 0;
  while (got < kTotal) {
    const int n = SSL_read(server, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  writer.join();
  const double mbs = throughput(got, std::chrono::duration<double>(Clock::now() - start).count());
  SSL_free(server);
  SSL_free(client);
  close(fds[0]);
  close(fds[1]);
  return mbs;
}

}  // namespace

int main() {
  const std::string root = makeRoot();
  if (root.empty()) {
    std::fprintf(stderr, "cannot make a key pair\n");
    return 1;
  }
  std::freopen("/dev/null", "w", stderr);  // the engine lookup reports on every context
  double best = 0, baseline = 0;
  std::string cipher, plainCipher;
  for (int round = 0; round < kRounds; ++round) {
    baseline = std::max(baseline, plainRun(&plainCipher));
    best = std::max(best, connectionRun(&cipher));
  }
  std::filesystem::remove_all(root);
  std::printf("cipher %s (plain %s), %zu MB per run, best of %d\n", cipher.c_str(), plainCipher.c_str(), kTotal >> 20,
              kRounds);
  std::printf("TlsConnection %8.1f MB/s   plain SSL_read/SSL_write %8.1f MB/s   ratio %.2f\n", best, baseline,
              baseline > 0 ? best / baseline : 0.0);
  return 0;
}

// Bulk IN through the USB server on loopback: 256 MiB from the simulated
// loopback device in 65536-byte transfers, the client keeping 1 and then 4
// transfers queued, and in 1 MiB transfers one at a time (the server keeps
// several of a transfer's chunks in flight), over plain TCP and over TLS. Baseline, measured in the
// same run: a plain TCP stream (and a TLS stream of plain OpenSSL with the
// cipher the server chose) of the same bytes, replies' headers included.
//
// The loopback device sends back what it was sent and holds at most 4 MiB,
// so the client fills it with 4 MiB of bulk OUT between the timed IN phases.
// The server's CPU time (the whole server process: connection task and
// simulated device) is shown per MiB that went through it, OUT included.
#include <algorithm>
#include <thread>

#include "bench/usb_bench_support.h"

using namespace usbbench;

namespace {

enum Kind { kEnd = 0, kServer = 1, kStream = 2 };

constexpr uint32_t kChunk = 65536;
constexpr int kPhaseTransfers = 64;  // 4 MiB, what the device holds
constexpr int kPhases = 64;          // 256 MiB in all
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kInMiB = static_cast<double>(kChunk) * kPhaseTransfers * kPhases / kMiB;

// One IN phase: what the device holds, in transfers of c.count bytes (a
// multiple of kChunk), queued at a time.
bool inPhase(Client& client, const Command& c, std::vector<uint8_t>& data) {
  const uint32_t length = static_cast<uint32_t>(c.count);
  const int transfers = static_cast<int>(kChunk * kPhaseTransfers / length);
  int submitted = 0;
  int finished = 0;
  auto submit = [&] {
    const std::vector<uint8_t> r = submitRequest(0x1000 + submitted, c.row, c.usbPort, 0x81, 3, length, 0);
    ++submitted;
    return client.send(r.data(), r.size());
  };
  while (submitted < c.queued && submitted < transfers)
    if (!submit()) return false;
  while (finished < transfers) {
    UsbReplyHeader h;
    if (!client.reply(h, data) || h.status != USB_STATUS_OK || h.dataLength != kChunk) return false;
    if (h.opcode != (USB_REPLY_BIT | USB_OP_SUBMIT_URB)) continue;  // a chunk of a longer transfer
    ++finished;
    if (submitted < transfers && !submit()) return false;
  }
  return true;
}

bool outPhase(Client& client, const Command& c, const std::vector<uint8_t>& chunk) {
  for (int i = 0; i < kPhaseTransfers; ++i) {
    const std::vector<uint8_t> r = submitRequest(0x2000 + i, c.row, c.usbPort, 0x01, 3, 0, kChunk);
    if (!client.send(r.data(), r.size()) || !client.send(chunk.data(), chunk.size())) return false;
  }
  std::vector<uint8_t> none;
  for (int i = 0; i < kPhaseTransfers; ++i) {
    UsbReplyHeader h;
    if (!client.reply(h, none) || h.status != USB_STATUS_OK) return false;
  }
  return true;
}

// In the client process.
Answer runClient(const Command& c) {
  Answer a;
  Client client;
  if (!client.open(c.port, c.tls != 0)) return a;
  std::snprintf(a.text, sizeof a.text, "%s", client.session().c_str());
  std::vector<uint8_t> data(kChunk + USB_REPLY_HEADER_SIZE);
  if (c.kind == kStream) {
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < static_cast<long>(kPhaseTransfers) * kPhases; ++i)
      if (!client.read(data.data(), data.size())) return a;
    a.seconds = secondsSince(start);
    a.ok = 1;
    return a;
  }
  if (!takeDevice(client, c.row, c.usbPort)) return a;
  std::vector<uint8_t> chunk(kChunk);
  for (uint32_t i = 0; i < kChunk; ++i) chunk[i] = static_cast<uint8_t>(i * 13);
  double inSeconds = 0;
  for (int phase = 0; phase < kPhases; ++phase) {
    if (!outPhase(client, c, chunk)) return a;
    const Clock::time_point start = Clock::now();
    if (!inPhase(client, c, data)) return a;
    inSeconds += secondsSince(start);
  }
  a.seconds = inSeconds;
  a.ok = 1;
  return a;
}

// The baseline's sending side: the same bytes as the server's completions
// (a 24-byte header and 65536 bytes each), plain or through OpenSSL with the
// protocol and cipher given as "<protocol> <cipher>".
class StreamServer {
 public:
  StreamServer(const BenchServer& server, const std::string& session) {
    listener_ = listenOnLoopback(&port_);
    if (!session.empty() && !setUpTls(server, session)) failed_ = true;
    thread_ = std::thread([this] { serve(); });
  }
  ~StreamServer() {
    finish();
    ::close(listener_);
    if (ctx_) SSL_CTX_free(ctx_);
  }
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  bool failed() const { return failed_; }
  double cpuSeconds() const { return cpu_; }

 private:
  bool setUpTls(const BenchServer& server, const std::string& session) {
    const std::string protocol = session.substr(0, session.find(' '));
    const std::string cipher = session.substr(session.find(' ') + 1);
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_file(ctx_, server.certificate().c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, server.key().c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    if (protocol == "TLSv1.3") {
      SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
      return SSL_CTX_set_ciphersuites(ctx_, cipher.c_str()) == 1;
    }
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    return SSL_CTX_set_cipher_list(ctx_, cipher.c_str()) == 1;
  }

  void serve() {
    const int fd = acceptOne(listener_);
    if (fd < 0) return;
    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    SSL* ssl = nullptr;
    if (ctx_) {
      ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) failed_ = true;
    }
    std::vector<uint8_t> message(kChunk + USB_REPLY_HEADER_SIZE, 0x5A);
    for (long i = 0; !failed_ && i < static_cast<long>(kPhaseTransfers) * kPhases; ++i) {
      if (ssl) {
        if (SSL_write(ssl, message.data(), static_cast<int>(message.size())) != static_cast<int>(message.size()))
          failed_ = true;
      } else if (!writeAll(fd, message.data(), message.size())) {
        failed_ = true;
      }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    cpu_ = static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  SSL_CTX* ctx_ = nullptr;
  bool failed_ = false;
  double cpu_ = 0;
  std::thread thread_;
};

struct Result {
  double mibPerSecond = 0;
  double cpuMsPerMiB = 0;
  std::string session;
};

Result runServer(ClientProcess& client, const BenchServer& server, bool tls, int queued, uint32_t length) {
  Command c;
  c.count = length;
  c.kind = kServer;
  c.port = tls ? server.tlsPort : server.plainPort;
  c.tls = tls ? 1 : 0;
  c.row = server.row;
  c.usbPort = server.usbPort;
  c.queued = queued;
  const double cpu = processCpuSeconds();
  const Answer a = client.run(c);
  Result r;
  if (!a.ok || a.seconds <= 0) return r;
  r.mibPerSecond = kInMiB / a.seconds;
  r.cpuMsPerMiB = (processCpuSeconds() - cpu) * 1000.0 / (2 * kInMiB);  // IN and OUT
  r.session = a.text;
  return r;
}

Result runStream(ClientProcess& client, const BenchServer& server, const std::string& session) {
  StreamServer stream(server, session);
  Command c;
  c.kind = kStream;
  c.port = stream.port();
  c.tls = session.empty() ? 0 : 1;
  const Answer a = client.run(c);
  stream.finish();
  Result r;
  if (stream.failed() || !a.ok || a.seconds <= 0) return r;
  r.mibPerSecond = kInMiB / a.seconds;
  r.cpuMsPerMiB = stream.cpuSeconds() * 1000.0 / kInMiB;
  r.session = a.text;
  return r;
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  ClientProcess client(runClient);  // before any thread exists
  if (!client.started()) return 1;
  BenchServer server;
  if (!server.start()) {
    std::fprintf(stderr, "usb_bulk: the server did not start\n");
    return 1;
  }
  std::printf("usb_bulk: %.0f MiB bulk IN in %u-byte transfers from the simulated loopback device, client in its "
              "own process\n",
              kInMiB, kChunk);
  bool ok = true;
  for (int tls = 0; tls < 2; ++tls) {
    Result base[2];
    Result usb[3];
    const int queued[3] = {1, 4, 1};
    const uint32_t length[3] = {kChunk, kChunk, 16 * kChunk};
    // The server's run first: it tells the cipher the baseline uses.
    usb[0] = runServer(client, server, tls != 0, queued[0], length[0]);
    base[0] = runStream(client, server, tls ? usb[0].session : std::string());
    usb[1] = runServer(client, server, tls != 0, queued[1], length[1]);
    base[1] = runStream(client, server, tls ? usb[0].session : std::string());
    usb[2] = runServer(client, server, tls != 0, queued[2], length[2]);
    const double baseline = (base[0].mibPerSecond + base[1].mibPerSecond) / 2;
    std::printf("  %s%s\n", tls ? "TLS: " : "plain TCP", tls ? usb[0].session.c_str() : "");
    std::printf("    stream baseline                 %8.1f MiB/s                sender CPU %.2f ms/MiB\n", baseline,
                (base[0].cpuMsPerMiB + base[1].cpuMsPerMiB) / 2);
    for (int i = 0; i < 3; ++i) {
      std::printf("    server, %d %s transfer%s queued %8.1f MiB/s   ratio %.2f   server CPU %.2f ms/MiB\n", queued[i],
                  length[i] > kChunk ? "1 MiB " : "64 KiB", queued[i] > 1 ? "s" : " ", usb[i].mibPerSecond,
                  baseline > 0 ? usb[i].mibPerSecond / baseline : 0.0, usb[i].cpuMsPerMiB);
      ok = ok && usb[i].mibPerSecond > 0 && (i == 2 || base[i].mibPerSecond > 0);
    }
  }
  server.stop();
  return ok ? 0 : 2;
}

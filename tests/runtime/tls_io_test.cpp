// Reads and writes of TLS connections: data through sessions, closes, time-
// outs of stalled peers, errors decided by the TLS library, descriptors
// beyond the select limit, and the plain path.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/support/tls_support.h"
#include "runtime/task/uptime.h"
#include "runtime/task_test_util.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlshandshake.h"

using namespace tlstest;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads until want bytes have arrived (or a failure); what was read.
std::string readAll(TlsConnection& c, size_t want, int fresh = 1) {
  std::string got;
  ByteBuffer buffer;
  while (got.size() < want) {
    const int n = c.read(buffer, 500, fresh);
    if (n <= 0) break;
    got.append(buffer.base, static_cast<size_t>(n));
  }
  return got;
}

// A TLS client driven by hand: it reads the socket directly but its output
// is collected in memory, so the test decides which bytes reach the peer.
class ManualClient {
 public:
  explicit ManualClient(int fd) : fd_(fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, BIO_new_socket(fd, BIO_NOCLOSE), out_);
    SSL_set_connect_state(ssl_);
  }
  ~ManualClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  bool handshake() {
    for (int i = 0; i < 200; ++i) {
      const int r = SSL_do_handshake(ssl_);
      flush(SIZE_MAX);
      if (r == 1) return true;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return false;
      pollfd p = {fd_, POLLIN, 0};
      poll(&p, 1, 50);
    }
    return false;
  }
  // Encrypts text into the pending output.
  void seal(const std::string& text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }
  size_t pending() const { return BIO_ctrl_pending(out_); }
  // Sends up to n bytes of the pending output.
  void flush(size_t n) {
    char chunk[4096];
    while (n > 0 && BIO_ctrl_pending(out_) > 0) {
      const int got = BIO_read(out_, chunk, static_cast<int>(std::min(n, sizeof chunk)));
      if (got <= 0) break;
      for (int done = 0; done < got;) {
        const ssize_t w = ::write(fd_, chunk + done, static_cast<size_t>(got - done));
        if (w > 0) {
          done += static_cast<int>(w);
        } else {
          pollfd p = {fd_, POLLOUT, 0};
          if (poll(&p, 1, 1000) <= 0) return;
        }
      }
      n -= static_cast<size_t>(got);
    }
  }

 private:
  int fd_;
  SSL_CTX* ctx_;
  SSL* ssl_;
  BIO* out_;
};

class TlsIoTest : public TlsTestRoot {
 protected:
  void SetUp() override {
    TlsTestRoot::SetUp();
    testing::internal::CaptureStderr();  // the engine lookup reports on every context
  }
  void TearDown() override {
    testing::internal::GetCapturedStderr();
    TlsTestRoot::TearDown();
  }
};

// A server connection whose peer is a ManualClient; false on failure.
bool manualSession(std::unique_ptr<TlsConnection>& server, std::unique_ptr<ManualClient>& client, int& clientFd) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  server = std::make_unique<TlsConnection>(nullptr, nullptr, -1);
  server->fd = fds[0];
  server->state = CONN_STATE_CONNECTED;
  clientFd = fds[1];
  client = std::make_unique<ManualClient>(fds[1]);
  TlsConnection* s = server.get();
  std::thread handshake([s] { s->session = tlsServerHandshake(s); });
  const bool done = client->handshake();
  handshake.join();
  return done && server->session != nullptr;
}

TEST_F(TlsIoTest, CloseShutsTheSessionAndClosesTheDescriptorOnce) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  const int oldFd = server->fd;
  EXPECT_EQ(server->close(), 1);
  EXPECT_EQ(server->fd, -1);
  EXPECT_EQ(server->state, CONN_STATE_OPEN);
  EXPECT_EQ(server->session, nullptr);
  // The number is free again and goes to the next file opened.
  int reuse[2];
  ASSERT_EQ(pipe(reuse), 0);
  ASSERT_TRUE(reuse[0] == oldFd || reuse[1] == oldFd);
  server.reset();  // must not close the pipe's end
  EXPECT_NE(fcntl(reuse[0], F_GETFD), -1);
  EXPECT_NE(fcntl(reuse[1], F_GETFD), -1);
  ::close(reuse[0]);
  ::close(reuse[1]);
  // The peer sees a close.
  ByteBuffer buffer;
  EXPECT_EQ(client->read(buffer, 500, 1), CONN_CLOSED);
  EXPECT_EQ(client->close(), 1);
  EXPECT_EQ(client->close(), 0);  // nothing left to close
}

TEST_F(TlsIoTest, PeerCloseReadsAsClosed) {
  const struct {
    const char* how;
    bool notify;  // the peer sends a close notification first
  } cases[] = {{"abortive", false}, {"close notify", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    std::unique_ptr<TlsConnection> server, client;
    ASSERT_TRUE(makeSessionPair(server, client));
    if (c.notify) {
      SSL_shutdown(client->session);
    } else {
      client->close();
    }
    ByteBuffer buffer;
    EXPECT_EQ(server->read(buffer, 500, 1), CONN_CLOSED);
    EXPECT_EQ(buffer.data, nullptr);
  }
}

TEST_F(TlsIoTest, DataPassesThroughWriteWritevAndSendFile) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));

  // Client to server with write; the server reuses one buffer.
  const std::string upload = patternBytes(1 << 20, 1);
  std::thread writer([&] { EXPECT_EQ(client->write(upload.data(), static_cast<int>(upload.size()), 500, 0), 1 << 20); });
  ByteBuffer reused;
  ASSERT_EQ(reused.reserve(5000), 1);
  std::string got;
  while (got.size() < upload.size()) {
    const int n = server->read(reused, 500, 0);
    ASSERT_GT(n, 0);
    ASSERT_LE(n, 5000);
    got.append(reused.base, static_cast<size_t>(n));
  }
  writer.join();
  EXPECT_TRUE(got == upload);
  EXPECT_EQ(client->bytesWritten, 1 << 20);

  // Server to client with writev.
  std::string parts[3] = {patternBytes(10, 2), "", patternBytes(40000, 3)};
  iovec vector[3];
  for (int i = 0; i < 3; ++i) vector[i] = {&parts[i][0], parts[i].size()};
  std::thread vectored([&] { EXPECT_EQ(server->writev(vector, 3), 40010); });
  EXPECT_TRUE(readAll(*client, 40010) == parts[0] + parts[2]);
  vectored.join();

  // Files of an exact multiple of the copy buffer and of an odd size.
  for (size_t size : {size_t(3 * kTlsPendingReadMax), size_t(20001), size_t(0)}) {
    SCOPED_TRACE(size);
    const std::string content = patternBytes(size, static_cast<unsigned>(size));
    const std::string path = dir_ + "/file.bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    const int fd = ::open(path.c_str(), O_RDONLY);
    const int64_t before = server->bytesWritten;
    std::thread sender([&] { EXPECT_EQ(server->sendFile(fd), 1); });
    EXPECT_TRUE(readAll(*client, size) == content);
    sender.join();
    ::close(fd);
    EXPECT_EQ(server->bytesWritten - before, static_cast<int64_t>(size));
  }
  EXPECT_EQ(server->sendFile(-1), 0);
}

TEST_F(TlsIoTest, ReadSizesAndPendingBytes) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  const std::string record = patternBytes(16000, 4);
  ASSERT_EQ(client->write(record.data(), 16000, 500, 0), 16000);

  // Caller memory takes what fits; the rest stays pending in the session.
  char small[10];
  ASSERT_EQ(server->readInto(small, sizeof small, 500), 10);
  EXPECT_EQ(std::string(small, 10), record.substr(0, 10));
  ASSERT_GT(SSL_pending(server->session), kTlsPendingReadMax);
  ByteBuffer fresh;
  ASSERT_EQ(server->readFresh(fresh, 500), kTlsPendingReadMax);
  EXPECT_EQ(fresh.capacity, kTlsPendingReadMax);
  EXPECT_EQ(std::string(fresh.base, fresh.length), record.substr(10, kTlsPendingReadMax));

  // A buffer without memory is sized for what is there, not read as empty.
  ByteBuffer empty;
  const int n = server->read(empty, 500, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(empty.base, n), record.substr(10 + kTlsPendingReadMax, n));
}

TEST_F(TlsIoTest, ReadWithTimeoutZeroReturnsAtOnce) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  for (int fresh : {1, 0}) {
    ByteBuffer buffer;
    if (!fresh) buffer.reserve(100);
    const auto start = Clock::now();
    EXPECT_EQ(server->read(buffer, 0, fresh), 0);
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(buffer.length, 0);
  }
  EXPECT_STREQ(server->protocolName(), "");
}

// A peer that stops in the middle of a record holds no read past its time-
// out; the session stays usable and the record completes later.
TEST_F(TlsIoTest, PeerStoppingMidRecordDoesNotHoldTheRead) {
  for (int fresh : {1, 0}) {
    SCOPED_TRACE(fresh ? "fresh buffer" : "reused buffer");
    std::unique_ptr<TlsConnection> server;
    std::unique_ptr<ManualClient> client;
    int clientFd = -1;
    ASSERT_TRUE(manualSession(server, client, clientFd));
    client->seal("hello world");
    ASSERT_GT(client->pending(), 8u);
    client->flush(8);

    ByteBuffer buffer;
    buffer.reserve(64);
    auto start = Clock::now();
    EXPECT_EQ(server->read(buffer, 0, fresh), 0);  // a look finds nothing complete
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(server->ioStatus, CONN_IO_GOOD);

    buffer.reserve(64);
    start = Clock::now();
    EXPECT_EQ(server->read(buffer, 100, fresh), CONN_TIMEOUT);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 0.5);
    EXPECT_LT(waited, 15.0);
    EXPECT_EQ(server->ioStatus, CONN_IO_TIMED_OUT);

    buffer.reserve(64);
    std::thread rest([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      client->flush(SIZE_MAX);
    });
    ASSERT_EQ(server->read(buffer, 500, fresh), 11);
    EXPECT_EQ(std::string(buffer.base, 11), "hello world");
    rest.join();
  }
}

// Retries are decided by the TLS library, not by errno or stale errors: a
// damaged record fails at once, and errors left queued by other code do not
// break a read that has to wait.
TEST_F(TlsIoTest, ErrorsAreDecidedByTheTlsLibrary) {
  std::unique_ptr<TlsConnection> server;
  std::unique_ptr<ManualClient> client;
  int clientFd = -1;
  ASSERT_TRUE(manualSession(server, client, clientFd));

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    client->seal("late");
    client->flush(SIZE_MAX);
  });
  ERR_raise(ERR_LIB_SYS, EINVAL);
  errno = EAGAIN;
  ByteBuffer buffer;
  EXPECT_EQ(server->read(buffer, 1000, 1), 4);
  late.join();

  const char damaged[] = "\x17\x03\x03\x00\x20" "0123456789abcdef0123456789abcdef";
  ASSERT_EQ(::write(clientFd, damaged, sizeof damaged - 1), static_cast<ssize_t>(sizeof damaged - 1));
  errno = EAGAIN;
  const auto start = Clock::now();
  EXPECT_EQ(server->read(buffer, 1000, 1), CONN_BROKEN);
  EXPECT_LT(secondsSince(start), 5.0);
  EXPECT_EQ(server->ioStatus, CONN_IO_BROKEN);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsIoTest, WriteToAPeerThatTakesNothingEndsAtItsTimeout) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  const std::string lots = patternBytes(8 << 20, 5);
  const auto start = Clock::now();
  EXPECT_EQ(server->write(lots.data(), static_cast<int>(lots.size()), 100, 0), -1);
  EXPECT_LT(secondsSince(start), 15.0);
  EXPECT_EQ(server->ioStatus, CONN_IO_TIMED_OUT);
  EXPECT_GT(server->bytesWritten, 0);
  // The wait inside a record is bounded the same way.
  server->ioStatus = CONN_IO_GOOD;
  int result = 1;
  for (int i = 0; i < 200 && result > 0; ++i) result = server->sslWrite(lots.data(), 1 << 20, 100);
  EXPECT_EQ(result, CONN_TIMEOUT);
  EXPECT_EQ(server->ioStatus, CONN_IO_TIMED_OUT);
}

// A long-lived connection (a disk copy) passes 2 GiB written.
TEST_F(TlsIoTest, ByteCounterPassesTwoGibibytes) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  const int64_t start = (int64_t{1} << 31) - 3;
  client->bytesWritten = start;
  ASSERT_EQ(client->write("0123456789", 10, 100, 0), 10);
  EXPECT_EQ(client->bytesWritten, start + 10);
  EXPECT_TRUE(readAll(*server, 10) == "0123456789");
}

std::atomic<int> sigpipesSeen{0};
void countSigpipe(int) { sigpipesSeen.fetch_add(1); }

// Writing to a TLS peer that has gone fails without raising SIGPIPE, which
// the program logs line by line.
TEST_F(TlsIoTest, WritingToAGonePeerRaisesNoSignal) {
  struct sigaction counting {}, previous {};
  counting.sa_handler = countSigpipe;
  sigemptyset(&counting.sa_mask);
  sigaction(SIGPIPE, &counting, &previous);
  sigpipesSeen = 0;

  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  // The client's socket goes without a word; its number stays taken (by
  // /dev/null) until the session is freed.
  const int null = ::open("/dev/null", O_RDWR);
  ASSERT_GE(null, 0);
  ASSERT_GE(::dup2(null, client->fd), 0);
  ::close(null);
  const std::string data = patternBytes(4000, 9);
  int result = 1;
  for (int i = 0; i < 200 && result > 0; ++i) {
    result = server->write(data.data(), static_cast<int>(data.size()), 100, 0);
    if (result > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_LT(result, 0);
  EXPECT_EQ(sigpipesSeen.load(), 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

// The client handshake waits for the socket within its time-out instead of
// retrying at once.
TEST_F(TlsIoTest, ClientHandshakeWaitsWithinItsTimeout) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  TlsConnection client(nullptr, nullptr, -1);
  client.fd = fds[0];
  client.state = CONN_STATE_CONNECTED;
  rusage before, after;
  getrusage(RUSAGE_THREAD, &before);
  const auto start = Clock::now();
  EXPECT_EQ(client.clientHandshake(0, 100), nullptr);
  const double waited = secondsSince(start);
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_GE(waited, 0.5);
  EXPECT_LT(waited, 15.0);
  const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                     (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                     (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
  EXPECT_LT(cpu, waited / 2) << "the handshake spun";
  EXPECT_EQ(client.session, nullptr);
  EXPECT_NE(client.lastResult, 1);
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1);  // the caller closes the connection
  ::close(fds[1]);
}

TEST_F(TlsIoTest, DescriptorsAboveTheSelectLimitWork) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 1600) GTEST_SKIP() << "descriptor limit too low";
  if (limit.rlim_cur < 1600) {
    limit.rlim_cur = 1600;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client, 1500, 1501));
  ASSERT_EQ(server->fd, 1500);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(client->write("late", 4, 500, 0), 4);
  });
  ByteBuffer buffer;
  EXPECT_EQ(server->read(buffer, 1000, 1), 4);
  late.join();
  const std::string lots = patternBytes(1 << 20, 6);
  std::thread writer([&] { EXPECT_EQ(server->write(lots.data(), 1 << 20, 500, 0), 1 << 20); });
  EXPECT_TRUE(readAll(*client, lots.size()) == lots);
  writer.join();
}

// A parameter change reaching the owner ends a read wait with nothing read.
TEST_F(TlsIoTest, ParameterChangeEndsTheReadWait) {
  using namespace tasktest;
  for (int fresh : {1, 0}) {
    SCOPED_TRACE(fresh ? "fresh buffer" : "reused buffer");
    std::unique_ptr<TlsConnection> server, client;
    ASSERT_TRUE(makeSessionPair(server, client));
    TlsConnection* s = server.get();
    auto probe = std::make_shared<TaskProbe>();
    ProbeTask* task = startTask("TlsReader", probe, [s, fresh](ProbeTask& self) {
      s->owner = &self;
      ByteBuffer buffer;
      buffer.reserve(100);
      self.probe().report(s->read(buffer, -1, fresh));
      self.probe().report(buffer.data == nullptr);
    });
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(taskRunning(*probe));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(task->post(message(MSG_PARAMS_CHANGED)), 0);
    ASSERT_TRUE(taskEnded(*probe));
    EXPECT_EQ(probe->resultsCopy(), (std::vector<int>{0, 1}));
    server->owner = nullptr;
  }
}

TEST_F(TlsIoTest, ProtocolNameFromTheRecordHeader) {
  const struct {
    uint8_t type, major, minor;
    const char* name;
  } cases[] = {
      {23, 3, 3, "TLSv1.2"}, {23, 3, 2, "TLSv1.1"}, {23, 3, 1, "TLSv1.0"}, {23, 3, 0, "SSLv3"},
      {23, 2, 0, "SSLv2"},   {23, 3, 4, ""},        {23, 4, 0, ""},        {22, 3, 3, ""},
  };
  TlsConnection c(nullptr, nullptr, -1);
  for (const auto& k : cases) {
    c.recordHeader[0] = k.type;
    c.recordHeader[1] = k.major;
    c.recordHeader[2] = k.minor;
    EXPECT_STREQ(c.protocolName(), k.name) << int(k.type) << "." << int(k.major) << "." << int(k.minor);
  }
}

TEST_F(TlsIoTest, DescribeSession) {
  std::unique_ptr<TlsConnection> server, client;
  ASSERT_TRUE(makeSessionPair(server, client));
  ASSERT_EQ(client->write("x", 1, 500, 0), 1);
  ByteBuffer buffer;
  ASSERT_EQ(server->read(buffer, 500, 1), 1);
  const std::string cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(server->session));

  char text[200];
  ASSERT_EQ(describeTlsSession(server.get(), text, sizeof text), 1);
  EXPECT_EQ(std::string(text).rfind("TLSv1.2 " + cipher, 0), 0u) << text;
  // Too little room for the description: only the protocol.
  ASSERT_EQ(describeTlsSession(server.get(), text, 100), 1);
  EXPECT_STREQ(text, "TLSv1.2 ");
  ASSERT_EQ(describeTlsSession(server.get(), text, 4), 1);
  EXPECT_STREQ(text, "TLS");

  TlsConnection plain(nullptr, nullptr, -1);
  EXPECT_EQ(describeTlsSession(&plain, text, sizeof text), 0);
  EXPECT_EQ(describeTlsSession(nullptr, text, sizeof text), 0);
}

TEST_F(TlsIoTest, PlainReadsAndGracefulClose) {
  std::unique_ptr<TlsConnection> a, b;
  ASSERT_TRUE(makePlainPair(a, b));
  ASSERT_EQ(b->write("abc", 3, 100, 0), 3);
  ByteBuffer buffer;
  EXPECT_EQ(a->readPlain(buffer, 100), 3);
  EXPECT_EQ(std::string(buffer.base, 3), "abc");
  EXPECT_EQ(a->readPlain(buffer, 10), 0);  // the wait ran out

  // The peer says goodbye and closes: its bytes are kept.
  std::thread peer([&] {
    b->write("bye", 3, 100, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    b->close();
  });
  ByteBuffer kept;
  EXPECT_EQ(a->closeGracefully(5, &kept), 1);
  peer.join();
  EXPECT_EQ(std::string(kept.base, kept.length), "bye");

  // A peer that stays silent is given up after the time-out.
  ASSERT_TRUE(makePlainPair(a, b));
  const auto start = Clock::now();
  EXPECT_EQ(a->closeGracefully(1, nullptr), 0);
  EXPECT_GE(secondsSince(start), 0.5);
  EXPECT_LT(secondsSince(start), 15.0);
}

TEST_F(TlsIoTest, PlainWriteToAClosedPeerIsBroken) {
  std::unique_ptr<TlsConnection> a, b;
  ASSERT_TRUE(makePlainPair(a, b));
  b->close();
  EXPECT_EQ(a->write("x", 1, 100, 0), CONN_BROKEN);
  EXPECT_EQ(a->ioStatus, CONN_IO_BROKEN);
}

}  // namespace

// The TLS listener against `openssl s_client`: versions and ciphers of every
// `sslmethod` and `security` value, the certificate pair served, plain
// clients, idle clients and the client side of connect.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/support/tls_support.h"
#include "runtime/task/uptime.h"
#include "runtime/task_test_util.h"
#include "runtime/tls/tlscontext.h"
#include "runtime/tls/tlslistener.h"

using namespace tlstest;

namespace {

struct MethodCase {
  const char* method;
  std::vector<std::string> clientArgs;  // a client offering only this version
  const char* version;                  // SSL_get_version on the server
  const char* recordName;               // protocolName after reading
};

const MethodCase kMethods[] = {
    {"tls10", {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"}, "TLSv1", "TLSv1.0"},
    {"tls11", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, "TLSv1.1", "TLSv1.1"},
    {"tls12", {"-tls1_2"}, "TLSv1.2", "TLSv1.2"},
    // TLS 1.3 records carry the version 3.3.
    {"any", {}, "TLSv1.3", "TLSv1.2"},
};

// Reads until text has arrived (bounded); what was read.
std::string readUntil(TlsConnection& c, const std::string& text) {
  std::string got;
  ByteBuffer buffer;
  const int64_t end = uptimeCs() + 1000;
  while (got.find(text) == std::string::npos && uptimeCs() < end) {
    const int n = c.read(buffer, 100, 1);
    if (n > 0) got.append(buffer.base, static_cast<size_t>(n));
    if (n < 0 && n != CONN_TIMEOUT) break;
  }
  return got;
}

std::string servedSubject(TlsConnection& c) {
  X509* cert = SSL_get_certificate(c.session);
  if (cert == nullptr) return "";
  char name[256];
  X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
  return name;
}

class TlsListenerTest : public TlsTestRoot {
 protected:
  void SetUp() override {
    TlsTestRoot::SetUp();
    listener_ = openLoopbackListener(&lo_, &port_);
    ASSERT_NE(listener_, nullptr);
  }
  std::string outputFile() const { return dir_ + "/s_client.out"; }

  LoopbackInterface lo_;
  std::unique_ptr<TlsConnection> listener_;
  int port_ = 0;
};

class TlsMethodSecurityTest : public TlsListenerTest,
                              public testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(TlsMethodSecurityTest, ClientOfTheMethodGetsItsVersionAndAListedCipher) {
  const MethodCase& m = kMethods[std::get<0>(GetParam())];
  const int security = std::get<1>(GetParam());
  setSslMethod(m.method);
  setSecurity(security);
  std::set<std::string> allowed = opensslCiphers(tlsCipherList(security));
  if (allowed.empty()) allowed = opensslCiphers(kTlsFallbackCipherList);  // "LOW" on this library

  SClient client(port_, m.clientArgs, outputFile());
  testing::internal::CaptureStderr();
  auto conn = acceptWithin(*listener_, 1);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(conn, nullptr);
  ASSERT_NE(conn->session, nullptr);
  EXPECT_EQ(conn->state, CONN_STATE_CONNECTED);
  EXPECT_EQ(conn->port, port_);
  EXPECT_STREQ(SSL_get_version(conn->session), m.version);
  const std::string cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(conn->session));
  EXPECT_TRUE(allowed.count(cipher)) << cipher;
  EXPECT_STREQ(conn->protocolName(), "");

  EXPECT_EQ(conn->write("PING\n", 5, 500, 0), 5);
  EXPECT_EQ(conn->bytesWritten, 5);
  client.sendLine("PONG");
  EXPECT_NE(readUntil(*conn, "PONG").find("PONG"), std::string::npos);
  EXPECT_STREQ(conn->protocolName(), m.recordName);

  char description[256];
  ASSERT_EQ(describeTlsSession(conn.get(), description, sizeof description), 1);
  EXPECT_EQ(std::string(description).rfind(std::string(m.recordName) + " " + cipher, 0), 0u) << description;

  conn->close();
  const std::string output = client.finish();
  std::string clientVersion, clientCipher;
  ASSERT_TRUE(parseSClientSession(output, &clientVersion, &clientCipher)) << output;
  EXPECT_EQ(clientVersion, m.version);
  EXPECT_EQ(clientCipher, cipher);
  EXPECT_NE(output.find("PING"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllSettings, TlsMethodSecurityTest,
                         testing::Combine(testing::Range(0, 4), testing::Range(1, 5)),
                         [](const testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return std::string(kMethods[std::get<0>(info.param)].method) + "_security" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST_F(TlsListenerTest, ClientsOfOtherVersionsAreRefusedExceptUnderAny) {
  const struct {
    const char* method;
    std::vector<std::string> clientArgs;
    const char* version;  // null: the handshake fails
  } cases[] = {
      {"tls12", {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"}, nullptr},
      {"tls10", {"-tls1_2"}, nullptr},
      {"tls11", {"-tls1_3"}, nullptr},
      {"TLS12", {"-tls1_3"}, nullptr},
      {"any", {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"}, "TLSv1"},
      {"any", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, "TLSv1.1"},
      {"any", {"-tls1_2"}, "TLSv1.2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.clientArgs[0]);
    setSslMethod(c.method);
    SClient client(port_, c.clientArgs, outputFile());
    testing::internal::CaptureStderr();
    auto conn = acceptWithin(*listener_, 1);
    testing::internal::GetCapturedStderr();
    if (c.version == nullptr) {
      EXPECT_EQ(conn, nullptr);
    } else {
      ASSERT_NE(conn, nullptr);
      EXPECT_STREQ(SSL_get_version(conn->session), c.version);
    }
    conn.reset();
    client.finish();
  }
}

TEST_F(TlsListenerTest, OwnPairIsServedWhenTheImportedOneIsMissing) {
  const struct {
    bool imported;
    const char* subject;
  } cases[] = {{true, "/CN=imported"}, {false, "/CN=own"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subject);
    if (!c.imported) removePair(TLS_PAIR_IMPORTED);
    SClient client(port_, {}, outputFile());
    testing::internal::CaptureStderr();
    auto conn = acceptWithin(*listener_, 1);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(servedSubject(*conn), c.subject);
    conn.reset();
    const std::string output = client.finish();
    EXPECT_NE(output.find(std::string("CN = ") + (c.subject + 4)), std::string::npos) << output;
  }
}

TEST_F(TlsListenerTest, WithoutAnyPairTlsFailsAndPlainKeepsWorking) {
  removePair(TLS_PAIR_IMPORTED);
  removePair(TLS_PAIR_OWN);
  {
    SClient client(port_, {}, outputFile());
    testing::internal::CaptureStderr();
    EXPECT_EQ(acceptWithin(*listener_, 1), nullptr);
    testing::internal::GetCapturedStderr();
    client.finish();
  }
  // A plain client on the same listener.
  const int peer = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port_));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  auto conn = acceptWithin(*listener_, 0);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->session, nullptr);
  ASSERT_EQ(::write(peer, "plain", 5), 5);
  ByteBuffer buffer;
  ASSERT_EQ(conn->read(buffer, 500, 1), 5);
  EXPECT_EQ(std::string(buffer.base, 5), "plain");
  EXPECT_EQ(conn->write("back", 4, 500, 0), 4);
  char reply[8] = {};
  EXPECT_EQ(::read(peer, reply, sizeof reply), 4);
  EXPECT_STREQ(reply, "back");
  ::close(peer);
  EXPECT_EQ(conn->read(buffer, 500, 1), CONN_CLOSED);
}

// A client that connects and never speaks is dropped at the handshake limit;
// the accepting task serves its messages meanwhile and other tasks run on.
TEST_F(TlsListenerTest, IdleClientIsDroppedAtTheHandshakeLimit) {
  using namespace tasktest;
  TlsConnection* listener = listener_.get();
  std::atomic<int64_t> acceptedCs{-1};
  std::atomic<int> acceptResult{-1};
  auto acceptProbe = std::make_shared<TaskProbe>();
  const int64_t startCs = uptimeCs();
  ProbeTask* acceptor = startTask("TlsAccept", acceptProbe, [&](ProbeTask&) {
    listener->owner = currentTask();
    std::unique_ptr<TlsConnection> conn(listener->accept(1));
    acceptResult = conn != nullptr;
    acceptedCs = uptimeCs();
  });
  ASSERT_NE(acceptor, nullptr);
  auto otherProbe = std::make_shared<TaskProbe>();
  ProbeTask* other = startTask("Other", otherProbe);
  ASSERT_NE(other, nullptr);

  const int idle = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port_));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

  // Both tasks answer while the handshake waits.
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(acceptor->post(message(0x100)), 0);
    ASSERT_EQ(other->post(message(0x100)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(acceptProbe->waitUntil([](TaskProbe& p) { return p.handled.size() >= 3; }, std::chrono::seconds(10)));
  EXPECT_TRUE(otherProbe->waitUntil([](TaskProbe& p) { return p.handled.size() >= 3; }, std::chrono::seconds(10)));
  EXPECT_EQ(acceptedCs.load(), -1);

  // Move the program clock close to the limit instead of waiting 20 s.
  shiftUptimeForTesting(kTlsServerHandshakeCs - (uptimeCs() - startCs) - 100);
  EXPECT_TRUE(taskEnded(*acceptProbe, std::chrono::seconds(15)));
  EXPECT_EQ(acceptResult.load(), 0);
  EXPECT_GE(acceptedCs.load() - startCs, kTlsServerHandshakeCs);
  // The idle client's connection was closed.
  char byte;
  EXPECT_EQ(::recv(idle, &byte, 1, 0), 0);
  ::close(idle);
  other->post(message(MSG_QUIT));
  EXPECT_TRUE(taskEnded(*otherProbe));
}

TEST_F(TlsListenerTest, ConnectWithTlsTalksToTheListener) {
  std::unique_ptr<TlsConnection> served;
  std::thread server([&] { served = acceptWithin(*listener_, 1); });
  TlsConnection client(nullptr, &lo_, -1);
  ASSERT_EQ(client.open(AF_INET, SOCK_STREAM, 0), 1);
  parseIpAddress(client.peer, "127.0.0.1");
  client.peer.setPort(static_cast<uint16_t>(port_));
  testing::internal::CaptureStderr();
  const int connected = client.connect(500, 1);
  server.join();
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(connected, 1);
  ASSERT_NE(client.session, nullptr);
  EXPECT_EQ(client.lastResult, 1);
  ASSERT_NE(served, nullptr);

  const std::string request = patternBytes(100000, 7);
  std::thread writer([&] { EXPECT_EQ(client.write(request.data(), static_cast<int>(request.size()), 500, 0), 100000); });
  std::string got;
  ByteBuffer buffer;
  while (got.size() < request.size()) {
    const int n = served->read(buffer, 500, 0);
    ASSERT_GT(n, 0);
    got.append(buffer.base, static_cast<size_t>(n));
  }
  writer.join();
  EXPECT_EQ(got, request);
}

TEST_F(TlsListenerTest, ListenerRefusals) {
  EXPECT_EQ(openTcpListener(nullptr, 0, &lo_, 0), nullptr);
  EXPECT_EQ(openTcpListener(nullptr, -5, &lo_, 0), nullptr);
  EXPECT_EQ(openTcpListener(nullptr, port_ + 1, nullptr, 0), nullptr);
  // USB port 1 of 2 without its VLAN switched on; the management VLAN (index
  // above the port count) is off without settings.
  setPortVlan(2, 2, 12);
  EXPECT_EQ(openTcpListener(nullptr, port_ + 1, &lo_, 1), nullptr);
  EXPECT_EQ(openTcpListener(nullptr, port_ + 1, &lo_, 3), nullptr);
  // The port already taken by the fixture's listener.
  EXPECT_EQ(openTcpListener(nullptr, port_, &lo_, 0), nullptr);
}

TEST_F(TlsListenerTest, ListenerSocketSetUp) {
  EXPECT_EQ(listener_->state, CONN_STATE_LISTENING);
  EXPECT_EQ(listener_->vlan, -1);
  EXPECT_NE(fcntl(listener_->fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(listener_->session, nullptr);

  setTcpMaxseg(1200);
  int port = 0;
  auto withMaxseg = openLoopbackListener(&lo_, &port);
  ASSERT_NE(withMaxseg, nullptr);
  EXPECT_EQ(withMaxseg->get_maxseg(), 1200);
}

}  // namespace

#include "usbserver/support/usbserver_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/stringparam.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlsconnection.h"
#include "runtime/tls/tlscontext.h"
#include "support/test_port.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"

namespace {

std::once_flag pairOnce;
std::string pairDir;

void makePair() {
  char pattern[] = "/tmp/usbserver-pair-XXXXXX";
  if (!mkdtemp(pattern)) return;
  pairDir = pattern;
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=usbserver -keyout " +
                              pairDir + "/own.key -out " + pairDir + "/own.crt >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot make a certificate pair";
}

void copyInto(const std::string& from, const std::string& root, const char* fixedPath) {
  const std::string to = root + fixedPath;
  for (size_t pos = root.size() + 1; (pos = to.find('/', pos)) != std::string::npos; ++pos)
    ::mkdir(to.substr(0, pos).c_str(), 0755);
  std::FILE* in = std::fopen(from.c_str(), "rb");
  std::FILE* out = std::fopen(to.c_str(), "wb");
  ASSERT_TRUE(in && out) << from << " -> " << to;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) std::fwrite(buffer, 1, n, out);
  std::fclose(in);
  std::fclose(out);
}

void sleepMs(int ms) {
  const timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

}  // namespace

int LoopbackView::getAddress(IpAddress& out, const char*, int) {
  out.fromIp4Bytes(127, 0, 0, 1);
  return 1;
}

void setIntParam(const char* key, int32_t value) {
  IntParam* p = paramStore.findInt(key);
  ASSERT_NE(nullptr, p) << key;
  p->setValue(value);
}

int32_t intParamValue(const char* key) {
  IntParam* p = paramStore.findInt(key);
  return p ? p->value() : 0;
}

void setTextParam(const char* key, const char* value) {
  Param* p = paramStore.find(key);
  ASSERT_NE(nullptr, p) << key;
  p->set(value);
}

std::vector<uint8_t> be32(uint32_t v) {
  std::vector<uint8_t> out(4);
  putBe32(out.data(), v);
  return out;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (cond()) return true;
    sleepMs(10);
  }
  return cond();
}

// --- UsbTestClient ---------------------------------------------------------------

UsbTestClient::UsbTestClient() = default;

UsbTestClient::~UsbTestClient() { close(); }

bool UsbTestClient::connect(int port, bool tls) {
  socket_ = std::make_unique<TlsConnection>(nullptr, nullptr, -1);
  if (!socket_->open(AF_INET, SOCK_STREAM, 0)) return false;
  socket_->peer.fromIp4Bytes(127, 0, 0, 1);
  socket_->peer.setPort(static_cast<uint16_t>(port));
  return socket_->connect(500, tls ? 1 : 0) == 1;
}

void UsbTestClient::close() {
  if (socket_) socket_->close();
}

bool UsbTestClient::sendRaw(const void* data, size_t size) {
  return socket_ && socket_->write(data, static_cast<int>(size), 500, 0) == static_cast<int>(size);
}

bool UsbTestClient::send(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body, uint32_t context,
                         uint32_t payloadLength) {
  UsbRequestHeader h;
  h.context = context;
  h.opcode = opcode;
  h.tag = tag;
  h.payloadLength = payloadLength;
  std::vector<uint8_t> bytes(USB_REQUEST_HEADER_SIZE);
  encodeRequestHeader(h, bytes.data());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return sendRaw(bytes.data(), bytes.size());
}

bool UsbTestClient::readExact(void* out, int n, int timeoutMs) {
  auto* p = static_cast<uint8_t*>(out);
  int got = 0;
  while (got < n) {
    const int r = socket_->readInto(p + got, n - got, timeoutMs / 10);
    if (r <= 0) return false;
    got += r;
  }
  return true;
}

bool UsbTestClient::readReply(UsbReply& out, int timeoutMs) {
  uint8_t head[USB_REPLY_HEADER_SIZE];
  if (!readExact(head, sizeof head, timeoutMs)) return false;
  out.header = decodeReplyHeader(head);
  if (out.header.dataLength > (1u << 24)) return false;
  out.data.assign(out.header.dataLength, 0);
  return out.data.empty() || readExact(out.data.data(), static_cast<int>(out.data.size()), timeoutMs);
}

bool UsbTestClient::request(UsbReply& out, uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body,
                            uint32_t context, uint32_t payloadLength) {
  return send(opcode, tag, body, context, payloadLength) && readReply(out);
}

bool UsbTestClient::closedByServer(int timeoutMs) {
  uint8_t byte;
  const int r = socket_->readInto(&byte, 1, timeoutMs / 10);
  return r == CONN_CLOSED || r == CONN_BROKEN;
}

bool UsbTestClient::quietFor(int timeoutMs) {
  uint8_t byte;
  return socket_->readInto(&byte, 1, timeoutMs / 10) == CONN_TIMEOUT;
}

// --- UsbServerFixture -----------------------------------------------------------

void UsbServerFixture::SetUp() {
  signal(SIGPIPE, SIG_IGN);
  UsbTableFixture::SetUp();
  if (HasFatalFailure()) return;
  std::call_once(pairOnce, makePair);
  copyInto(pairDir + "/own.crt", root(), tlsCertificateFile(TLS_PAIR_OWN));
  copyInto(pairDir + "/own.key", root(), tlsPrivateKeyFile(TLS_PAIR_OWN));
  savedPort_ = intParamValue("zov_port");
  savedTlsPort_ = intParamValue("zov_sslport");
  savedHeartbeat_ = intParamValue("zov_heartbeat");
  plainPort_ = freeTestPort();
  do tlsPort_ = freeTestPort();
  while (tlsPort_ == plainPort_);
  setIntParam("zov_port", plainPort_);
  setIntParam("zov_sslport", tlsPort_);
}

void UsbServerFixture::TearDown() {
  stopServer();
  setIntParam("zov_port", savedPort_);
  setIntParam("zov_sslport", savedTlsPort_);
  setIntParam("zov_heartbeat", savedHeartbeat_);
  UsbTableFixture::TearDown();
}

void UsbServerFixture::startServer() {
  auto* task = new UsbSrvd(&lo_);
  listenerId_ = task->start(20480);
  ASSERT_GE(listenerId_, 0);
  const bool up = waitFor(
      [&] {
        // A reply proves the probe's connection task exists, so the wait
        // below sees it end.
        UsbTestClient probe;
        UsbReply reply;
        return probe.connect(plainPort_, false) && probe.request(reply, USB_OP_HELLO, 1);
      },
      5000);
  ASSERT_TRUE(up) << "the listener does not answer on " << plainPort_;
  ASSERT_TRUE(waitConnections(0));
}

void UsbServerFixture::stopServer() {
  for (auto& c : clients_) c->close();
  clients_.clear();
  EXPECT_TRUE(waitConnections(0, 10000)) << usbConnectionCount.load() << " connections left";
  if (listenerId_ >= 0) {
    postToTaskId(listenerId_, TaskMessage{0, MSG_QUIT, 0, 0});
    EXPECT_TRUE(waitFor([] { return usbListenerTasks.load() == 0; }, 10000));
    listenerId_ = -1;
    // A client that went before the listener took it was accepted late.
    EXPECT_TRUE(waitConnections(0, 10000));
  }
}

UsbTestClient& UsbServerFixture::client(bool tls) {
  clients_.push_back(std::make_unique<UsbTestClient>());
  UsbTestClient& c = *clients_.back();
  EXPECT_TRUE(c.connect(tls ? tlsPort_ : plainPort_, tls));
  return c;
}

UsbReply UsbServerFixture::connectDevice(UsbTestClient& c, int row, int port, const std::string& name) {
  std::vector<uint8_t> body(2 + USB_CLIENT_NAME_SIZE, 0);
  body[0] = static_cast<uint8_t>(row);
  body[1] = static_cast<uint8_t>(port);
  for (size_t i = 0; i < name.size() && i < USB_CLIENT_NAME_SIZE; ++i) body[2 + i] = static_cast<uint8_t>(name[i]);
  UsbReply reply;
  EXPECT_TRUE(c.request(reply, USB_OP_CONNECT, 0x4321, body));
  // The server takes the device just after its reply.
  if (reply.header.status == USB_STATUS_OK && isUsbRowIndexValid(row)) {
    EXPECT_TRUE(waitFor([row] { return usbDeviceTable[row].rowState() == UsbRowState::IN_USE; }, 2000));
  }
  return reply;
}

void UsbServerFixture::rescan() { rescanUsbDevices(); }

bool UsbServerFixture::waitConnections(int n, int timeoutMs) {
  return waitFor([n] { return usbConnectionCount.load() == n; }, timeoutMs);
}

// --- DirectUsbConnection ---------------------------------------------------------

DirectUsbConnection::DirectUsbConnection() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
  socket_ = std::make_unique<TlsConnection>(nullptr, nullptr, -1);
  socket_->fd = fds[0];
  socket_->type = SOCK_STREAM;
  socket_->state = CONN_STATE_CONNECTED;
  peer_ = fds[1];
  connection_ = std::make_unique<UsbConnection>(socket_.get(), nullptr);
}

DirectUsbConnection::~DirectUsbConnection() {
  connection_.reset();
  if (socket_) socket_->close();
  if (peer_ >= 0) ::close(peer_);
}

bool DirectUsbConnection::readReply(UsbReply& out) {
  uint8_t head[USB_REPLY_HEADER_SIZE];
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::recv(peer_, head + got, sizeof head - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  out.header = decodeReplyHeader(head);
  out.data.assign(out.header.dataLength, 0);
  got = 0;
  while (got < out.data.size()) {
    const ssize_t n = ::recv(peer_, out.data.data() + got, out.data.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Shared parts of the USB transfer benchmarks (header only: every .cpp of
// bench/ is a program of its own).
//
// A client process is forked before any thread exists, so it may use the
// C library and OpenSSL freely; it takes commands from the parent through a
// pipe and answers with what it measured. The parent runs the USB server
// (listener task, simulated host with a bulk loopback device behind a hub,
// a certificate pair for TLS) and the baseline servers.
#ifndef BENCH_USB_BENCH_SUPPORT_H
#define BENCH_USB_BENCH_SUPPORT_H

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/loopback_client.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "platform/simusb/usbhost_sim.h"
#include "runtime/file/paths.h"
#include "runtime/socket/interfaceview.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlscontext.h"
#include "tests/support/test_port.h"
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/protocol/wireprotocol.h"

namespace usbbench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds (user + system) of this process so far.
inline double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// ---- The client process ----------------------------------------------------

// A command and its answer, written whole through the pipes.
struct Command {
  int kind = 0;     // the program's own numbering; 0 ends the client
  int port = 0;
  int tls = 0;
  int row = 0;
  int usbPort = 0;
  long count = 0;
  int queued = 1;
};
struct Answer {
  int ok = 0;
  double seconds = 0;
  char text[96] = {};  // e.g. the TLS protocol and cipher
};

using ClientBody = Answer (*)(const Command&);

class ClientProcess {
 public:
  // Forks the client, which serves commands with body until told to end.
  explicit ClientProcess(ClientBody body) {
    int toChild[2], toParent[2];
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(toParent[0]);
      Command c;
      while (::read(toChild[0], &c, sizeof c) == static_cast<ssize_t>(sizeof c) && c.kind != 0) {
        const Answer a = body(c);
        if (::write(toParent[1], &a, sizeof a) != static_cast<ssize_t>(sizeof a)) break;
      }
      ::_exit(0);
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    commands_ = toChild[1];
    answers_ = toParent[0];
  }
  ~ClientProcess() {
    Command end;
    if (commands_ >= 0) (void)!::write(commands_, &end, sizeof end);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    if (commands_ >= 0) ::close(commands_);
    if (answers_ >= 0) ::close(answers_);
  }
  bool started() const { return pid_ > 0; }
  Answer run(const Command& c) {
    Answer a;
    if (::write(commands_, &c, sizeof c) != static_cast<ssize_t>(sizeof c)) return a;
    if (::read(answers_, &a, sizeof a) != static_cast<ssize_t>(sizeof a)) a.ok = 0;
    return a;
  }

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
  int answers_ = -1;
};

// A blocking client over plain TCP or TLS (no certificate check).
class Client {
 public:
  ~Client() { close(); }
  bool open(int port, bool tls) {
    fd_ = connectLoopback(port);
    if (fd_ < 0) return false;
    if (!tls) return true;
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = ctx_ ? SSL_new(ctx_) : nullptr;
    return ssl_ && SSL_set_fd(ssl_, fd_) == 1 && SSL_connect(ssl_) == 1;
  }
  void close() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    fd_ = -1;
  }
  int fd() const { return fd_; }
  // "<protocol> <cipher>" of a TLS session, "" for plain.
  std::string session() const {
    return ssl_ ? std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_) : std::string();
  }
  bool send(const void* data, size_t n) {
    auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      const ssize_t r = ssl_ ? SSL_write(ssl_, p, static_cast<int>(n)) : ::send(fd_, p, n, MSG_NOSIGNAL);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  bool read(void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      const ssize_t r = ssl_ ? SSL_read(ssl_, p, static_cast<int>(n)) : ::recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  // One reply: its header, its data into data (resized).
  bool reply(UsbReplyHeader& h, std::vector<uint8_t>& data) {
    uint8_t head[USB_REPLY_HEADER_SIZE];
    if (!read(head, sizeof head)) return false;
    h = decodeReplyHeader(head);
    if (h.dataLength > (1u << 24)) return false;
    data.resize(h.dataLength);
    return h.dataLength == 0 || read(data.data(), h.dataLength);
  }
  bool request(uint32_t opcode, const std::vector<uint8_t>& body, UsbReplyHeader& h) {
    UsbRequestHeader r;
    r.opcode = opcode;
    r.tag = opcode;
    std::vector<uint8_t> bytes(USB_REQUEST_HEADER_SIZE);
    encodeRequestHeader(r, bytes.data());
    bytes.insert(bytes.end(), body.begin(), body.end());
    std::vector<uint8_t> data;
    return send(bytes.data(), bytes.size()) && reply(h, data);
  }

 private:
  int fd_ = -1;
  ssl_ctx_st* ctx_ = nullptr;
  ssl_st* ssl_ = nullptr;
};

// A SUBMIT_URB request: header and descriptor (the OUT data follows).
inline std::vector<uint8_t> submitRequest(uint32_t tag, int row, int port, uint8_t endpoint, uint8_t type,
                                          uint32_t inLength, uint32_t outLength) {
  std::vector<uint8_t> b(USB_REQUEST_HEADER_SIZE + USB_TRANSFER_DESCRIPTOR_SIZE);
  UsbRequestHeader h;
  h.context = 0x11;
  h.opcode = USB_OP_SUBMIT_URB;
  h.tag = tag;
  encodeRequestHeader(h, b.data());
  uint8_t* d = b.data() + USB_REQUEST_HEADER_SIZE;
  d[0] = static_cast<uint8_t>(row);
  d[1] = static_cast<uint8_t>(port);
  d[2] = endpoint;
  d[3] = type;
  putBe32(d + 4, inLength);
  putBe32(d + 8, outLength);
  return b;
}

// HELLO, CONNECT and SET_CONFIGURATION 1 of the device.
inline bool takeDevice(Client& c, int row, int port) {
  UsbReplyHeader h;
  std::vector<uint8_t> connect(2 + USB_CLIENT_NAME_SIZE, 0);
  connect[0] = static_cast<uint8_t>(row);
  connect[1] = static_cast<uint8_t>(port);
  return c.request(USB_OP_HELLO, {}, h) && h.status == USB_STATUS_OK && c.request(USB_OP_CONNECT, connect, h) &&
         h.status == USB_STATUS_OK &&
         c.request(USB_OP_SET_CONFIGURATION, {static_cast<uint8_t>(row), static_cast<uint8_t>(port), 1, 0}, h) &&
         h.status == USB_STATUS_OK;
}

// ---- The server side -----------------------------------------------------------

class Loopback : public InterfaceView {
 public:
  const char* name() const override { return "lo"; }
  int getAddress(IpAddress& out, const char*, int) override {
    out.fromIp4Bytes(127, 0, 0, 1);
    return 1;
  }
};

// The USB server on loopback with one simulated loopback device.
class BenchServer {
 public:
  // plugMore, when given, plugs further simulated devices before the scan.
  bool start(void (*plugMore)(SimUsbHost&) = nullptr) {
    char pattern[] = "/tmp/usb-transfer-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    root_ = pattern;
    setDataRoot(root_.c_str());
    static const char kIdentity[] =
        "product_id=353\nusb_ports_phy=20\ndevice_types=UUUUUUUUUUUUUUUUUUUU\nusbtable_product_id=353\n";
    std::FILE* identity = fmemopen(const_cast<char*>(kIdentity), sizeof kIdentity - 1, "r");
    parseProductParams(identity, productParams());
    std::fclose(identity);
    setUsbTableLimits(productParams().usbtable_product_id);
    if (!makeCertificatePair()) return false;
    host_ = new SimUsbHost;
    setUsbHostForTesting(host_);
    prepareUsbDeviceFilesystem();
    host_->plug("1-1", "hub 4");
    host_->plug("1-1.2", "loopback");
    if (plugMore) plugMore(*host_);
    rescanUsbDevices();
    for (int r = 0; r < USB_MAXDEVS && row < 0; ++r)
      if (usbDeviceTable[r].isPresent()) {
        row = r;
        usbPort = usbDeviceTable[r].port;
      }
    if (row < 0) return false;
    plainPort = freeTestPort();
    do tlsPort = freeTestPort();
    while (tlsPort == plainPort);
    paramStore.findInt("zov_port")->setValue(plainPort);
    paramStore.findInt("zov_sslport")->setValue(tlsPort);
    paramStore.findInt("zov_heartbeat")->setValue(0);
    auto* listener = new UsbSrvd(&lo_);
    listenerId_ = listener->start(20480);
    if (listenerId_ < 0) return false;
    for (int i = 0; i < 500; ++i) {
      Client probe;
      if (probe.open(plainPort, false)) break;
      usleep(10000);
    }
    for (int i = 0; i < 500 && usbConnectionCount.load() != 0; ++i) usleep(10000);
    return true;
  }
  void stop() {
    if (listenerId_ >= 0) postToTaskId(listenerId_, TaskMessage{0, MSG_QUIT, 0, 0});
    for (int i = 0; i < 500 && usbListenerTasks.load() != 0; ++i) usleep(10000);
    setUsbHostForTesting(nullptr);
    if (!root_.empty()) (void)!std::system(("rm -rf " + root_).c_str());
  }
  const std::string& certificate() const { return certificate_; }
  const std::string& key() const { return key_; }

  int row = -1;
  int usbPort = 0;
  int plainPort = 0;
  int tlsPort = 0;

 private:
  bool makeCertificatePair() {
    certificate_ = root_ + tlsCertificateFile(TLS_PAIR_OWN);
    key_ = root_ + tlsPrivateKeyFile(TLS_PAIR_OWN);
    for (const std::string* file : {&certificate_, &key_})
      for (size_t pos = root_.size() + 1; (pos = file->find('/', pos)) != std::string::npos; ++pos)
        ::mkdir(file->substr(0, pos).c_str(), 0755);
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=bench -keyout " +
                                key_ + " -out " + certificate_ + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  std::string root_;
  std::string certificate_;
  std::string key_;
  SimUsbHost* host_ = nullptr;  // lives to the end of the program: tasks may still look at it
  Loopback lo_;
  int listenerId_ = -1;
};

// A listening socket on 127.0.0.1 with a kernel-chosen port.
inline int listenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

inline int acceptOne(int listener) {
  const int fd = ::accept(listener, nullptr, nullptr);
  const int on = 1;
  if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

inline bool readAll(int fd, void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

inline bool writeAll(int fd, const void* data, size_t n) {
  auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace usbbench

#endif

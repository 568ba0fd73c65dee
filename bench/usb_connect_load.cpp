// Connection load on the USB server: 50 clients in parallel, each cycle a
// TCP connect, HELLO, DEVICE_LIST, CONNECT and DISCONNECT of a simulated
// device, and close. Baseline: the same connects and request/reply round
// trips against a thread-per-connection echo server on loopback, measured
// in the same run. Threads, open descriptors and VmRSS of the process are
// shown before and after 1000 cycles (the goal is no growth).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
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
#include "usbserver/connections/usbconnection.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbfilesystem.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/protocol/wireprotocol.h"

namespace {

constexpr int kClients = 50;
constexpr int kWarmCycles = 100;
constexpr int kCycles = 1000;
constexpr int kRoundTrips = 4;  // requests per cycle
constexpr char kIdentity[] =
    "product_id=353\nusb_ports_phy=20\ndevice_types=UUUUUUUUUUUUUUUUUUUU\nusbtable_product_id=353\n";

class Loopback : public InterfaceView {
 public:
  const char* name() const override { return "lo"; }
  int getAddress(IpAddress& out, const char*, int) override {
    out.fromIp4Bytes(127, 0, 0, 1);
    return 1;
  }
};

struct Usage {
  long threads = 0;
  long descriptors = 0;
  long rssKb = 0;
};

Usage usage() {
  Usage u;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      std::sscanf(line, "Threads: %ld", &u.threads);
      std::sscanf(line, "VmRSS: %ld", &u.rssKb);
    }
    std::fclose(f);
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++u.descriptors;
    closedir(d);
  }
  return u;
}

bool readAll(int fd, void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  size_t got = 0;
  while (got < n) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 10000) != 1) return false;
    const ssize_t r = ::recv(fd, p + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool writeAll(int fd, const void* data, size_t n) {
  return ::send(fd, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// One request and its reply; DEVICE_GONE notices of a device another
// client took meanwhile are skipped.
bool roundTrip(int fd, uint32_t opcode, const std::vector<uint8_t>& body, UsbReplyHeader* reply) {
  UsbRequestHeader h;
  h.opcode = opcode;
  h.tag = opcode;
  std::vector<uint8_t> bytes(USB_REQUEST_HEADER_SIZE);
  encodeRequestHeader(h, bytes.data());
  bytes.insert(bytes.end(), body.begin(), body.end());
  if (!writeAll(fd, bytes.data(), bytes.size())) return false;
  for (;;) {
    uint8_t head[USB_REPLY_HEADER_SIZE];
    if (!readAll(fd, head, 8)) return false;
    if (getBe32(head + 4) == USB_OP_DEVICE_GONE) {
      if (!readAll(fd, head + 8, USB_NOTICE_SIZE - 8)) return false;
      continue;
    }
    if (!readAll(fd, head + 8, sizeof head - 8)) return false;
    *reply = decodeReplyHeader(head);
    std::vector<uint8_t> data(reply->dataLength);
    return data.empty() || readAll(fd, data.data(), data.size());
  }
}

struct Device {
  uint8_t row;
  uint8_t port;
};

bool usbCycle(int port, const Device& d) {
  const int fd = connectLoopback(port);
  if (fd < 0) return false;
  UsbReplyHeader r;
  std::vector<uint8_t> connectBody(2 + USB_CLIENT_NAME_SIZE, 0);
  connectBody[0] = d.row;
  connectBody[1] = d.port;
  const bool ok = roundTrip(fd, USB_OP_HELLO, {}, &r) && roundTrip(fd, USB_OP_DEVICE_LIST, {}, &r) &&
                  roundTrip(fd, USB_OP_CONNECT, connectBody, &r) &&
                  roundTrip(fd, USB_OP_DISCONNECT, {d.row, d.port}, &r);
  ::close(fd);
  return ok;
}

// The baseline server: a thread per connection echoing 16-byte requests
// with 24-byte replies.
class EchoServer {
 public:
  EchoServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(listener_, 8);  // the backlog of the server's listeners
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~EchoServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void acceptLoop() {
    while (!stop_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      std::thread([fd] {
        uint8_t request[USB_REQUEST_HEADER_SIZE];
        uint8_t reply[USB_REPLY_HEADER_SIZE] = {};
        while (readAll(fd, request, sizeof request)) {
          std::memcpy(reply, request, sizeof request);
          if (!writeAll(fd, reply, sizeof reply)) break;
        }
        ::close(fd);
      }).detach();
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
};

bool echoCycle(int port) {
  const int fd = connectLoopback(port);
  if (fd < 0) return false;
  bool ok = true;
  for (int i = 0; i < kRoundTrips && ok; ++i) {
    uint8_t request[USB_REQUEST_HEADER_SIZE] = {};
    uint8_t reply[USB_REPLY_HEADER_SIZE];
    ok = writeAll(fd, request, sizeof request) && readAll(fd, reply, sizeof reply);
  }
  ::close(fd);
  return ok;
}

// Runs cycles in total over kClients threads: cycles per second.
template <typename Cycle>
double runCycles(int cycles, Cycle cycle, int* failures) {
  std::atomic<int> next{0};
  std::atomic<int> failed{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      for (int i; (i = next.fetch_add(1)) < cycles;)
        if (!cycle(c, i)) failed.fetch_add(1);
    });
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *failures = failed.load();
  return cycles / seconds;
}

void waitForConnections(int n) {
  for (int i = 0; i < 1000 && usbConnectionCount.load() != n; ++i) usleep(10000);
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  char root[] = "/tmp/usb-connect-load-XXXXXX";
  if (!mkdtemp(root)) return 1;
  setDataRoot(root);
  std::FILE* identity = fmemopen(const_cast<char*>(kIdentity), sizeof kIdentity - 1, "r");
  parseProductParams(identity, productParams());
  std::fclose(identity);
  setUsbTableLimits(productParams().usbtable_product_id);
  SimUsbHost host;
  setUsbHostForTesting(&host);
  prepareUsbDeviceFilesystem();
  host.plug("1-1", "hub 7");
  for (int i = 1; i <= 7; ++i) host.plug("1-1." + std::to_string(i), "loopback");
  rescanUsbDevices();
  std::vector<Device> devices;
  for (int row = 0; row < USB_MAXDEVS; ++row)
    if (usbDeviceTable[row].isPresent())
      devices.push_back({static_cast<uint8_t>(row), static_cast<uint8_t>(usbDeviceTable[row].port)});
  if (devices.empty()) return 1;

  const int port = 20000 + static_cast<int>(getpid() % 20000);
  paramStore.findInt("zov_port")->setValue(port);
  paramStore.findInt("zov_sslport")->setValue(port + 1);
  paramStore.findInt("zov_heartbeat")->setValue(0);
  Loopback lo;
  auto* listener = new UsbSrvd(&lo);
  const int listenerId = listener->start(20480);
  if (listenerId < 0) return 1;
  for (int i = 0; i < 500; ++i) {
    const int fd = connectLoopback(port);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    usleep(10000);
  }
  waitForConnections(0);

  // Each client keeps to its own device where there are enough, else they
  // share (a CONNECT then takes the device over).
  auto usb = [&](int client, int) { return usbCycle(port, devices[client % devices.size()]); };
  int failures = 0;
  runCycles(kWarmCycles, usb, &failures);
  waitForConnections(0);
  const Usage before = usage();
  const double usbRate = runCycles(kCycles, usb, &failures);
  waitForConnections(0);
  const Usage after = usage();
  // A second round tells allocator warm-up from growth.
  int moreFailures = 0;
  runCycles(kCycles, usb, &moreFailures);
  waitForConnections(0);
  const Usage again = usage();
  failures += moreFailures;

  double echoRate;
  int echoFailures = 0;
  {
    EchoServer echo;
    runCycles(kWarmCycles, [&](int, int) { return echoCycle(echo.port()); }, &echoFailures);
    echoRate = runCycles(kCycles, [&](int, int) { return echoCycle(echo.port()); }, &echoFailures);
  }

  std::printf("usb_connect_load: %d clients, %d cycles (connect, HELLO, DEVICE_LIST, CONNECT, DISCONNECT, close)\n",
              kClients, kCycles);
  std::printf("  USB server      %9.1f connections/s  (%d failed cycles)\n", usbRate, failures);
  std::printf("  echo baseline   %9.1f connections/s  (%d round trips each, %d failed)\n", echoRate, kRoundTrips,
              echoFailures);
  std::printf("  ratio server/baseline: %.3f\n", usbRate / echoRate);
  std::printf("  before: threads %ld, descriptors %ld, VmRSS %ld kB\n", before.threads, before.descriptors,
              before.rssKb);
  std::printf("  after:  threads %ld, descriptors %ld, VmRSS %ld kB\n", after.threads, after.descriptors,
              after.rssKb);
  std::printf("  growth: threads %+ld, descriptors %+ld, VmRSS %+ld kB\n", after.threads - before.threads,
              after.descriptors - before.descriptors, after.rssKb - before.rssKb);
  std::printf("  after %d more cycles: threads %ld, descriptors %ld, VmRSS %ld kB\n", kCycles, again.threads,
              again.descriptors, again.rssKb);

  postToTaskId(listenerId, TaskMessage{0, MSG_QUIT, 0, 0});
  for (int i = 0; i < 500 && usbListenerTasks.load() != 0; ++i) usleep(10000);
  setUsbHostForTesting(nullptr);
  const std::string cleanup = std::string("rm -rf ") + root;
  if (std::system(cleanup.c_str()) != 0) return 1;
  return failures == 0 ? 0 : 2;
}

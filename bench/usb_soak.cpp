// Soak of the USB service: 50 clients loop over connect, list, bulk echo,
// takeover and disconnect on a few shared loopback devices, first alone
// (the baseline), then while one hostile client keeps queueing long bulk IN
// transfers, stops reading, holds silent TLS connections, asks for string
// descriptors in every language and splits its request headers. Every
// minute (and at the end) the server process's threads, descriptors and
// VmRSS are printed; at the end the legitimate clients' cycles per second
// with the hostile client against the baseline.
//
//   bench_usb_soak [seconds per run, default 600]
#include <dirent.h>
#include <sys/time.h>

#include <atomic>
#include <thread>

#include "bench/usb_bench_support.h"

using namespace usbbench;

namespace {

constexpr int kClients = 50;
constexpr int kDevices = 5;  // shared: clients take them over from each other
constexpr int kEcho = 512;

// Rows and ports of the loopback devices, the last one the hostile client's.
struct Devices {
  int rows[kDevices + 1];
  int ports[kDevices + 1];
};

enum Kind { kLegit = 1, kHostile = 2 };

// A client socket with a receive time-out, reading replies and skipping
// notices (DEVICE_GONE, PORT_DISABLED: 18 bytes).
class SoakClient {
 public:
  ~SoakClient() { client.close(); }
  bool open(int port, bool tls, int timeoutMs = 3000) {
    if (!client.open(port, tls)) return false;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
  }
  int fd() const { return client.fd(); }
  // The reply with tag, its status (or -1 when none came).
  int await(uint32_t tag, std::vector<uint8_t>* data = nullptr) {
    for (int i = 0; i < 64; ++i) {
      uint8_t head[USB_REPLY_HEADER_SIZE];
      if (!client.read(head, 8)) return -1;
      const uint32_t opcode = getBe32(head + 4);
      if (opcode == USB_OP_DEVICE_GONE || opcode == USB_OP_PORT_DISABLED) {
        uint8_t rest[USB_NOTICE_SIZE - 8];
        if (!client.read(rest, sizeof rest)) return -1;
        continue;
      }
      if (!client.read(head + 8, sizeof head - 8)) return -1;
      const UsbReplyHeader h = decodeReplyHeader(head);
      if (h.dataLength > (1u << 24)) return -1;
      std::vector<uint8_t> bytes(h.dataLength);
      if (h.dataLength && !client.read(bytes.data(), bytes.size())) return -1;
      if (h.tag != tag) continue;
      if (data) *data = std::move(bytes);
      return static_cast<int>(h.status);
    }
    return -1;
  }
  bool send(uint32_t opcode, uint32_t tag, const std::vector<uint8_t>& body) {
    UsbRequestHeader r;
    r.opcode = opcode;
    r.tag = tag;
    std::vector<uint8_t> bytes(USB_REQUEST_HEADER_SIZE);
    encodeRequestHeader(r, bytes.data());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return client.send(bytes.data(), bytes.size());
  }
  Client client;
};

std::vector<uint8_t> rowPort(int row, int port) { return {static_cast<uint8_t>(row), static_cast<uint8_t>(port)}; }

// One legitimate cycle; true when every step answered OK.
bool legitimateCycle(int port, int row, int usbPort, uint32_t seed) {
  SoakClient c;
  if (!c.open(port, false)) return false;
  if (!c.send(USB_OP_HELLO, 1, {}) || c.await(1) != USB_STATUS_OK) return false;
  if (!c.send(USB_OP_DEVICE_LIST, 2, {}) || c.await(2) != USB_STATUS_OK) return false;
  std::vector<uint8_t> connect(2 + USB_CLIENT_NAME_SIZE, 'c');
  connect[0] = static_cast<uint8_t>(row);
  connect[1] = static_cast<uint8_t>(usbPort);
  if (!c.send(USB_OP_CONNECT, 3, connect) || c.await(3) != USB_STATUS_OK) return false;
  std::vector<uint8_t> config = rowPort(row, usbPort);
  config.push_back(1);
  config.push_back(0);
  if (!c.send(USB_OP_SET_CONFIGURATION, 4, config) || c.await(4) != USB_STATUS_OK) return false;
  std::vector<uint8_t> out = submitRequest(5, row, usbPort, 0x01, 3, 0, kEcho);
  for (int i = 0; i < kEcho; ++i) out.push_back(static_cast<uint8_t>(seed + i));
  if (!c.client.send(out.data(), out.size()) || c.await(5) != USB_STATUS_OK) return false;
  const std::vector<uint8_t> in = submitRequest(6, row, usbPort, 0x81, 3, kEcho, 0);
  std::vector<uint8_t> echoed;
  if (!c.client.send(in.data(), in.size()) || c.await(6, &echoed) != USB_STATUS_OK) return false;
  return c.send(USB_OP_DISCONNECT, 7, rowPort(row, usbPort)) && c.await(7) == USB_STATUS_OK;
}

Answer runLegitimate(const Command& cmd, const Devices& d) {
  std::atomic<long> good{0}, bad{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i)
    threads.emplace_back([&, i] {
      uint32_t seed = static_cast<uint32_t>(i);
      while (secondsSince(start) < static_cast<double>(cmd.count)) {
        const int device = static_cast<int>(seed % kDevices);
        if (legitimateCycle(cmd.port, d.rows[device], d.ports[device], seed)) good++;
        else bad++;
        seed += 7;
      }
    });
  for (std::thread& t : threads) t.join();
  Answer a;
  a.ok = 1;
  a.seconds = secondsSince(start);
  std::snprintf(a.text, sizeof a.text, "%ld %ld", good.load(), bad.load());
  return a;
}

// The hostile client's round: each fault once.
void hostileRound(const Command& cmd, int row, int usbPort, uint32_t round) {
  {  // long bulk IN transfers queued without limit
    SoakClient c;
    if (c.open(cmd.port, false, 1000)) {
      std::vector<uint8_t> connect(2 + USB_CLIENT_NAME_SIZE, 'h');
      connect[0] = static_cast<uint8_t>(row);
      connect[1] = static_cast<uint8_t>(usbPort);
      c.send(USB_OP_CONNECT, 1, connect);
      c.await(1);
      for (uint32_t i = 0; i < 1500; ++i) {
        const std::vector<uint8_t> in = submitRequest(0x100 + i, row, usbPort, 0x81, 3, 64u << 20, 0);
        if (!c.client.send(in.data(), in.size())) break;
      }
      // ... and then it stops reading, holding the device.
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
  }
  {  // a silent connection to the TLS port and a body trickled byte by byte
    SoakClient silent, slow;
    silent.client.open(cmd.tls, false);  // TCP only: no handshake
    if (slow.open(cmd.port, false, 1000)) {
      uint8_t head[USB_REQUEST_HEADER_SIZE];
      UsbRequestHeader r;
      r.opcode = USB_OP_KEEP_ALIVE;
      r.tag = round;
      encodeRequestHeader(r, head);
      slow.client.send(head, sizeof head);
      for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const uint8_t b = 0;
        if (!slow.client.send(&b, 1)) break;
      }
    }
  }
  {  // string descriptors in every language, headers split in two
    SoakClient c;
    if (c.open(cmd.port, false, 1000)) {
      for (uint32_t language = 1; language < 200; ++language) {
        const uint32_t tag = 0x1000 + language;
        std::vector<uint8_t> get = submitRequest(tag, row, usbPort, 0, 2, 255, 8);
        const uint8_t setup[8] = {0x80, 6, 1, 3, static_cast<uint8_t>(language), static_cast<uint8_t>(language >> 8),
                                  255, 0};
        get.insert(get.end(), setup, setup + 8);
        if (!c.client.send(get.data(), 7)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!c.client.send(get.data() + 7, get.size() - 7) || c.await(tag) < 0) break;
      }
    }
  }
}

Answer runHostile(const Command& cmd, const Devices& d) {
  const auto start = Clock::now();
  uint32_t round = 0;
  while (secondsSince(start) < static_cast<double>(cmd.count)) hostileRound(cmd, d.rows[kDevices], d.ports[kDevices], ++round);
  Answer a;
  a.ok = 1;
  a.seconds = secondsSince(start);
  std::snprintf(a.text, sizeof a.text, "%u rounds", round);
  return a;
}

Devices devices;

Answer clientBody(const Command& c) {
  return c.kind == kLegit ? runLegitimate(c, devices) : runHostile(c, devices);
}

int countEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

long vmRssKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  std::fclose(f);
  return kb;
}

void report(const char* run, double at) {
  std::printf("%-9s t=%4.0fs threads=%d fds=%d VmRSS=%ld kB\n", run, at, countEntries("/proc/self/task"),
              countEntries("/proc/self/fd"), vmRssKb());
  std::fflush(stdout);
}

// One run: the legitimate clients (and the hostile one) for seconds; the
// legitimate cycles per second.
double runOnce(const char* name, BenchServer& server, ClientProcess& legit, ClientProcess& hostile, long seconds,
               bool withHostile) {
  Command c;
  c.kind = kLegit;
  c.port = server.plainPort;
  c.tls = server.tlsPort;
  c.count = seconds;
  Answer legitAnswer, hostileAnswer;
  std::thread legitRun([&] { legitAnswer = legit.run(c); });
  std::thread hostileRun;
  if (withHostile) {
    Command h = c;
    h.kind = kHostile;
    hostileRun = std::thread([&, h] { hostileAnswer = hostile.run(h); });
  }
  const auto start = Clock::now();
  report(name, 0);
  for (long minute = 1; minute * 60 < seconds; ++minute) {
    while (secondsSince(start) < minute * 60.0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    report(name, secondsSince(start));
  }
  legitRun.join();
  if (hostileRun.joinable()) hostileRun.join();
  // Connections still closing are given a moment before the last figures.
  for (int i = 0; i < 500 && usbConnectionCount.load() != 0; ++i) usleep(10000);
  report(name, secondsSince(start));
  long good = 0, bad = 0;
  std::sscanf(legitAnswer.text, "%ld %ld", &good, &bad);
  const double rate = legitAnswer.seconds > 0 ? static_cast<double>(good) / legitAnswer.seconds : 0;
  std::printf("%-9s legitimate cycles: %ld ok, %ld failed (taken over or refused), %.1f/s%s%s\n", name, good, bad,
              rate, withHostile ? "; hostile: " : "", withHostile ? hostileAnswer.text : "");
  std::fflush(stdout);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::atol(argv[1]) : 600;
  signal(SIGPIPE, SIG_IGN);
  // The client processes are forked once the table is filled (they take
  // the rows from it); they use only the C library, sockets and threads.
  BenchServer server;
  if (!server.start([](SimUsbHost& host) {
        host.plug("1-2", "hub 8");
        for (int i = 0; i <= kDevices; ++i) host.plug("1-2." + std::to_string(i + 1), "loopback");
      })) {
    std::fprintf(stderr, "usb_soak: the server did not start\n");
    return 1;
  }
  int found = 0;
  for (int r = 0; r < USB_MAXDEVS && found <= kDevices; ++r)
    if (usbDeviceTable[r].isPresent() && usbDeviceTable[r].port != server.usbPort) {
      devices.rows[found] = r;
      devices.ports[found] = usbDeviceTable[r].port;
      ++found;
    }
  if (found <= kDevices) {
    std::fprintf(stderr, "usb_soak: only %d devices\n", found);
    return 1;
  }
  std::printf("usb_soak: %d clients on %d shared loopback devices, %ld s per run\n", kClients, kDevices, seconds);
  double baseline = 0, hostile = 0;
  {
    ClientProcess legit(clientBody), bad(clientBody);
    baseline = runOnce("baseline", server, legit, bad, seconds, false);
    hostile = runOnce("hostile", server, legit, bad, seconds, true);
  }
  std::printf("usb_soak: legitimate cycles with the hostile client %.2fx of the baseline\n",
              baseline > 0 ? hostile / baseline : 0.0);
  server.stop();
  return 0;
}

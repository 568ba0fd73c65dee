// Control transfers through the USB server on loopback, one at a time:
// GET_STATUS from the device's owner (it reaches the simulated device) and
// GET_DESCRIPTOR(device) from a client that does not own it (answered from
// the cache). Baseline, measured in the same run: a plain TCP ping-pong of
// the same request and reply sizes between the same two processes.
#include <algorithm>
#include <thread>

#include "bench/usb_bench_support.h"

using namespace usbbench;

namespace {

enum Kind { kEnd = 0, kGetStatus = 1, kGetDescriptor = 2, kPingPong = 3 };

constexpr long kRounds = 20000;
constexpr long kWarmRounds = 1000;
constexpr int kRepeats = 5;
constexpr size_t kRequestSize = USB_REQUEST_HEADER_SIZE + USB_TRANSFER_DESCRIPTOR_SIZE + 8;
constexpr size_t kStatusReply = USB_REPLY_HEADER_SIZE + 2;
constexpr size_t kDescriptorReply = USB_REPLY_HEADER_SIZE + USB_DEVICE_DESCRIPTOR_SIZE;

std::vector<uint8_t> controlRequest(const Command& c, bool status) {
  const uint16_t length = status ? 2 : USB_DEVICE_DESCRIPTOR_SIZE;
  std::vector<uint8_t> r = submitRequest(7, c.row, c.usbPort, 0, 2, length, 8);
  const uint8_t setup[8] = {0x80, static_cast<uint8_t>(status ? 0 : 6), static_cast<uint8_t>(status ? 0 : 1), 0,
                            0, 0, 0, static_cast<uint8_t>(length)};
  r.insert(r.end(), setup, setup + 8);
  return r;
}

// In the client process.
Answer runClient(const Command& c) {
  Answer a;
  Client client;
  if (!client.open(c.port, false)) return a;
  std::vector<uint8_t> request(kRequestSize, 0);
  const size_t replySize = static_cast<size_t>(c.queued);
  if (c.kind == kGetStatus && !takeDevice(client, c.row, c.usbPort)) return a;
  if (c.kind != kPingPong) request = controlRequest(c, c.kind == kGetStatus);
  std::vector<uint8_t> reply(replySize);
  auto round = [&] {
    if (!client.send(request.data(), request.size()) || !client.read(reply.data(), reply.size())) return false;
    return c.kind == kPingPong || getBe32(reply.data() + 16) == USB_STATUS_OK;
  };
  for (long i = 0; i < kWarmRounds; ++i)
    if (!round()) return a;
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < c.count; ++i)
    if (!round()) return a;
  a.seconds = secondsSince(start);
  a.ok = 1;
  return a;
}

// The baseline's server side: answers every 36-byte request with a reply
// of the given size.
class PingPongServer {
 public:
  explicit PingPongServer(size_t replySize) : reply_(replySize, 0) {
    listener_ = listenOnLoopback(&port_);
    thread_ = std::thread([this] {
      const int fd = acceptOne(listener_);
      uint8_t request[kRequestSize];
      while (fd >= 0 && readAll(fd, request, sizeof request) && writeAll(fd, reply_.data(), reply_.size())) {
      }
      if (fd >= 0) ::close(fd);
    });
  }
  ~PingPongServer() {
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  std::vector<uint8_t> reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

double rateOnce(ClientProcess& client, Command c) {
  Answer a;
  if (c.kind == kPingPong) {
    PingPongServer server(static_cast<size_t>(c.queued));
    c.port = server.port();
    a = client.run(c);
  } else {
    a = client.run(c);
  }
  return a.ok && a.seconds > 0 ? static_cast<double>(c.count) / a.seconds : 0;
}

// Median rates of the server and of the ping-pong, runs interleaved so
// that both meet the same machine load.
void medianRates(ClientProcess& client, Command c, double* server, double* baseline) {
  std::vector<double> s, b;
  for (int i = 0; i < kRepeats; ++i) {
    s.push_back(rateOnce(client, c));
    Command p = c;
    p.kind = kPingPong;
    b.push_back(rateOnce(client, p));
  }
  std::sort(s.begin(), s.end());
  std::sort(b.begin(), b.end());
  *server = s[s.size() / 2];
  *baseline = b[b.size() / 2];
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  ClientProcess client(runClient);  // before any thread exists
  if (!client.started()) return 1;
  BenchServer server;
  if (!server.start()) {
    std::fprintf(stderr, "usb_control: the server did not start\n");
    return 1;
  }
  Command c;
  c.port = server.plainPort;
  c.row = server.row;
  c.usbPort = server.usbPort;
  c.count = kRounds;

  double status = 0, statusBase = 0, descriptor = 0, descriptorBase = 0;
  c.kind = kGetStatus;
  c.queued = static_cast<int>(kStatusReply);
  medianRates(client, c, &status, &statusBase);
  c.kind = kGetDescriptor;
  c.queued = static_cast<int>(kDescriptorReply);
  medianRates(client, c, &descriptor, &descriptorBase);

  std::printf("usb_control: %ld round trips, median of %d, %zu-byte requests, client in its own process\n", kRounds,
              kRepeats, kRequestSize);
  std::printf("  GET_STATUS by the owner (device)     %9.0f/s   ping-pong (%zu-byte replies) %9.0f/s   ratio %.2f\n",
              status, kStatusReply, statusBase, statusBase > 0 ? status / statusBase : 0.0);
  std::printf("  GET_DESCRIPTOR(device) (cache)       %9.0f/s   ping-pong (%zu-byte replies) %9.0f/s   ratio %.2f\n",
              descriptor, kDescriptorReply, descriptorBase, descriptorBase > 0 ? descriptor / descriptorBase : 0.0);
  server.stop();
  return status > 0 && descriptor > 0 ? 0 : 2;
}

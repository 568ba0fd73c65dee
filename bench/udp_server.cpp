// 64-byte datagrams from a sender in a peer namespace, received by a
// UdpServerTask with one row (unicast and one group socket) against a plain
// blocking recvfrom loop on one socket, same sender, same run; then the
// task again with a message posted to it every millisecond.
//
// Needs root (network namespaces). Prints datagrams per second and the
// ratio to the baseline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "net/discovery/udpservertask.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/file/paths.h"
#include "runtime/socket/connection.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 4271;
constexpr int kDatagrams = 200000;

std::string peerNamespace;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

struct Count {
  std::atomic<int> received{0};
  std::atomic<int64_t> firstNs{0};
  std::atomic<int64_t> lastNs{0};
  static int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  }
  void start() { firstNs = nowNs(); }
  void one() {
    received.fetch_add(1);
    lastNs = nowNs();
  }
  double rate() const {
    const double seconds = (lastNs - firstNs) / 1e9;
    return seconds > 0 ? received / seconds : 0;
  }
};

// Sends kDatagrams from the peer namespace to 10.10.0.1:kPort as fast as
// it can: a receiver that cannot keep up loses datagrams, so the rate
// (received over the time from the first send to the last receipt) is the
// receiver's.
void sendAll(Count& count) {
  count.start();
  std::thread sender([] {
    const int ns = ::open(("/var/run/netns/" + peerNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) std::abort();
    ::close(ns);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    inet_pton(AF_INET, "10.10.0.1", &to.sin_addr);
    char payload[64];
    std::memset(payload, 'u', sizeof payload);
    for (int i = 0; i < kDatagrams; ++i) {
      ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
  });
  sender.join();
}

// Waits until no datagram came for 500 ms.
void settle(Count& count) {
  int last = -1;
  while (count.received.load() != last) {
    last = count.received.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

double baseline() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kPort);
  inet_pton(AF_INET, "10.10.0.1", &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) std::abort();
  Count count;
  std::atomic<bool> stop{false};
  timeval tick{0, 100000};  // only to notice the end
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  std::thread receiver([&] {
    char buffer[2048];
    while (!stop) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      if (::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) count.one();
    }
  });
  sendAll(count);
  settle(count);
  stop = true;
  receiver.join();
  ::close(fd);
  std::printf("  plain recvfrom loop: %8d received, %10.0f datagrams/s\n", count.received.load(), count.rate());
  return count.rate();
}

class CountingService : public UdpServerTask {
 public:
  CountingService(NetInterface* nif, Count& count, std::atomic<int>& state)
      : UdpServerTask("UdpBench", kPort, "239.1.2.5", nullptr), interface_(nif), count_(count), state_(state) {}
  ~CountingService() override { state_ = -1; }
  void run() override {
    openSockets(interface_, 0);
    state_ = 1;
    ByteBuffer buffer;
    for (;;) {
      Connection* read = nullptr;
      Connection* reply = nullptr;
      if (receive(buffer, 0, &read, &reply) > 0) count_.one();
    }
  }

 private:
  NetInterface* interface_;
  Count& count_;
  std::atomic<int>& state_;
};

double withTask(NetInterface& nif, bool messages) {
  Count count;
  std::atomic<int> state{0};
  CountingService* service = new CountingService(&nif, count, state);
  if (service->start(20480) <= 0) std::abort();
  while (state.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::atomic<bool> stop{false};
  std::atomic<int> posted{0};
  std::thread poster([&] {
    while (messages && !stop) {
      service->post(TaskMessage{0, 0x00020000, 0, 0});  // a bit no handler consumes or waits for
      ++posted;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  sendAll(count);
  settle(count);
  stop = true;
  poster.join();
  service->post(TaskMessage{0, MSG_QUIT, 0, 0});
  while (state.load() != -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::printf("  UdpServerTask%s: %8d received, %10.0f datagrams/s\n",
              messages ? " + message/ms" : "             ", count.received.load(), count.rate());
  if (messages) std::printf("    (%d messages posted)\n", posted.load());
  return count.rate();
}

}  // namespace

int main() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "udp_server: needs root for network namespaces\n");
    return 1;
  }
  if (::unshare(CLONE_NEWNET) != 0) return 1;
  peerNamespace = "udpbench" + std::to_string(::getpid());
  char root[] = "/tmp/udpbench-XXXXXX";
  if (!::mkdtemp(root)) return 1;
  setDataRoot(root);
  if (!run("ip link add eth0 type veth peer name peer0") || !run("ip netns add " + peerNamespace) ||
      !run("ip link set peer0 netns " + peerNamespace) ||
      !run("ip link set lo up && ip link set eth0 up && ip addr add 10.10.0.1/24 dev eth0") ||
      !run("ip netns exec " + peerNamespace +
           " sh -c 'ip link set lo up && ip link set peer0 up && ip addr add 10.10.0.2/24 dev peer0'")) {
    std::fprintf(stderr, "udp_server: cannot set up the namespaces\n");
    run("ip netns del " + peerNamespace);
    return 1;
  }
  productParams().usb_ports_phy = 0;
  if (Param* untagged = paramStore.find("ip4vlan_mgmt_untag")) untagged->set("on");
  if (Param* management = paramStore.find("ip4vlan_mgmt")) management->set("off");
  NetInterface nif;
  nif.setName("eth0");
  nif.openSocket();

  std::printf("udp_server: %d datagrams of 64 bytes from a peer namespace\n", kDatagrams);
  // The best of three rounds of each: the machine may be shared.
  double base = 0;
  double task = 0;
  double busy = 0;
  for (int round = 0; round < 3; ++round) {
    base = std::max(base, baseline());
    task = std::max(task, withTask(nif, false));
    busy = std::max(busy, withTask(nif, true));
  }
  std::printf("ratio UdpServerTask / plain:              %.2fx\n", base > 0 ? task / base : 0);
  std::printf("ratio UdpServerTask + message/ms / plain: %.2fx\n", base > 0 ? busy / base : 0);

  run("ip netns del " + peerNamespace);
  run(std::string("rm -rf ") + root);
  return 0;
}

// Notification events in a storm.
//
// 1. A producer's cost per event (push into the ring and the announcement)
//    against one 16-byte pipe write, the cost of the one message per event
//    a plain design would post.
// 2. Traps per second reaching a UDP listener on loopback from a storm of
//    four producers (ring, "Notify", trap outbox, an agent task sending
//    each record) against the agent task sending the same records directly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "notify/notifyevent.h"
#include "notify/notifyproducer.h"
#include "notify/notifytask.h"
#include "notify/trapcontents.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "snmp/trapoutbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void setParam(const char* key, const char* value) {
  if (Param* p = paramStore.find(key)) p->set(value);
}

// Stands in for the SNMP agent: drains the outbox on its own thread and
// sends each record as one datagram.
class BenchAgent : public Task {
 public:
  explicit BenchAgent(const sockaddr_in& to) : Task("BenchAgent"), to_(to) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  ~BenchAgent() override { close(fd_); }
  void run() override {
    for (;;) wait(-1);
  }
  int onMessage(const TaskMessage& msg) override {
    if (msg.flags & MSG_TRAP_OUTBOX) drainTrapOutbox(sendRecord, this);
    return msg.flags & ~MSG_TRAP_OUTBOX;
  }
  void send(const SnmpTrapRecord& r) {
    sendto(fd_, &r, offsetof(SnmpTrapRecord, varbinds) + sizeof(SnmpTrapVarbind) * r.varbindCount, 0,
           reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }
  static void sendRecord(const SnmpTrapRecord& r, void* self) { static_cast<BenchAgent*>(self)->send(r); }

 private:
  sockaddr_in to_;
  int fd_;
};

struct Listener {
  int fd = -1;
  sockaddr_in address{};
  std::atomic<long> received{0};
  std::atomic<bool> stop{false};
  std::thread thread;
  Listener() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread = std::thread([this] {
      char buffer[2048];
      while (!stop.load())
        if (recv(fd, buffer, sizeof buffer, 0) > 0) received.fetch_add(1);
    });
  }
  ~Listener() {
    stop.store(true);
    thread.join();
    close(fd);
  }
  // Waits until nothing more arrives for 200 ms; the count.
  long settle() {
    long last = -1;
    while (received.load() != last) {
      last = received.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return last;
  }
};

double pipeWriteCost(long n) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buffer[4096];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }
    done.store(true);
  });
  TaskMessage msg{0, MSG_NOTIFY, 0x400, 0};
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) {
    msg.param = static_cast<int32_t>(i);
    if (write(fds[1], &msg, sizeof msg) != sizeof msg) break;
  }
  double s = secondsSince(t);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  return s / static_cast<double>(n);
}

double produceCost(long n) {
  auto t = Clock::now();
  for (long i = 0; i < n; ++i)
    produceNotifyEvent(NOTIFY_USB_ATTACHED, static_cast<int32_t>(i & 15), "Acme", "Stick", "0042", nullptr);
  return secondsSince(t) / static_cast<double>(n);
}

}  // namespace

int main() {
  setParam("sw_features", "4096");  // FEATURE_EMAIL
  setParam("trapdev", "on");
  setParam("trapact", "on");
  setParam("trap_lnk", "off");

  Listener listener;
  BenchAgent* agent = new BenchAgent(listener.address);
  const int agentId = agent->start(65536);
  openTrapOutbox(agentId);
  if (!startNotifyTask(true, 1)) return 1;
  // Past the task's start wait on the program clock.
  for (int i = 0; i < 100 && !notifyTask.load(); ++i) {
    shiftUptimeForTesting(1600);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!notifyTask.load()) return 1;

  // 1. Cost per event of one producer.
  const long n = 200000;
  pipeWriteCost(n / 10);  // warm-up
  const double pipeCost = pipeWriteCost(n);
  const double pushCost = produceCost(n);
  listener.settle();
  std::printf("producer cost per event: push+announce %.0f ns, one 16-byte pipe write %.0f ns, ratio %.2f (goal <= 3)\n",
              pushCost * 1e9, pipeCost * 1e9, pushCost / pipeCost);

  // 2. Traps per second from a storm of producers, counted at the
  // listener over one second of storm. Paced: bursts of a ring's worth with
  // a short sleep between, as connection tasks that also serve clients
  // would push; spinning: every producer pushes without pause, taking
  // whole processors from the task and the agent.
  constexpr double kWindow = 1.0;
  const int kProducers = getenv("PRODUCERS") ? atoi(getenv("PRODUCERS")) : 4;
  auto storm = [&](bool paced, double* eventsPerSecond) {
    std::atomic<bool> stop{false};
    std::atomic<long> produced{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, paced, &stop, &produced] {
        long i = 0;
        while (!stop.load()) {
          produceNotifyEvent(i & 1 ? NOTIFY_USB_DISCONNECTED : NOTIFY_USB_CONNECTED, p + 1, "Acme", "Stick",
                             "0042", "pc (169.254.001.002)");
          if (++i % NOTIFY_RING_SIZE == 0 && paced) std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        produced.fetch_add(i);
      });
    }
    auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the storm is on
    const long before = listener.received.load();
    auto t = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindow));
    const long traps = listener.received.load() - before;
    const double seconds = secondsSince(t);
    stop.store(true);
    for (std::thread& p : producers) p.join();
    *eventsPerSecond = static_cast<double>(produced.load()) / secondsSince(started);
    listener.settle();
    return static_cast<double>(traps) / seconds;
  };
  double pacedEvents = 0, spinningEvents = 0;
  const double pacedRate = storm(true, &pacedEvents);
  const double spinningRate = storm(false, &spinningEvents);

  // The agent thread sending the same records directly for as long.
  NotifyEvent event{};
  event.code = NOTIFY_USB_CONNECTED;
  event.value = 1;
  std::strcpy(event.manufacturer, "Acme");
  std::strcpy(event.product, "Stick");
  std::strcpy(event.serial, "0042");
  std::strcpy(event.host, "pc (169.254.001.002)");
  SnmpTrapRecord record;
  buildTrapVarbinds(event, &record);
  const long before = listener.received.load();
  auto t = Clock::now();
  while (secondsSince(t) < kWindow) agent->send(record);
  const long directTraps = listener.received.load() - before;
  const double directRate = static_cast<double>(directTraps) / secondsSince(t);
  listener.settle();
  std::printf("agent sending directly: %.0f traps/s\n", directRate);
  std::printf("paced storm (%d producers, %.0f events/s): %.0f traps/s, ratio %.2f (goal >= 0.5)\n", kProducers,
              pacedEvents, pacedRate, pacedRate / directRate);
  std::printf("spinning storm (%d producers, %.0f events/s): %.0f traps/s, ratio %.2f\n", kProducers,
              spinningEvents, spinningRate, spinningRate / directRate);
  closeTrapOutbox();
  std::fflush(stdout);
  _exit(0);
}

// Legacy unicast mDNS queries for a host's A record, eight outstanding,
// from a querier namespace: answered per second by the program's responder
// ("Bonjour", in this process's namespace) and by avahi-daemon (in a third
// namespace, for its own host name), same querier, same run. Also the CPU
// time each responder spends per answer.
//
// Needs root (network namespaces) and avahi-daemon. Prints the rates and
// the ratio program / avahi.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/discovery/bonjourtask.h"
#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOutstanding = 8;
constexpr double kRunSeconds = 3.0;

std::string querierNs;
std::string avahiNs;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::vector<uint8_t> query(uint16_t id, const std::string& host) {
  std::vector<uint8_t> m = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start < host.size()) {
    size_t dot = host.find('.', start);
    if (dot == std::string::npos) dot = host.size();
    m.push_back(static_cast<uint8_t>(dot - start));
    m.insert(m.end(), host.begin() + static_cast<long>(start), host.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  m.insert(m.end(), {0, 0, 1, 0, 1});
  return m;
}

// CPU time (clock ticks) of a process or thread from its stat file.
long cpuTicks(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

struct Result {
  double perSecond = 0;
  double cpuMicrosPerAnswer = 0;
  int answers = 0;
  int resent = 0;
};

// From the querier namespace: keeps eight queries outstanding for
// kRunSeconds, a query unanswered after 100 ms is sent again.
Result measure(const char* server, const std::string& host, const std::string& statPath) {
  Result result;
  std::thread querier([&] {
    const int ns = ::open(("/var/run/netns/" + querierNs).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) std::abort();
    ::close(ns);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5353);
    inet_pton(AF_INET, server, &to.sin_addr);
    auto send = [&](uint16_t id) {
      const std::vector<uint8_t> m = query(id, host);
      ::sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    Clock::time_point sentAt[kOutstanding];
    uint16_t ids[kOutstanding];
    uint16_t nextId = 1;
    for (int i = 0; i < kOutstanding; ++i) {
      ids[i] = nextId++;
      sentAt[i] = Clock::now();
      send(ids[i]);
    }
    const long cpuBefore = cpuTicks(statPath);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kRunSeconds));
    uint8_t buffer[2048];
    while (Clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n >= 12 && (buffer[2] & 0x80) && buffer[7] > 0) {
          const uint16_t id = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
          for (int i = 0; i < kOutstanding; ++i)
            if (ids[i] == id) {
              ++result.answers;
              ids[i] = nextId++;
              if (nextId == 0) nextId = 1;
              sentAt[i] = Clock::now();
              send(ids[i]);
              break;
            }
        }
      }
      const Clock::time_point now = Clock::now();
      for (int i = 0; i < kOutstanding; ++i)
        if (now - sentAt[i] > std::chrono::milliseconds(100)) {
          ++result.resent;
          sentAt[i] = now;
          send(ids[i]);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long cpu = cpuTicks(statPath) - cpuBefore;
    result.perSecond = result.answers / seconds;
    if (result.answers > 0) result.cpuMicrosPerAnswer = cpu * 1e6 / sysconf(_SC_CLK_TCK) / result.answers;
    ::close(fd);
  });
  querier.join();
  return result;
}

void print(const char* who, const Result& r) {
  std::printf("  %-24s %8d answers, %9.0f answers/s, %6.1f us CPU per answer, %d resent\n", who, r.answers,
              r.perSecond, r.cpuMicrosPerAnswer, r.resent);
}

}  // namespace

int main() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "mdns_answers: needs root for network namespaces\n");
    return 1;
  }
  if (::access("/usr/sbin/avahi-daemon", X_OK) != 0) {
    std::fprintf(stderr, "mdns_answers: avahi-daemon is not installed\n");
    return 1;
  }
  if (::unshare(CLONE_NEWNET) != 0) return 1;
  querierNs = "mdnsq" + std::to_string(::getpid());
  avahiNs = "mdnsavahi" + std::to_string(::getpid());
  char root[] = "/tmp/mdnsbench-XXXXXX";
  if (!::mkdtemp(root)) return 1;
  setDataRoot(root);
  run(std::string("mkdir -p ") + root + "/etc");
  const std::string inQuerier = "ip netns exec " + querierNs + " sh -c '";
  const std::string inAvahi = "ip netns exec " + avahiNs + " sh -c '";
  if (!run("ip netns add " + querierNs) || !run("ip netns add " + avahiNs) ||
      !run("ip link add eth0 type veth peer name q0 && ip link set q0 netns " + querierNs) ||
      !run("ip link set lo up && ip link set eth0 up && ip addr add 10.11.0.1/24 dev eth0") ||
      !run(inQuerier + "ip link set lo up && ip link set q0 up && ip addr add 10.11.0.2/24 dev q0 && "
                       "ip link add q1 type veth peer name a0 && ip link set a0 netns " + avahiNs +
           " && ip link set q1 up && ip addr add 10.12.0.2/24 dev q1'") ||
      !run(inAvahi + "ip link set lo up && ip link set a0 up && ip addr add 10.12.0.1/24 dev a0 && "
                     "ip route add 224.0.0.0/4 dev a0'")) {
    std::fprintf(stderr, "mdns_answers: cannot set up the namespaces\n");
    run("ip netns del " + querierNs);
    run("ip netns del " + avahiNs);
    return 1;
  }

  // avahi-daemon without D-Bus, its pid directory private.
  const std::string conf = std::string(root) + "/avahi-daemon.conf";
  std::ofstream(conf) << "[server]\nhost-name=avahibench\nallow-interfaces=a0\nuse-ipv4=yes\nuse-ipv6=no\n"
                         "enable-dbus=no\nratelimit-interval-usec=1000000\nratelimit-burst=1000000000\n"
                         "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
  const std::string pidText = [&] {
    FILE* p = popen(("ip netns exec " + avahiNs + " unshare -m sh -c 'mount -t tmpfs none /run && "
                     "mkdir -p /run/avahi-daemon && exec avahi-daemon -f " + conf +
                     " --no-drop-root --no-chroot --no-rlimits' >" + root + "/avahi.log 2>&1 & echo $!").c_str(),
                    "r");
    char line[32] = {0};
    if (p) {
      if (!std::fgets(line, sizeof line, p)) line[0] = 0;
      pclose(p);
    }
    return std::string(line);
  }();
  const int avahiPid = std::atoi(pidText.c_str());

  productParams().usb_ports_phy = 0;
  std::strcpy(productParams().product_name, "myHub-20D");
  std::strcpy(productParams().default_name, "HUB-35307");
  for (const char* setting : {"ip4vlan_mgmt_untag=on", "ip4vlan_mgmt=off", "ip_addr=10.11.0.1", "bonjour_name="}) {
    const char* equals = std::strchr(setting, '=');
    const std::string key(setting, equals);
    if (Param* param = paramStore.find(key.c_str())) param->set(equals + 1);
  }
  NetInterface nif;
  nif.setName("eth0");
  nif.openSocket();
  BonjourTask::setServicePorts(443, 80);
  if (!startBonjourTask(nif)) return 1;
  while (bonjourRunning() <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  int bonjourThread = 0;
  TLOCK();
  for (Task* t : taskTable)
    if (t && t->id == bonjourRunning()) bonjourThread = t->pid;
  unlockTaskTable();

  // Both responders answer only once they have probed for their names.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::printf("mdns_answers: legacy unicast A queries, %d outstanding, %.0f s per round, best of 3\n", kOutstanding,
              kRunSeconds);
  Result ours, avahi;
  for (int round = 0; round < 3; ++round) {
    const Result a = measure("10.11.0.1", "HUB-35307.local", "/proc/self/task/" + std::to_string(bonjourThread) + "/stat");
    const Result b = measure("10.12.0.1", "avahibench.local", "/proc/" + std::to_string(avahiPid) + "/stat");
    if (a.perSecond > ours.perSecond) ours = a;
    if (b.perSecond > avahi.perSecond) avahi = b;
  }
  print("program (Bonjour)", ours);
  print("avahi-daemon", avahi);
  std::printf("ratio program / avahi-daemon: %.2fx answers/s", avahi.perSecond > 0 ? ours.perSecond / avahi.perSecond : 0);
  if (ours.cpuMicrosPerAnswer > 0)
    std::printf(", %.2fx CPU per answer (avahi / program)", avahi.cpuMicrosPerAnswer / ours.cpuMicrosPerAnswer);
  std::printf("\n");
  if (avahi.answers == 0) std::printf("  avahi-daemon log:\n%s\n", [&] {
      std::ifstream in(std::string(root) + "/avahi.log");
      return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }().c_str());

  postToTaskId(bonjourRunning(), TaskMessage{0, MSG_QUIT, 0, 0});
  for (int i = 0; i < 200 && bonjourRunning() != -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (avahiPid > 0) ::kill(avahiPid, SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  run("ip netns del " + querierNs);
  run("ip netns del " + avahiNs);
  run(std::string("rm -rf ") + root);
  return 0;
}

// Time from client start to a bound address: the "Bootp" task against
// busybox's udhcpc (lease obtained), both against one dnsmasq in a second
// namespace on the far end of a veth, alternating, with an emptied lease
// file and a restarted dnsmasq before every round (untimed). Then one
// captured exchange of each gives DISCOVER to ACK on the wire.
// Needs root, dnsmasq, busybox and tshark. Goal: at most 1.2x udhcpc.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "net/address/addresssetters.h"
#include "net/address/zeroconf.h"
#include "net/dhcp/bootptask.h"
#include "net/interface/netinterface.h"
#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "runtime/file/paths.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/task.h"
#include "tests/support/shell_command.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 30;

std::string ns;
std::string dir;
pid_t dnsmasqPid = -1;
pid_t capturePid = -1;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void stopProcess(pid_t& pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  int status;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

void restartServer() {
  stopProcess(dnsmasqPid, SIGTERM);
  std::remove((dir + "/leases").c_str());
  std::remove((dir + "/log").c_str());
  dnsmasqPid = spawnShell("exec ip netns exec " + ns +
                     " dnsmasq --conf-file=/dev/null --keep-in-foreground --no-ping --port=0 --interface=peer0"
                     " --bind-interfaces --user=root --dhcp-leasefile=" + dir + "/leases --pid-file=" + dir +
                     "/pid --log-facility=" + dir + "/log --dhcp-range=10.77.0.50,10.77.0.150,255.255.255.0,2m");
  for (int i = 0; i < 400 && readFile(dir + "/log").find("DHCP, IP range") == std::string::npos; ++i) ::usleep(5000);
}

std::string paramText(const char* key) {
  Param* p = paramStore.find(key);
  return p ? p->savedText() : std::string();
}

void setParam(const char* key, const char* value) {
  if (Param* p = paramStore.find(key)) p->set(value);
}

int tasksNamed(const char* name) {
  int n = 0;
  if (!TLOCK()) return 0;
  for (Task* t : taskTable)
    if (t && std::string(t->name) == name) ++n;
  unlockTaskTable();
  return n;
}

// One round of the program's client: seconds to the bound address.
double bootpRound(NetInterface& nif) {
  IpAddress zeroconf;
  makeZeroconfAddress(zeroconf, nif);
  setAsInterfaceAddress(zeroconf, nif, "zconf", 1);
  nif.routeLinkLocal();
  setParam("ip_bootp_addr", "0.0.0.0");
  paramStore.commitAndSave();
  const Clock::time_point start = Clock::now();
  BootpTask* task = new BootpTask(&nif);
  if (task->start(20480) < 0) return -1;
  while (paramText("ip_setby") != "dhcp") {
    if (Clock::now() - start > std::chrono::seconds(20)) return -1;
    ::usleep(200);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  postToTasksNamed("Bootp", TaskMessage{0, MSG_QUIT, 0, 0});
  for (int i = 0; i < 1000 && tasksNamed("Bootp") > 0; ++i) ::usleep(2000);
  return seconds;
}

// One round of udhcpc: seconds until it quits with its lease.
double udhcpcRound() {
  const Clock::time_point start = Clock::now();
  const bool ok = runQuietly("busybox udhcpc -i eth0 -q -n -f -s /bin/true");
  return ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

struct Summary {
  double median, low, high;
};

Summary summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

void startCapture() {
  std::remove((dir + "/c.pcap").c_str());
  std::remove((dir + "/c.txt").c_str());
  capturePid = spawnShell("exec ip netns exec " + ns + " tshark -l -P -i peer0 -f 'udp port 67 or udp port 68' -w " + dir +
                     "/c.pcap >" + dir + "/c.txt 2>/dev/null");
  // Broadcasts from the server's end until the capture sees one.
  for (int i = 0; i < 100 && readFile(dir + "/c.txt").empty(); ++i) {
    runQuietly("ip netns exec " + ns + " sh -c 'echo x | socat - UDP-DATAGRAM:10.77.0.255:67,broadcast'");
    ::usleep(50000);
  }
}

// DISCOVER to the first ACK in the capture, in milliseconds.
double wireMs() {
  ::usleep(300000);
  stopProcess(capturePid, SIGINT);
  const std::string fields = commandOutput("tshark -r " + dir + "/c.pcap -Y dhcp -T fields -e frame.time_epoch -e dhcp.option.dhcp");
  double discover = -1, ack = -1;
  size_t at = 0;
  while (at < fields.size()) {
    size_t end = fields.find('\n', at);
    if (end == std::string::npos) end = fields.size();
    double time = 0;
    int type = 0;
    if (std::sscanf(fields.substr(at, end - at).c_str(), "%lf %d", &time, &type) == 2) {
      if (type == 1 && discover < 0) discover = time;
      if (type == 5 && ack < 0 && discover >= 0) ack = time;
    }
    at = end + 1;
  }
  return discover >= 0 && ack >= 0 ? (ack - discover) * 1000 : -1;
}

}  // namespace

int main() {
  if (::geteuid() != 0 || !runQuietly("command -v dnsmasq") || !runQuietly("command -v busybox")) {
    std::fprintf(stderr, "dhcp_bind: needs root, dnsmasq and busybox\n");
    return 1;
  }
  if (::unshare(CLONE_NEWNET) != 0 || !runQuietly("ip link add eth0 type veth peer name peer0")) return 1;
  ns = "dhcpbench" + std::to_string(::getpid());
  char pattern[] = "/tmp/dhcpbench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  dir = pattern;
  runQuietly("mkdir -p " + dir + "/root/etc");
  setDataRoot((dir + "/root").c_str());
  runQuietly("ip netns add " + ns);
  runQuietly("ip link set peer0 netns " + ns);
  runQuietly("ip -n " + ns + " addr add 10.77.0.1/24 dev peer0");
  runQuietly("ip -n " + ns + " link set peer0 up");
  runQuietly("ip link set eth0 up");
  setParam("ip_dhcp", "on");
  setParam("ip_bootp", "off");
  NetInterface nif;
  nif.setName("eth0");
  nif.openSocket();

  std::vector<double> bootp, udhcpc;
  for (int round = 0; round < kRounds; ++round) {
    restartServer();
    const double b = bootpRound(nif);
    restartServer();
    const double u = udhcpcRound();
    if (b < 0 || u < 0) {
      std::fprintf(stderr, "dhcp_bind: round %d failed (Bootp %.3f, udhcpc %.3f)\n", round, b, u);
      continue;
    }
    bootp.push_back(b);
    udhcpc.push_back(u);
  }
  double bootpWire = -1, udhcpcWire = -1;
  if (runQuietly("command -v tshark")) {
    restartServer();
    startCapture();
    bootpRound(nif);
    bootpWire = wireMs();
    restartServer();
    startCapture();
    udhcpcRound();
    udhcpcWire = wireMs();
  }
  stopProcess(dnsmasqPid, SIGTERM);
  runQuietly("ip netns del " + ns);
  runQuietly("rm -rf " + dir);
  if (bootp.empty()) return 1;

  const Summary b = summarise(bootp), u = summarise(udhcpc);
  std::printf("dhcp_bind: %zu rounds each, client start to bound address\n", bootp.size());
  std::printf("  Bootp   median %7.2f ms  range %7.2f .. %7.2f ms\n", b.median * 1000, b.low * 1000, b.high * 1000);
  std::printf("  udhcpc  median %7.2f ms  range %7.2f .. %7.2f ms\n", u.median * 1000, u.low * 1000, u.high * 1000);
  std::printf("  ratio Bootp/udhcpc (medians): %.2fx (goal: at most 1.2x)\n", b.median / u.median);
  std::printf("  DISCOVER to ACK on the wire: Bootp %.2f ms, udhcpc %.2f ms\n", bootpWire, udhcpcWire);
  return 0;
}

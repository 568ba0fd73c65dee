// Walking the private MIB: snmpwalk (GETNEXT) and snmpbulkwalk of the whole
// private subtree of a 20-port model (all 40 device slots visible) from
// the program's MIB code in an agent of this process, against Debian's
// snmpd serving as many scalars (half INTEGER, half OCTET STRING) from
// generated "override" lines. Both run on the loopback of one private
// network namespace, walks alternating; objects per second and the ratio.
// Needs root (namespace) and the packages snmp and snmpd.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/table/modeladjust.h"
#include "runtime/file/paths.h"

// Before the library headers, whose macros clash with its names.
#include "usbserver/devices/usbdevicetable.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "tests/snmp/support/embedded_agent.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kProductParams[] =
    "product_id=353\ncompat_id=000000a0\noem_id=0\nproduct_name=myHub-20D\ndefault_name=HUB-35307\n"
    "ethaddr0=02:00:5e:03:35:07\nnetwork_type=1\nphy0_addr=4\nsoftware_id=11\nprinter_ports=0\n"
    "usb_ports_phy=20\ndevice_types=UUUUUUUUUUUUUUUUUUUU\nhw_major=1\nhw_minor=2\nhw_project=353\n"
    "gpio_hw_project=278\nyear=2023\nmonth=5\nserial_no=106\nusbtable_product_id=353\n";

std::atomic<bool> agentReady{false};

void agentMain(std::string config) {
  if (!startEmbeddedAgent(config)) return;
  agentReady = true;
  for (;;) serveEmbeddedAgentOnce(1000000);
}

int run(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    if (output) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int countLines(const std::string& text, const char* part) {
  int n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += std::strlen(part)) ++n;
  return n;
}

// Seconds of one walk; objects it returned in *objects.
double timedWalk(const std::string& command, int* objects) {
  std::string out;
  auto start = Clock::now();
  int status = run(command, &out);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *objects = status == 0 ? countLines(out, "\n.1.3.6.1.4.1.") + (out.rfind(".1.3.6.1.4.1.", 0) == 0) : -1;
  return seconds;
}

bool loopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  req.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  if (unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
    std::fprintf(stderr, "snmp_walk: needs root for a network namespace\n");
    return 1;
  }
  char pattern[] = "/tmp/bench_snmp_walk.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  setenv("MIBS", "", 1);
  setenv("SNMP_PERSISTENT_DIR", dir.c_str(), 1);
  setenv("SNMPCONFPATH", dir.c_str(), 1);

  // The model: 20 ports, 40 device slots.
  std::filesystem::create_directories(dir + "/conf.d");
  std::filesystem::create_directories(dir + "/etc");
  std::ofstream(dir + "/conf.d/product_params") << kProductParams;
  setDataRoot(dir.c_str());
  readProductParams(productParams());
  setRuntimeEnv();
  setUsbTableLimits(productParams().usbtable_product_id);

  const std::string ourConfig = dir + "/ours.conf";
  std::ofstream(ourConfig) << "agentaddress udp:127.0.0.1:161\nrocommunity tavrin\n";
  std::thread(agentMain, ourConfig).detach();
  for (int i = 0; i < 500 && !agentReady; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!agentReady) {
    std::fprintf(stderr, "snmp_walk: the agent did not start\n");
    return 1;
  }

  const std::string walkOurs = "snmpwalk -v2c -c tavrin -On -t 5 -r 0 127.0.0.1 .1.3.6.1.4.1.32473";
  std::string listing;
  if (run(walkOurs, &listing) != 0) {
    std::fprintf(stderr, "snmp_walk: walk failed: %s\n", listing.c_str());
    return 1;
  }
  const int objects = countLines(listing, "\n.1.3.6.1.4.1.") + 1;

  // The baseline: as many scalars, half INTEGER, half OCTET STRING.
  const std::string baseConfig = dir + "/snmpd.conf";
  {
    std::ofstream conf(baseConfig);
    conf << "agentaddress udp:127.0.0.1:1161\nrocommunity tavrin\n";
    for (int i = 1; i <= objects; ++i) {
      if (i % 2)
        conf << "override .1.3.6.1.4.1.99998.1." << i << ".0 integer " << i << "\n";
      else
        conf << "override .1.3.6.1.4.1.99998.1." << i << ".0 octet_str value-" << i << "\n";
    }
  }
  pid_t snmpd = fork();
  if (snmpd == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execlp("snmpd", "snmpd", "-f", "-Lf", "/dev/null", "-C", "-c", baseConfig.c_str(), "-p",
           (dir + "/snmpd.pid").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string walkBase = "snmpwalk -v2c -c tavrin -On -t 5 -r 0 127.0.0.1:1161 .1.3.6.1.4.1.99998";
  int baseObjects = -1;
  for (int i = 0; i < 100 && baseObjects != objects; ++i) {
    timedWalk(walkBase, &baseObjects);
    if (baseObjects != objects) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (baseObjects != objects) {
    std::fprintf(stderr, "snmp_walk: snmpd serves %d objects, not %d\n", baseObjects, objects);
    kill(snmpd, SIGTERM);
    return 1;
  }

  std::printf("snmp_walk: %d objects in the private subtree, %d rounds\n", objects, rounds);
  struct Kind {
    const char* name;
    std::string ours;
    std::string base;
  } kinds[] = {
      {"snmpwalk (GETNEXT)", walkOurs, walkBase},
      {"snmpbulkwalk", "snmpbulkwalk -v2c -c tavrin -On -t 5 -r 0 127.0.0.1 .1.3.6.1.4.1.32473",
       "snmpbulkwalk -v2c -c tavrin -On -t 5 -r 0 127.0.0.1:1161 .1.3.6.1.4.1.99998"},
  };
  int status = 0;
  for (const Kind& k : kinds) {
    double oursSeconds = 0, baseSeconds = 0;
    for (int r = 0; r < rounds; ++r) {
      int a = 0, b = 0;
      oursSeconds += timedWalk(k.ours, &a);
      baseSeconds += timedWalk(k.base, &b);
      if (a != objects || b != objects) status = 1;
    }
    const double ours = objects * rounds / oursSeconds;
    const double base = objects * rounds / baseSeconds;
    std::printf("%-20s private MIB %8.0f objects/s   snmpd overrides %8.0f objects/s   ratio %.2fx\n", k.name,
                ours, base, ours / base);
  }
  kill(snmpd, SIGTERM);
  waitpid(snmpd, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}

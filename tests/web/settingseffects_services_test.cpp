// The service settings pages of the program in host mode, each saved from
// this host over HTTP and seen taking effect at a real peer on this host's
// end of the veth: a DHCP server hands out the address, an NTP server sets
// the clock, an mDNS browser finds the new name, a trap receiver gets the
// USB plug and unplug traps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/shell_command.h"
#include "support/whole_file.h"
#include "web/support/hostmode_program.h"

namespace {

using webtest::eventuallyWithin;
using webtest::HostModeOptions;
using webtest::HostModeProgram;

const char kParamsChanged[] = "Parameters have been changed.";
const char kRestarting[] = "The device is restarting.";
const char kPython[] = "/usr/bin/python3";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A text unique to this test process (the peers of tests running side by
// side share multicast groups and this host's routing table).
std::string ownTag() { return std::to_string(getpid()); }

// A device with a link-local address of its own in the parameter file.
// Without one the start-up makes a ZeroConf address and leaves it to the
// next commit: the first form saved would then restart the device. The
// address differs per test process, since this host routes each
// instance's address to its own veth.
HostModeOptions ownAddress(std::vector<std::string> params = {}) {
  const int pid = getpid();
  params.push_back("ip_addr = 169.254." + std::to_string(1 + pid / 250 % 250) + "." + std::to_string(1 + pid % 250));
  params.push_back("ip_mask = 255.255.0.0");
  HostModeOptions options;
  options.params = params;
  return options;
}

// A scratch directory and a peer daemon of the test's own: the daemon is
// stopped and the directory removed at the end.
class Peer {
 public:
  Peer() {
    char pattern[] = "/tmp/fxpeer.XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      if (!eventuallyWithin(10, [&] { return waitpid(pid_, &status, WNOHANG) != 0; })) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return !dir_.empty(); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }
  // Starts the command (stdout and stderr into the file "log").
  bool start(const std::string& command) {
    pid_ = spawnShell("exec " + command + " >" + path("log") + " 2>&1");
    return pid_ > 0;
  }
  // False once the daemon has ended (it is then reaped).
  bool running() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) != 0) pid_ = -1;
    return pid_ > 0;
  }
  std::string log() const { return readWholeFile(path("log")); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// The text of the table cell after the row heading `heading` ("" none).
std::string cellAfter(const std::string& page, const std::string& heading) {
  std::smatch m;
  const std::regex row("<th>" + heading + "</th><td>([^<]*)</td>");
  return std::regex_search(page, m, row) ? m[1].str() : "";
}

// The page's "HeadInfo" line ("" none).
std::string headInfo(const std::string& page) {
  std::smatch m;
  static const std::regex info("<p id=\"HeadInfo\"[^>]*>([^<]*)</p>");
  return std::regex_search(page, m, info) ? m[1].str() : "";
}

// ---- IPv4: DHCP ----

TEST(SettingsEffectsServices, DhcpSwitchedOnLeasesAnAddressFromTheLanServer) {
  const std::string missing = HostModeProgram::missingFor({"/usr/sbin/dnsmasq"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  HostModeOptions options;
  // A device with a link-local address and every address source off but
  // the page's.
  options.params = {"ip_dhcp = off", "ip_bootp = off", "ip_auto = off"};
  ASSERT_TRUE(program.launch(options)) << program.failure();

  // A private subnet of this process's own on this host's end of the veth,
  // served by dnsmasq bound to that interface only.
  const int pid = getpid();
  const std::string net = "10." + std::to_string(100 + (pid >> 8) % 150) + "." + std::to_string(pid % 256) + ".";
  ASSERT_TRUE(runQuietly("ip addr add " + net + "1/24 dev " + program.hostInterface()));
  Peer dhcp;
  ASSERT_TRUE(dhcp.ok());
  ASSERT_TRUE(dhcp.start("dnsmasq --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces "
                         "--interface=" + program.hostInterface() + " --except-interface=lo --port=0 --user=root "
                         "--dhcp-range=" + net + "50," + net + "150,255.255.255.0,1h --dhcp-leasefile=" +
                         dhcp.path("leases") + " --pid-file=" + dhcp.path("pid") + " --log-dhcp"));
  ASSERT_TRUE(eventuallyWithin(30, [&] { return contains(dhcp.log(), "DHCP, IP range"); })) << dhcp.log();

  const int restarts = program.restarts();
  const std::string answer = program.postForm("/network/ipv4.html", "action=set&ip_dhcp=on");
  EXPECT_TRUE(contains(answer, kRestarting)) << answer.substr(0, 800);
  EXPECT_TRUE(program.paramsFileHas("ip_dhcp", "on"));
  ASSERT_TRUE(program.waitForRestartAfter(restarts)) << program.failure();

  EXPECT_TRUE(eventuallyWithin(90, [&] { return program.paramsFileHas("ip_setby", "dhcp"); }))
      << "ip_setby " << program.paramsValue("ip_setby") << "\n" << dhcp.log() << program.failure();
  const std::string leased = program.paramsValue("ip_addr");
  const std::regex inRange(std::regex_replace(net, std::regex("\\."), "\\.") + "([0-9]+)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(leased, m, inRange)) << "ip_addr " << leased;
  const int host = std::atoi(m[1].str().c_str());
  EXPECT_TRUE(host >= 50 && host <= 150) << leased;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    return contains(program.inNamespace("ip -4 -o addr show dev eth0"), "inet " + leased + "/24");
  })) << program.inNamespace("ip -4 -o addr show dev eth0");
  EXPECT_TRUE(contains(readWholeFile(dhcp.path("leases")), " " + leased + " ")) << readWholeFile(dhcp.path("leases"));

  // The page, read at the leased address, shows where the address came from
  // and the lease.
  std::string page;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    page = commandOutput("curl -s --max-time 10 http://" + leased + "/network/ipv4.html");
    return contains(page, "DHCP lease");
  })) << page.substr(0, 3000);
  // The source's key or its display text: both spell DHCP.
  const std::string setBy = cellAfter(page, "Address set by");
  EXPECT_TRUE(setBy == "dhcp" || setBy == "DHCP") << page.substr(0, 3000);
  EXPECT_FALSE(cellAfter(page, "Lease time \\(days/hours/minutes\\)").empty()) << page.substr(0, 3000);
}

// ---- Time: the time server ----

// A value of the board's "clock" answer ("sets", "seconds", ...); -1 none.
long long clockValue(const std::string& answer, const std::string& name) {
  std::smatch m;
  const std::regex line("(^|\n)" + name + " (-?[0-9]+)\n");
  return std::regex_search(answer, m, line) ? std::atoll(m[2].str().c_str()) : -1;
}

TEST(SettingsEffectsServices, TimeServerSetsTheClockFromTheLanServer) {
  const std::string missing = HostModeProgram::missingFor({"/usr/sbin/chronyd", "ss"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  ASSERT_TRUE(program.launch(ownAddress())) << program.failure();
  // The default server's name resolves nowhere here: the clock is unset.
  ASSERT_EQ(clockValue(program.board("clock"), "sets"), 0) << program.board("clock");

  // chrony as the LAN's time server on this host's end of the veth, its
  // own clock taken as the reference and never adjusted (-x).
  Peer ntp;
  ASSERT_TRUE(ntp.ok());
  ntp.write("chrony.conf", "bindaddress " + program.hostAddress() +
                               "\nport 123\ncmdport 0\nbindcmdaddress /\nallow\nlocal stratum 8\n"
                               "pidfile " + ntp.path("chronyd.pid") + "\ndriftfile " + ntp.path("drift") + "\n");
  ASSERT_TRUE(ntp.start("chronyd -x -d -u root -f " + ntp.path("chrony.conf")));
  ASSERT_TRUE(eventuallyWithin(30, [&] {
    return runQuietly("ss -Hlun src " + program.hostAddress() + ":123 | grep -q .");
  })) << ntp.log();

  const std::string answer =
      program.postForm("/device/time.html", "action=set&ntp=on&ntp_server=" + program.hostAddress());
  EXPECT_EQ(headInfo(answer), kParamsChanged) << answer.substr(0, 300);
  EXPECT_TRUE(program.paramsFileHas("ntp_server", program.hostAddress()));

  // The change starts an exchange at once; a try that found the server not
  // yet answering is repeated after the retry wait, reached by moving the
  // program clock.
  std::string clock;
  bool set = false;
  for (int i = 0; i < 30 && !set; ++i) {
    set = eventuallyWithin(2, [&] {
      clock = program.board("clock");
      return clockValue(clock, "sets") >= 1;
    });
    if (!set) program.board("ticks +1600");
  }
  ASSERT_TRUE(set) << clock << ntp.log() << program.failure();
  // The clock set is the server's (this host's), not some other time.
  const long long now = static_cast<long long>(std::time(nullptr));
  const long long seconds = clockValue(clock, "seconds");
  EXPECT_LT(std::llabs(seconds - now), 600) << clock;
  EXPECT_TRUE(ntp.running()) << ntp.log();
}

// ---- Bonjour: the announced name ----

TEST(SettingsEffectsServices, BonjourNameIsBrowsedAndShownAsAnnounced) {
  const std::string missing = HostModeProgram::missingFor({kPython});
  if (!missing.empty()) GTEST_SKIP() << missing;
  if (!runQuietly(std::string(kPython) + " -c 'import zeroconf'")) GTEST_SKIP() << "needs python3-zeroconf";
  HostModeProgram program;
  ASSERT_TRUE(program.launch(ownAddress())) << program.failure();
  const std::string browse = std::string(kPython) + " " TEST_SOURCE_DIR "/tests/web/tools/bonjour_browse.py " +
                             program.hostAddress() + " 10 _http._tcp.local. ";

  // Without a name of its own the device announces product@device name.
  std::string page;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    page = program.get("/network/bonjour.html");
    return cellAfter(page, "Name announced now") == "myHub-20D@HUB-35307";
  })) << "announced: " << cellAfter(page, "Name announced now");

  const std::string name = "Lab " + ownTag();
  const std::string answer =
      program.postForm("/network/bonjour.html", "action=set&bonjour=on&bonjour_name=Lab+" + ownTag());
  EXPECT_EQ(headInfo(answer), kParamsChanged) << answer.substr(0, 300);
  // The responder keeps the name it announces ("<name> (2)") in the file.
  EXPECT_TRUE(program.paramsFileHas("bonjour_name", name + "( \\(2\\))?"));

  // A name of the user's own is announced with a conflict number, so a
  // second device given the same name stays apart.
  std::string found;
  EXPECT_TRUE(eventuallyWithin(60, [&] {
    found = commandOutput(browse + "'" + name + " ('");
    return !found.empty();
  })) << program.failure();
  EXPECT_TRUE(contains(found, name + " (2)._http._tcp.local.|80|")) << found;
  EXPECT_TRUE(contains(found, program.address())) << found;

  page = program.get("/network/bonjour.html");
  EXPECT_EQ(cellAfter(page, "Name announced now"), name + " (2)") << page.substr(0, 3000);
}

// ---- Notification: SNMP traps ----

// snmptrapd as the LAN's trap receiver on this host's end of the veth: one
// line "TRAP <source>|<security>|<generic>|<specific>|<varbinds>" per trap
// taken with the community (others are dropped).
class TrapReceiver {
 public:
  bool start(const std::string& address, const std::string& community) {
    if (!peer_.ok()) return false;
    peer_.write("snmptrapd.conf", "authCommunity log,execute,net " + community + "\n");
    const bool started = peer_.start("env SNMP_PERSISTENT_DIR=" + peer_.path("") + " MIBS= snmptrapd -f -Lo -C -c " +
                                     peer_.path("snmptrapd.conf") + " -F 'TRAP %b|%P|%w|%q|%v\\n' udp:" + address +
                                     ":162");
    return started && eventuallyWithin(30, [&] { return runQuietly("ss -Hlun src " + address + ":162 | grep -q ."); });
  }
  // The trap lines received so far that hold every text of `parts`.
  int count(std::initializer_list<std::string> parts) const {
    std::istringstream in(peer_.log());
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      if (line.rfind("TRAP ", 0) != 0) continue;
      bool all = true;
      for (const std::string& part : parts) all = all && contains(line, part);
      n += all ? 1 : 0;
    }
    return n;
  }
  std::string traps() const {
    std::istringstream in(peer_.log());
    std::string line, out;
    while (std::getline(in, line))
      if (line.rfind("TRAP ", 0) == 0) out += line + "\n";
    return out;
  }
  bool running() { return peer_.running(); }

 private:
  Peer peer_;
};

TEST(SettingsEffectsServices, TrapDestinationReceivesUsbPlugAndUnplugTraps) {
  const std::string missing = HostModeProgram::missingFor({"/usr/sbin/snmptrapd", "ss"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  ASSERT_TRUE(program.launch(ownAddress())) << program.failure();
  const std::string community = "fx" + ownTag();
  TrapReceiver receiver;
  ASSERT_TRUE(receiver.start(program.hostAddress(), community)) << "snmptrapd did not start";

  const std::string form = "action=set&trapto_1=" + program.hostAddress() + "&trapcommu_1=" + community +
                           "&trapdev=on&trappup=on";
  const std::string answer = program.postForm("/device/notify.html", form);
  EXPECT_EQ(headInfo(answer), kParamsChanged) << answer.substr(0, 300);
  EXPECT_TRUE(program.paramsFileHas("trapto_1", program.hostAddress()));
  EXPECT_TRUE(program.paramsFileHas("trapcommu_1", community));
  EXPECT_TRUE(program.paramsFileHas("trapdev", "on"));

  // The notification service learns at its start whether any trap
  // destination is set: a first destination takes effect at the next
  // start, which the administrator asks for on the restart page.
  const int restarts = program.restarts();
  const std::string restartPage = program.get("/maintenance/restart.cgi");
  EXPECT_TRUE(contains(restartPage, kRestarting)) << restartPage.substr(0, 800);
  ASSERT_TRUE(program.waitForRestartAfter(restarts)) << program.failure();

  // The service waits 15 s (program clock) after its start and then sends
  // its start trap: move the clock on until that trap is in. A move before
  // the task has taken its deadline is repeated.
  const std::string agent = "[" + program.address() + "]:";
  const std::string ownCommunity = "community " + community + "|";
  bool started = false;
  for (int i = 0; i < 30 && !started; ++i) {
    program.board("ticks +1600");
    started = eventuallyWithin(2, [&] { return receiver.count({agent, ownCommunity}) >= 1; });
  }
  ASSERT_TRUE(started) << "no start trap\n" << receiver.traps() << program.failure();

  // A device of this test's own on the free hub port: its serial tells its
  // traps from those of the devices present at the start.
  const std::string serial = "FX" + ownTag();
  ASSERT_EQ(program.usbHost("plug 1-1.4 hid manufacturer=Fx product=Pad serial=" + serial), "ok\n");
  EXPECT_TRUE(eventuallyWithin(60, [&] {
    return receiver.count({agent, ownCommunity, "\"device attached\"", "\"" + serial + "\""}) == 1;
  })) << receiver.traps();
  ASSERT_EQ(program.usbHost("unplug 1-1.4"), "ok\n");
  EXPECT_TRUE(eventuallyWithin(60, [&] {
    return receiver.count({agent, ownCommunity, "\"device detached\"", "\"" + serial + "\""}) == 1;
  })) << receiver.traps();
  EXPECT_TRUE(receiver.running());

  // The page counts what went to destination 1: the start trap, the two of
  // the test's device and any of the devices present at the start.
  std::string page;
  int received = 0;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    page = program.get("/device/notify.html");
    received = receiver.count({agent, ownCommunity});
    return cellAfter(page, "Traps sent") == std::to_string(received);
  })) << "received " << received << ", page: " << cellAfter(page, "Traps sent") << "\n" << receiver.traps();
}

}  // namespace

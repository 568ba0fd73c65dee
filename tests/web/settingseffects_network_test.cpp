// The network settings pages of the program in host mode, saved over HTTP
// from this host: each change is seen where it matters, at a peer on the
// namespace's link (a name server, a USB client, ping) and in the
// namespace's own configuration (addresses, routes, packet filter).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/shell_command.h"
#include "support/whole_file.h"
#include "web/support/hostmode_program.h"

namespace {

using webtest::eventuallyWithin;
using webtest::HostModeOptions;
using webtest::HostModeProgram;

const char kSaved[] = "Parameters have been changed.";
const char kRestarting[] = "The device is restarting.";

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Addresses of this test's own link, different per process so tests running
// side by side never share a subnet: the IPv4 benchmarking range and the
// IPv6 documentation prefix, neither of which is routed anywhere else.
std::string subnet4() { return "198.18." + std::to_string(getpid() % 250 + 1) + "."; }
std::string prefix6() {
  char text[32];
  std::snprintf(text, sizeof text, "2001:db8:%x::", static_cast<unsigned>(getpid() & 0xffff));
  return text;
}

std::string usbList(const std::string& host, int timeoutMs = 10000) {
  // The outer limit only guards the test; the client keeps to its own.
  return "timeout 60 " TEST_BINARY_DIR "/tools/usbclient --timeout " + std::to_string(timeoutMs) + " --host " + host + " list";
}

// The address this host sends from to the given one.
std::string sourceAddressTo(const std::string& address) {
  const std::string route = commandOutput("ip -4 -o route get " + address);
  const size_t at = route.find(" src ");
  if (at == std::string::npos) return "";
  return route.substr(at + 5, route.find(' ', at + 5) - (at + 5));
}

// Starts the program with a fixed address whose gateway is this host's end
// of the veth. The launcher makes that end only as it starts, so a watcher
// gives it the gateway address as soon as it exists; until then the program
// could not answer this host.
bool launchWithStaticAddress(HostModeProgram& program, HostModeOptions options) {
  const std::string net = subnet4();
  for (const std::string& line : {"ip_addr = " + net + "20", std::string("ip_mask = 255.255.255.0"),
                                  "ip_gate = " + net + "1", std::string("ip_dhcp = off"),
                                  std::string("ip_bootp = off")})
    options.params.push_back(line);
  std::atomic<bool> launched{false};
  std::thread watcher([&] {
    eventuallyWithin(90, [&] {
      return launched.load() || runQuietly("ip addr add " + net + "1/24 dev " + program.hostInterface());
    });
  });
  const bool ok = program.launch(options);
  launched = true;
  watcher.join();
  // The launcher's own route to the program (and with it the source of
  // this host's packets) follows the address a moment later.
  return ok && eventuallyWithin(30, [&] {
           return !commandOutput("ip route show " + net + "20/32 dev " + program.hostInterface()).empty();
         });
}

// dnsmasq on this host's end of the veth, answering one name; ended with
// the test.
class NameServer {
 public:
  ~NameServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool start(const std::string& address, const std::string& logFile) {
    // Only on the given address: no loopback socket that other name
    // servers on this machine may hold.
    pid_ = spawnShell("exec dnsmasq --conf-file=/dev/null --keep-in-foreground --no-resolv --no-hosts "
                      "--bind-interfaces --except-interface=lo --listen-address=" + address +
                      " --port=53 --user=root --pid-file= --address=/name.test/192.0.2.55 --log-queries"
                      " --log-facility=" + logFile);
    return pid_ > 0 && eventuallyWithin(30, [&] {
             return !commandOutput("ss -Hlun src " + address + " sport = :53").empty();
           });
  }

 private:
  pid_t pid_ = -1;
};

TEST(SettingsEffectsNetwork, DnsPageNameServerAnswersTheProgramsLookups) {
  const std::string missing = HostModeProgram::missingFor({"dnsmasq", "nsenter", "getent", "ss"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  ASSERT_TRUE(program.launch()) << program.failure();
  NameServer dns;
  const std::string server = program.hostAddress();
  ASSERT_TRUE(dns.start(server, program.root() + "/dnsmasq.log")) << readWholeFile(program.root() + "/dnsmasq.log");
  const auto lookup = [&] {
    return commandOutput("nsenter -t " + std::to_string(program.programPid()) + " -m -n getent hosts name.test");
  };
  EXPECT_FALSE(has(lookup(), "192.0.2.55")) << "answered before any name server was set";

  // Name servers are of the restart class: the services reload them, the
  // device keeps running (also after a start on a link-local address).
  const int restarts = program.restarts();
  const std::string page = program.postForm("/network/dns.html", "action=set&__dns=off&dns=on&dns_primary=" + server);
  EXPECT_TRUE(has(page, kSaved)) << page.substr(0, 1500);
  EXPECT_FALSE(has(page, kRestarting));
  EXPECT_TRUE(program.paramsFileHas("dns_primary", server));

  std::string resolver;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    resolver = readWholeFile(program.root() + "/etc/resolv.conf");
    return has(resolver, "nameserver " + server + "\n");
  })) << resolver;
  std::string answer;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    answer = lookup();
    return has(answer, "192.0.2.55");
  })) << answer << "\n" << readWholeFile(program.root() + "/dnsmasq.log");
  EXPECT_EQ(program.restarts(), restarts) << program.failure();
}

TEST(SettingsEffectsNetwork, PortAccessFilterDropsTheUsbPortForOtherAddresses) {
  const std::string missing = HostModeProgram::missingFor({"iptables-legacy"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  ASSERT_TRUE(launchWithStaticAddress(program, {})) << program.failure();
  const std::string self = sourceAddressTo(program.address());
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(eventuallyWithin(60, [&] { return runQuietly(usbList(program.address())); })) << "no USB list";
  const auto rules = [&] { return program.inNamespace("iptables-legacy -S INPUT"); };
  const std::string dropUsb = "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP\n";

  struct Step {
    const char* what;
    std::string filter;
    const char* testMode;
    bool served;
  } steps[] = {
      {"filter naming another address, on trial", "192.0.2.99", "on", false},
      {"filter naming this host, confirmed", self, "off", true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const int restarts = program.restarts();
    const std::string page = program.postForm(
        "/security/port_access.html",
        "action=set&__protection=off&protection=on&protection_level=protec_zov&protection_test=" +
            std::string(step.testMode) + "&__ip_filter_on_1=off&ip_filter_on_1=on&ip_filter_1=" + step.filter);
    EXPECT_TRUE(has(page, kRestarting)) << page.substr(0, 1500);
    EXPECT_TRUE(program.paramsFileHas("protection", "on"));
    EXPECT_TRUE(program.paramsFileHas("ip_filter_1", step.filter));
    ASSERT_TRUE(program.waitForRestartAfter(restarts)) << program.failure();

    std::string shown;
    EXPECT_TRUE(eventuallyWithin(30, [&] {
      shown = rules();
      return has(shown, "-A INPUT -s " + step.filter + "/32 -j ACCEPT\n") && has(shown, dropUsb);
    })) << shown;
    // The trial is announced on every page until the next start.
    EXPECT_EQ(has(program.get("/security/port_access.html"), "test mode active"), step.testMode == std::string("on"));
    if (step.served) {
      EXPECT_TRUE(eventuallyWithin(60, [&] { return runQuietly(usbList(program.address())); }))
          << "the USB port refuses the allowed host\n" << shown;
    } else {
      EXPECT_FALSE(runQuietly(usbList(program.address(), 5000))) << "the USB port serves a filtered host";
    }
  }
}

TEST(SettingsEffectsNetwork, Ipv4PageStaticAddressTakesOverAfterTheRestart) {
  const std::string missing = HostModeProgram::missingFor();
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  ASSERT_TRUE(program.launch()) << program.failure();
  // The start on a link-local address shows where the address came from.
  const std::string before = program.get("/network/ipv4.html");
  EXPECT_TRUE(has(before, "<td>ZeroConfig</td>")) << before;

  const std::string net = subnet4();
  ASSERT_TRUE(runQuietly("ip addr add " + net + "1/24 dev " + program.hostInterface()));
  const int restarts = program.restarts();
  const std::string page =
      program.postForm("/network/ipv4.html", "action=set&__ip_dhcp=off&__ip_bootp=off&__ip_auto=off&ip_addr=" + net +
                                                 "20&ip_mask=255.255.255.0&ip_gate=" + net + "1");
  EXPECT_TRUE(has(page, kRestarting)) << page.substr(0, 1500);
  EXPECT_TRUE(program.paramsFileHas("ip_addr", net + "20"));
  EXPECT_TRUE(program.paramsFileHas("ip_setby", "http"));
  ASSERT_TRUE(program.waitForRestartAfter(restarts)) << program.failure();

  EXPECT_TRUE(eventuallyWithin(30, [&] { return program.address() == net + "20"; })) << program.address();
  EXPECT_TRUE(has(program.inNamespace("ip -4 -o addr show dev eth0"), "inet " + net + "20/24 "))
      << program.inNamespace("ip -4 -o addr show dev eth0");
  EXPECT_TRUE(has(program.inNamespace("ip -4 route show default"), "default via " + net + "1 dev eth0"))
      << program.inNamespace("ip -4 route");
  const std::string after = program.get("/network/ipv4.html");
  EXPECT_TRUE(has(after, "value=\"" + net + "20\"")) << after;
  EXPECT_TRUE(has(after, "<td>HTTP</td>")) << after;
  EXPECT_TRUE(eventuallyWithin(60, [&] { return runQuietly(usbList(net + "20")); })) << "no USB list at the new address";
}

TEST(SettingsEffectsNetwork, Ipv6PageAddressAnswersPing) {
  const std::string missing = HostModeProgram::missingFor({"ping"});
  if (!missing.empty()) GTEST_SKIP() << missing;
  HostModeProgram program;
  // The IPv6 settings apply beside a fixed IPv4 address (not a link-local one).
  ASSERT_TRUE(launchWithStaticAddress(program, {})) << program.failure();
  const std::string address = prefix6() + "20";
  ASSERT_TRUE(runQuietly("ip -6 addr add " + prefix6() + "1/64 dev " + program.hostInterface() + " nodad"));

  const int restarts = program.restarts();
  const std::string page = program.postForm(
      "/network/ipv6.html", "action=set&__ipv6=off&ipv6=on&__ipv6_auto=off&ipv6_addr=" + address + "&ipv6_plen=64");
  EXPECT_TRUE(has(page, kRestarting)) << page.substr(0, 1500);
  EXPECT_TRUE(program.paramsFileHas("ipv6_addr", address));
  ASSERT_TRUE(program.waitForRestartAfter(restarts)) << program.failure();

  std::string shown;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    shown = program.inNamespace("ip -6 -o addr show dev eth0");
    return has(shown, "inet6 " + address + "/64 ");
  })) << shown;
  const std::string listed = program.get("/network/ipv6.html");
  EXPECT_TRUE(has(listed, "<li>" + address + "</li>")) << listed;
  EXPECT_TRUE(eventuallyWithin(60, [&] { return runQuietly("ping -6 -c 1 -W 2 " + address); }))
      << "no echo reply from " << address;
}

}  // namespace

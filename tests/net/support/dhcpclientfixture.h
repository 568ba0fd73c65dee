// Fixture of the "Bootp" tests: eth0 with a link-local address as at the
// appliance's start, the far end of the veth in a second namespace for a
// DHCP server, the client's parameters restored afterwards.
#ifndef TESTS_NET_SUPPORT_DHCPCLIENTFIXTURE_H
#define TESTS_NET_SUPPORT_DHCPCLIENTFIXTURE_H

#include <cstdio>
#include <functional>
#include <string>

#include "net/address/addresssetters.h"
#include "net/address/zeroconf.h"
#include "net/dhcp/bootptask.h"
#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "net/support/clienttask.h"
#include "net/support/dhcpserver.h"
#include "net/support/netfixture.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/uptime.h"

inline bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

class DhcpClientTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* key : {"ip_dhcp", "ip_bootp", "ip_bootp_addr", "sys_name", "dns", "dns_primary",
                            "dns_secondary", "dns_domain", "ntp_server", "ip_auto"})
      params_.save(key);
    PrivateNetwork::run("mkdir -p " + network_.dataRootDir() + "/etc");
    std::string why;
    if (!server_.create(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(PrivateNetwork::run("ip link set eth0 up"));
    uint8_t mac[6];
    ASSERT_EQ(nif_.getMacAddress(mac), 1);
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    mac_ = text;
    setParam("ip_dhcp", "on");
    setParam("ip_bootp", "off");
    setParam("ip_bootp_addr", "0.0.0.0");
    setParam("sys_name", "");
    setParam("dns", "on");
    setParam("dns_primary", "0.0.0.0");
    setParam("dns_secondary", "0.0.0.0");
    setParam("dns_domain", "");
    setParam("ip_mask", "0.0.0.0");
    setParam("ip_gate", "0.0.0.0");
    // The device starts, as on the appliance, with a link-local address.
    resetToZeroconf();
  }

  void TearDown() override {
    EXPECT_TRUE(quitTasksNamed("Bootp"));
    server_.stop();
    NetworkTest::TearDown();
  }

  // Back to a link-local address set by the start-up, as before a test.
  void resetToZeroconf() {
    IpAddress zeroconf;
    makeZeroconfAddress(zeroconf, nif_);
    setAsInterfaceAddress(zeroconf, nif_, "zconf", 1);
    nif_.routeLinkLocal();
    setParam("ip_bootp_addr", "0.0.0.0");
  }

  void startServer(const std::string& lease, const std::string& extra = "") {
    std::string why;
    ASSERT_TRUE(server_.start(lease, extra, &why)) << why;
  }

  void startClient() {
    BootpTask* task = new BootpTask(&nif_);
    ASSERT_GT(task->start(20480), 0);
  }

  static bool boundByDhcp() {
    return paramText("ip_setby") == "dhcp" && startsWith(paramText("ip_addr"), "10.77.0.");
  }

  // Moves the program clock in steps, waiting after each for the
  // condition: the client wakes at least once a second to see the clock.
  static bool shiftUntil(int64_t stepCs, const std::function<bool()>& condition, int steps = 30) {
    for (int i = 0; i < steps; ++i) {
      if (waitUntil(condition, 300)) return true;
      shiftUptimeForTesting(stepCs);
    }
    return condition();
  }

  // Moves the program clock to offsetCs past the start of the current
  // lease and holds it there while the client acts, so no deadline of the
  // client passes before an answer it waits for is in. The lease start is
  // read again each round: a bind still under way when the clock moved
  // starts its lease at the moved time, and the next round follows it.
  static bool holdAtLeaseOffset(int64_t offsetCs, const std::function<bool()>& condition, int rounds = 4) {
    for (int i = 0; i < rounds; ++i) {
      const int64_t ahead = dhcpLeaseStart.load() + offsetCs - uptimeCs();
      if (ahead > 0) shiftUptimeForTesting(ahead);
      if (waitUntil(condition, 10000)) return true;
    }
    return false;
  }

  DhcpServer server_;
  std::string mac_;
};

#endif

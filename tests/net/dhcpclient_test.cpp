// The "Bootp" task against dnsmasq in a second namespace on the veth's far
// end: leases, renewal, rebinding, fall-back, BOOTP and restarts. The
// program clock is moved to reach lease times; real waits are bounded.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "net/address/addresssetters.h"
#include "net/address/zeroconf.h"
#include "net/dhcp/bootptask.h"
#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "net/support/clienttask.h"
#include "net/support/dhcpclientfixture.h"
#include "net/support/dhcpserver.h"
#include "net/support/netfixture.h"
#include "net/support/packetcapture.h"
#include "runtime/socket/ipaddress.h"
#include "runtime/task/uptime.h"

namespace {

TEST_F(DhcpClientTest, LeaseSetsAddressNamesAndServersThenRenewsOnce) {
  startServer("2m", "--dhcp-option=option:dns-server,10.77.0.53,10.77.0.54 --dhcp-option=option:domain-name,ex.test"
                    " --dhcp-option=option:ntp-server,10.77.0.123 --dhcp-host=" + mac_ + ",leased-name");
  startClient();
  // The address comes first, mask and gateway route after it.
  ASSERT_TRUE(waitUntil([] {
    return boundByDhcp() && routes().find("default via 10.77.0.1 dev eth0") != std::string::npos;
  })) << server_.log() << routes();
  const std::string address = paramText("ip_addr");
  EXPECT_EQ(paramText("ip_mask"), "255.255.255.0");
  EXPECT_EQ(paramText("ip_gate"), DhcpServer::kAddress);
  EXPECT_EQ(paramText("ip_bootp_addr"), address);
  EXPECT_EQ(paramText("dns_primary"), "10.77.0.53");
  EXPECT_EQ(paramText("dns_secondary"), "10.77.0.54");
  EXPECT_EQ(paramText("dns_domain"), "ex.test");
  EXPECT_EQ(paramText("ntp_server"), "10.77.0.123");
  EXPECT_EQ(paramText("sys_name"), "leased-name");
  EXPECT_NE(addressLines("eth0").find(address + "/24"), std::string::npos) << addressLines("eth0");
  EXPECT_NE(routes().find("default via 10.77.0.1 dev eth0"), std::string::npos) << routes();
  // Saved in the parameter file once the bind is through.
  std::string saved;
  EXPECT_TRUE(waitUntil([&] {
    saved = PrivateNetwork::output("cat " + network_.dataRootDir() + "/etc/params.dat");
    return saved.find(address) != std::string::npos;
  })) << saved;
  EXPECT_NE(saved.find("leased-name"), std::string::npos);
  // The bind changed parameters: the broadcast it sent brings one renewal.
  EXPECT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 2; })) << server_.log();
  EXPECT_EQ(server_.count("DHCPDISCOVER("), 1);
}

TEST_F(DhcpClientTest, RenewsByUnicastAtT1RebindsAtT2AndFallsBackAtLeaseEnd) {
  if (!server_.runInside("iptables-legacy -L INPUT")) GTEST_SKIP() << "iptables-legacy is not usable";
  startServer("2m", "--dhcp-option=option:T1,60 --dhcp-option=option:T2,90");
  startClient();
  ASSERT_TRUE(waitUntil(boundByDhcp)) << server_.log();
  ASSERT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 2; })) << server_.log();
  const std::string leased = paramText("ip_addr");

  // Unicast to the server's port 67 is dropped in its namespace: the
  // renewal at T1 is counted by the rule, and only the broadcast at T2 is
  // answered.
  ASSERT_TRUE(server_.runInside("iptables-legacy -I INPUT -p udp -d 10.77.0.1 --dport 67 -j DROP"));
  auto droppedUnicasts = [&] {
    const std::string out = PrivateNetwork::output("ip netns exec " + server_.namespaceName() +
                                                   " iptables-legacy -L INPUT -v -n -x | grep DROP");
    long packets = 0;
    std::sscanf(out.c_str(), "%ld", &packets);
    return packets;
  };
  // The clock goes to points of the lease (T1 60 s, T2 90 s, end 120 s)
  // and stays there until the client has acted.
  const int64_t beforeT1 = dhcpLeaseStart.load() + 5500 - uptimeCs();
  if (beforeT1 > 0) shiftUptimeForTesting(beforeT1);
  EXPECT_EQ(droppedUnicasts(), 0) << "nothing before T1";
  const int acks = server_.count("DHCPACK(");
  ASSERT_TRUE(holdAtLeaseOffset(6100, [&] { return droppedUnicasts() >= 1; }));
  EXPECT_EQ(paramText("ip_addr"), leased);
  EXPECT_EQ(server_.count("DHCPACK("), acks) << "the renewal went unanswered";
  // The rebinding's lease starts after T2, later than the one renewed.
  const int64_t renewedLease = dhcpLeaseStart.load();
  ASSERT_TRUE(holdAtLeaseOffset(9100, [&] {
    return server_.count("DHCPACK(") > acks && dhcpLeaseStart.load() > renewedLease;
  })) << server_.log();
  EXPECT_EQ(paramText("ip_addr"), leased);
  EXPECT_EQ(paramText("ip_setby"), "dhcp");

  // No server: the address is kept until the lease ends, then the client
  // falls back to a link-local address and asks again.
  server_.stop();
  ASSERT_TRUE(holdAtLeaseOffset(12100, [] { return paramText("ip_setby") == "zconf"; }));
  EXPECT_TRUE(startsWith(paramText("ip_addr"), "169.254.")) << paramText("ip_addr");
  EXPECT_EQ(paramText("ip_bootp_addr"), "0.0.0.0");
  // The link-local route follows the address.
  EXPECT_TRUE(waitUntil([] { return routes().find("default dev eth0 scope link") != std::string::npos; }))
      << routes();

  // A server again: one move of the clock ends a wait for an offer that
  // went unanswered while there was none; the next exchange is answered.
  startServer("2m");
  shiftUptimeForTesting(600);
  ASSERT_TRUE(waitUntil(boundByDhcp)) << server_.log();
}

TEST_F(DhcpClientTest, StoredLeaseOutsideTheRangeFallsBackThenDiscovers) {
  struct Case {
    const char* what;
    const char* extra;
    bool nak;
  } cases[] = {{"authoritative server: NAK", "--dhcp-authoritative", true}, {"no answer", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // An old lease of this subnet that the server does not know.
    setAsInterfaceAddress(IpAddress().fromIp4Bytes(10, 77, 0, 200), nif_, "dhcp", 1);
    setParam("ip_bootp_addr", "10.77.0.200");
    startServer("2m", c.extra);
    startClient();
    ASSERT_TRUE(shiftUntil(200, [] { return boundByDhcp() && paramText("ip_addr") != "10.77.0.200"; }))
        << server_.log();
    EXPECT_EQ(server_.count("DHCPNAK(") > 0, c.nak) << server_.log();
    // The DISCOVER after the fall-back asks for no address.
    EXPECT_GE(server_.count(("DHCPDISCOVER(peer0) " + mac_).c_str()), 1) << server_.log();
    EXPECT_EQ(paramText("ip_bootp_addr"), paramText("ip_addr"));
    ASSERT_TRUE(quitTasksNamed("Bootp"));
    server_.stop();
  }
}

TEST_F(DhcpClientTest, AddressSetByHandStaysWhenNoServerAnswers) {
  setAsInterfaceAddress(IpAddress().fromIp4Bytes(10, 77, 0, 9), nif_, "http", 1);
  setParam("ip_bootp_addr", "10.77.0.9");
  // dnsmasq logs the requests but answers none.
  startServer("2m", "--dhcp-ignore=tag:!known");
  startClient();
  ASSERT_TRUE(shiftUntil(200, [&] { return server_.count("DHCPDISCOVER(") >= 2; })) << server_.log();
  EXPECT_EQ(paramText("ip_addr"), "10.77.0.9");
  EXPECT_EQ(paramText("ip_setby"), "http");
  EXPECT_NE(addressLines("eth0").find("10.77.0.9/"), std::string::npos);
}

TEST_F(DhcpClientTest, InfiniteLeaseStaysBoundWhenRenewalsGoUnanswered) {
  startServer("infinite");
  startClient();
  ASSERT_TRUE(waitUntil(boundByDhcp)) << server_.log();
  ASSERT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 2; })) << server_.log();
  const std::string leased = paramText("ip_addr");
  // Days pass: an infinite lease never runs out.
  shiftUptimeForTesting(100LL * 86400 * 100);
  // Renewals now find a server that ignores them; each time the client
  // returns to the bound state, a parameter change starts the next one.
  startServer("infinite", "--dhcp-ignore=tag:!known");
  const TaskMessage changed{0, MSG_PARAMS_CHANGED, 0, 0};
  ASSERT_TRUE(shiftUntil(200, [&] {
    postToTasksNamed("Bootp", changed);
    // An ignored request shows only as its range look-up.
    return server_.count("available DHCP range") >= 2;
  })) << server_.log();
  EXPECT_EQ(paramText("ip_addr"), leased);
  EXPECT_EQ(paramText("ip_setby"), "dhcp");
  EXPECT_EQ(server_.count("DHCPDISCOVER("), 0) << "no new exchange";
}

TEST_F(DhcpClientTest, WlanAssociationStartsOverWithDiscover) {
  startServer("2m");
  startClient();
  ASSERT_TRUE(waitUntil(boundByDhcp)) << server_.log();
  ASSERT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 2; })) << server_.log();
  EXPECT_EQ(server_.count("DHCPDISCOVER("), 1);
  postToTasksNamed("Bootp", TaskMessage{0, MSG_WLAN_UP, 0, 0});
  EXPECT_TRUE(waitUntil([&] { return server_.count("DHCPDISCOVER(") >= 2; })) << server_.log();
  EXPECT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 3; })) << server_.log();
}

TEST_F(DhcpClientTest, BootpReplyIsBoundAndEndsTheClient) {
  setParam("ip_dhcp", "off");
  setParam("ip_bootp", "on");
  startServer("2m", "--bootp-dynamic");
  startClient();
  ASSERT_TRUE(waitUntil([] { return paramText("ip_setby") == "bootp"; })) << server_.log();
  EXPECT_TRUE(startsWith(paramText("ip_addr"), "10.77.0.")) << paramText("ip_addr");
  EXPECT_EQ(paramText("ip_bootp_addr"), paramText("ip_addr"));
  EXPECT_TRUE(waitUntil([] { return tasksNamed("Bootp") == 0; }));
}

TEST_F(DhcpClientTest, UnansweredBootpRequestIsRepeatedEvery120Seconds) {
  setParam("ip_dhcp", "off");
  setParam("ip_bootp", "on");
  startServer("2m");  // no --bootp-dynamic: BOOTP requests go unanswered
  startClient();
  ASSERT_TRUE(waitUntil([&] { return server_.count("BOOTP(peer0)") >= 1; })) << server_.log();
  // Moving the clock past one reply wait is not enough for a second one.
  shiftUptimeForTesting(600);
  shiftUptimeForTesting(11500);
  ASSERT_TRUE(shiftUntil(100, [&] { return server_.count("BOOTP(peer0)") >= 2; })) << server_.log();
  EXPECT_EQ(paramText("ip_setby"), "zconf");
}

}  // namespace

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (c == separator) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

TEST_F(DhcpClientTest, FramesOnTheWireAreWellFormed) {
  PacketCapture capture;
  std::string why;
  if (!capture.start(server_.namespaceName(), "peer0", server_.dir(), "udp port 67 or udp port 68", &why))
    GTEST_SKIP() << why;
  // Broadcasts from the server's end show when the capture runs.
  ASSERT_TRUE(capture.waitForFrames([&] {
    server_.runInside("sh -c 'echo marker | socat - UDP-DATAGRAM:10.77.0.255:67,broadcast'");
  }));
  setParam("sys_name", "eightchr");
  startServer("2m");
  startClient();
  ASSERT_TRUE(waitUntil([&] { return server_.count("DHCPACK(") >= 2; })) << server_.log();
  // DISCOVER, OFFER, two REQUESTs and two ACKs.
  ASSERT_TRUE(waitUntil([&] { return capture.count("DHCP ") >= 6; }));
  capture.stop();

  // Every frame of the client: both checksums verified good (1), the
  // broadcast flag, option 12 of the name's length plus one, option 61,
  // each message's request list.
  const std::string sent = capture.read("udp.srcport == 68",
      "-T fields -E separator=/t -E aggregator=, -e ip.checksum.status -e udp.checksum.status -e dhcp.id"
      " -e dhcp.flags -e dhcp.option.dhcp -e dhcp.option.type -e dhcp.option.length"
      " -e dhcp.option.request_list_item -e ip.dst");
  std::set<std::string> requestIds;
  int discovers = 0, requests = 0;
  for (const std::string& line : split(sent, '\n')) {
    if (line.empty()) continue;
    const std::vector<std::string> f = split(line, '\t');
    ASSERT_EQ(f.size(), 9u) << line;
    // The frames the client builds itself (from 0.0.0.0); the renewal
    // goes through the kernel's UDP, whose checksum the veth leaves to an
    // offload that never happens.
    if (f[8] == "255.255.255.255") {
      EXPECT_EQ(f[0], "1") << "IPv4 checksum: " << line;
      EXPECT_EQ(f[1], "1") << "UDP checksum: " << line;
    }
    requestIds.insert(f[2]);
    const std::vector<std::string> types = split(f[5], ','), lengths = split(f[6], ',');
    // The end mark has a type but no length.
    ASSERT_GE(types.size(), lengths.size()) << line;
    bool hostName = false, clientId = false;
    for (size_t i = 0; i < lengths.size(); ++i) {
      if (types[i] == "12") hostName = lengths[i] == "9";
      if (types[i] == "61") clientId = lengths[i] == "7";
    }
    EXPECT_TRUE(hostName) << line;
    EXPECT_TRUE(clientId) << line;
    if (f[4] == "1") {
      ++discovers;
      EXPECT_EQ(f[3], "0x8000") << line;
      EXPECT_EQ(f[7], "1,3,12,44") << line;
    } else if (f[4] == "3") {
      ++requests;
      EXPECT_EQ(f[7], "1,3,6,15,7,44,51,54,58,59,12,69,42,2") << line;
      // The renewal goes to the server by unicast without the flag.
      EXPECT_EQ(f[3], f[8] == "255.255.255.255" ? "0x8000" : "0x0000") << line;
    }
  }
  EXPECT_EQ(discovers, 1) << sent;
  EXPECT_EQ(requests, 2) << sent;
  // Every reply echoes an id of the client.
  const std::string replies = capture.read("udp.srcport == 67", "-T fields -e dhcp.id");
  for (const std::string& id : split(replies, '\n')) {
    if (!id.empty()) {
      EXPECT_EQ(requestIds.count(id), 1u) << id;
    }
  }
  // Nothing malformed, no expert warning or error.
  EXPECT_EQ(capture.read("udp.srcport == 68 && _ws.malformed", ""), "");
  EXPECT_EQ(capture.read("ip.src == 0.0.0.0 && _ws.expert.severity >= 0x00600000", ""), "");
}

}  // namespace

// The program's SNMP agent from outside: the built program in a namespace
// of its own, managed with Debian's snmpget, snmpwalk and snmpset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "snmp/support/programnet.h"

namespace {

const std::string kTarget = kProgramAddress;
const char kSysName[] = "1.3.6.1.2.1.1.5.0";
const char kSysUpTime[] = "1.3.6.1.2.1.1.3.0";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Everything below the host's own state directory of net-snmp.
std::string hostSnmpState() {
  std::string text;
  FILE* p = popen("find /var/lib/snmp 2>/dev/null | sort", "r");
  if (!p) return text;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) text.append(buffer, n);
  pclose(p);
  return text;
}

class ProgramSnmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!programRunsHere(&why)) GTEST_SKIP() << why;
  }
  bool start(const std::string& params) {
    std::string why;
    if (program_.start(params, &why)) return true;
    ADD_FAILURE() << why;
    return false;
  }
  // snmpget of one value (-Oqv), "" when refused or unanswered.
  std::string get(const std::string& options, const std::string& oid, const std::string& target = kTarget) {
    return trimmed(program_.peer("snmpget " + options + " -t 0.5 -r 1 -Oqv " + target + " " + oid));
  }
  bool waitForAgent(const std::string& options = "-v2c -c tavrin") {
    for (int i = 0; i < 60; ++i)
      if (!get(options, kSysName).empty()) return true;
    return false;
  }

  ProgramNet program_;
};

TEST_F(ProgramSnmpTest, ManagersReachTheAgentOverV1V2cAndV3) {
  std::string stateBefore = hostSnmpState();
  ASSERT_TRUE(start(
      "admin_pwd = admin-secret\nadmin_hash = sha\nadmin_cipher = aes\nadmin_passphrase = admin-phrase\n"
      "sys_contact = Ops desk\n"));
  ASSERT_TRUE(waitForAgent()) << program_.err();
  EXPECT_TRUE(program_.hasThread("NET-SNMPD"));

  // The system texts as written.
  EXPECT_EQ(get("-v1 -c tavrin", kSysName), "\"HUB-35307\"");
  EXPECT_EQ(get("-v1 -c tavrin", "1.3.6.1.2.1.1.1.0"),
            "\"ORV myHub-20D; SN 35320230500106, HW 1.2, FW 12, SW 5.2.7\"");
  std::string walk = program_.peer("snmpwalk -v2c -c tavrin -t 0.5 -r 1 -On " + kTarget + " 1.3.6.1.2.1.1");
  EXPECT_TRUE(contains(walk, ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473.1.1")) << walk;
  EXPECT_TRUE(contains(walk, ".1.3.6.1.2.1.1.4.0 = STRING: \"Ops desk\"")) << walk;

  // A read-write community writes (sysLocation: not set by the file, so
  // the library lets it be written).
  std::string set = program_.peer("snmpset -v2c -c tavrin -t 0.5 -r 1 " + kTarget + " 1.3.6.1.2.1.1.6.0 s Lab");
  EXPECT_TRUE(contains(set, "STRING: \"Lab\"")) << set;

  // SNMPv3: Admin with SHA and AES; a wrong password is refused.
  const std::string admin = "-v3 -u Admin -l authPriv -a SHA -A admin-secret -x AES -X admin-phrase";
  EXPECT_EQ(get(admin, kSysName), "\"HUB-35307\"");
  EXPECT_EQ(get("-v3 -u Admin -l authPriv -a SHA -A wrong-secret -x AES -X admin-phrase", kSysName), "");
  // User: no authentication, read only.
  EXPECT_EQ(get("-v3 -u User -l noAuthNoPriv", kSysName), "\"HUB-35307\"");
  std::string refused =
      program_.peer("snmpset -v3 -u User -l noAuthNoPriv -t 0.5 -r 1 " + kTarget + " 1.3.6.1.2.1.1.6.0 s X 2>&1");
  EXPECT_FALSE(contains(refused, "STRING: \"X\"")) << refused;
  EXPECT_TRUE(contains(refused, "noAccess") || contains(refused, "authorizationError")) << refused;

  // rwcommunity6 over UDP on IPv6.
  ASSERT_EQ(program_.inProgramNs("ip -6 addr add fd00:5::10/64 dev eth0 nodad && echo ok"), "ok\n");
  program_.peer("ip -6 addr add fd00:5::20/64 dev peer0 nodad");
  EXPECT_EQ(get("-v2c -c tavrin", kSysName, "udp6:[fd00:5::10]:161"), "\"HUB-35307\"");

  // sysUpTime follows the program clock: the board's ticks an hour on.
  long before = std::atol(get("-v2c -c tavrin -Ot", kSysUpTime).c_str());
  ASSERT_EQ(program_.board("ticks +366100"), "ok\n");
  long after = std::atol(get("-v2c -c tavrin -Ot", kSysUpTime).c_str());
  EXPECT_GE(after - before, 366100);
  EXPECT_LT(after - before, 2 * 366100);  // moved once

  // Its sockets: UDP 161 on IPv4 and IPv6, no SMUX on TCP 199.
  std::string sockets = program_.inProgramNs("ss -lntuH");
  EXPECT_TRUE(contains(sockets, "0.0.0.0%eth0:161")) << sockets;
  EXPECT_TRUE(contains(sockets, "[::]%eth0:161")) << sockets;
  EXPECT_FALSE(contains(sockets, ":199 ")) << sockets;
  EXPECT_TRUE(contains(program_.out(), "snmpUDPDomain netsnmp_udp_transport force2face(")) << program_.out();
  EXPECT_TRUE(contains(program_.out(), "snmpUDPIPv6Domain netsnmp_udp6_transport force2face(")) << program_.out();

  EXPECT_TRUE(program_.stop()) << program_.err();
  EXPECT_FALSE(contains(program_.err(), "Cannot find module")) << program_.err();
  EXPECT_EQ(hostSnmpState(), stateBefore);
}

TEST_F(ProgramSnmpTest, ReadOnlyCommunityMd5DesAndValuesThatNeedQuoting) {
  // A blank in the community and the user name, a quote and a backslash
  // in a password: each reaches the library whole.
  ASSERT_TRUE(start(
      "snmpv1_ronly = on\nsnmpv1_community = my comm\n"
      "admin_pwd = admin-secret\nadmin_hash = md5\nadmin_cipher = des\nadmin_passphrase = admin-phrase\n"
      "any_name = lab user\nany_pwd = it's\\pw-9\nany_hash = sha\n"));
  ASSERT_TRUE(waitForAgent("-v2c -c 'my comm'")) << program_.err();
  EXPECT_EQ(get("-v2c -c my", kSysName), "");
  std::string set =
      program_.peer("snmpset -v2c -c 'my comm' -t 0.5 -r 1 " + kTarget + " 1.3.6.1.2.1.1.6.0 s Lab 2>&1");
  EXPECT_FALSE(contains(set, "STRING: \"Lab\"")) << set;
  EXPECT_TRUE(contains(set, "noAccess")) << set;
  EXPECT_EQ(get("-v3 -u Admin -l authPriv -a MD5 -A admin-secret -x DES -X admin-phrase", kSysName),
            "\"HUB-35307\"");
  EXPECT_EQ(get("-v3 -u 'lab user' -l authNoPriv -a SHA -A \"it's\\pw-9\"", kSysName), "\"HUB-35307\"");
}

TEST_F(ProgramSnmpTest, ManagementVlanWithoutItsDeviceLeavesNoAgent) {
  ASSERT_TRUE(start("ip4vlan_mgmt = on\nip4vlan_mgmt_id = 5\n"));
  ProgramNet* p = &program_;
  // The failed bind is printed, the agent ends and the program runs on.
  ASSERT_TRUE(eventuallyTrue([](void* c) { return contains(static_cast<ProgramNet*>(c)->out(), "rc:-1 \n"); }, p, 200))
      << program_.out() << program_.err();
  EXPECT_TRUE(eventuallyTrue([](void* c) { return !static_cast<ProgramNet*>(c)->hasThread("NET-SNMPD"); }, p, 200));
  EXPECT_TRUE(program_.running());
  EXPECT_TRUE(program_.hasThread("UsbSrvd"));
  EXPECT_EQ(get("-v2c -c tavrin", kSysName), "");
}

TEST_F(ProgramSnmpTest, NoAgentAndNoFileWithBothVersionsOff) {
  ASSERT_TRUE(start("snmpv1 = off\nsnmpv3 = off\n"));
  ProgramNet* p = &program_;
  ASSERT_TRUE(eventuallyTrue([](void* c) { return static_cast<ProgramNet*>(c)->hasThread("UsbSrvd"); }, p, 200));
  EXPECT_FALSE(program_.hasThread("NET-SNMPD"));
  EXPECT_FALSE(program_.fileExists("/var/snmpd.conf"));
  EXPECT_EQ(get("-v2c -c tavrin", kSysName), "");
}

}  // namespace

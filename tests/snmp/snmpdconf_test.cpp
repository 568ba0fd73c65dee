// The agent's configuration file as the parameters make it.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "snmp/snmpdconf.h"
#include "snmp/support/snmpparams.h"
#include "support/identity_fixture.h"
#include "support/scratch_root.h"

namespace {

const char kSystemLines[] =
    "sysObjectID .1.3.6.1.4.1.32473.1.1\n"
    "sysName     HUB-35307\n"
    "sysDescr    ORV myHub-20D; SN 35320230500106, HW 1.2, FW 12, SW 5.2.7\n";

class SnmpdConfTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    savedProduct_ = productParams();
    savedFirmware_ = firmwareParams();
    savedSoftware_ = softwareInfo();
    ASSERT_TRUE(layIdentityFixture("p353", dir_));
    readProductParams(productParams());
    readFirmwareParams(firmwareParams());
    softwareInfo() = SoftwareInfo{};
    readSoftwareInfo(softwareInfo());
    ASSERT_EQ(::mkdir(path("var").c_str(), 0755), 0);
    // The defaults of every parameter the writer reads (earlier tests of
    // this process may have changed them).
    for (const auto& kv : std::vector<std::pair<const char*, const char*>>{
             {"snmpv1", "on"}, {"snmpv1_community", "tavrin"}, {"snmpv1_ronly", "off"}, {"snmpv3", "on"},
             {"admin_name", "Admin"}, {"admin_pwd", ""}, {"admin_hash", "md5"}, {"admin_cipher", "---"},
             {"admin_passphrase", ""}, {"admin_rights", "readwrite"}, {"any_name", "User"}, {"any_pwd", ""},
             {"any_hash", "md5"}, {"any_cipher", "---"}, {"any_passphrase", ""}, {"any_rights", "readonly"},
             {"ipv6", "on"}, {"trapto_1", ""}, {"trapto_2", ""}, {"trapcommu_1", "tavrin"},
             {"trapcommu_2", "tavrin"}, {"sys_name", ""}, {"sys_contact", ""}, {"sys_descr", ""}})
      ASSERT_TRUE(params_.assign(kv.first, kv.second)) << kv.first;
  }
  void TearDown() override {
    params_.restore();
    productParams() = savedProduct_;
    firmwareParams() = savedFirmware_;
    softwareInfo() = savedSoftware_;
    ScratchRoot::TearDown();
  }

  SnmpParams params_;
  ProductParams savedProduct_{};
  FirmwareParams savedFirmware_{};
  SoftwareInfo savedSoftware_{};
};

struct Setting {
  const char* key;
  const char* value;
  bool raw;  // stored unvalidated: values the forms refuse
};

struct WriterCase {
  const char* name;
  std::vector<Setting> settings;
  const char* expectedHead;  // the file up to the system lines
  const char* expectedTail;  // after them
  int32_t counters[2];
  bool sinkFlag;
  std::vector<const char*> errors;  // expected on standard error
};

TEST_F(SnmpdConfTest, FileFromTheParameters) {
  const char* defaultsHead =
      "agentaddress udp:161,udp6:161\n"
      "createUser Admin\nrwuser \"Admin\" noauth\n"
      "createUser User\nrouser \"User\" noauth\n"
      "rwcommunity  tavrin\nrwcommunity6 tavrin\n";
  const WriterCase cases[] = {
      {"defaults", {}, defaultsHead, "", {-1, -1}, false, {}},
      {"v1 only without IPv6",
       {{"snmpv3", "off", false}, {"ipv6", "off", false}},
       "agentaddress udp:161\nrwcommunity  tavrin\n", "", {-1, -1}, false, {}},
      {"v1 read-only",
       {{"snmpv3", "off", false}, {"snmpv1_ronly", "on", false}},
       "agentaddress udp:161,udp6:161\nrocommunity  tavrin\nrocommunity6 tavrin\n", "", {-1, -1}, false, {}},
      {"admin rights none",
       {{"admin_rights", "---", false}, {"snmpv1", "off", false}},
       "agentaddress udp:161,udp6:161\ncreateUser User\nrouser \"User\" noauth\n", "", {-1, -1}, false, {}},
      {"SHA and AES",
       {{"admin_pwd", "secret-pw", false}, {"admin_hash", "sha", false}, {"admin_cipher", "aes", false},
        {"admin_passphrase", "phrase-99", false}, {"snmpv1", "off", false}},
       "agentaddress udp:161,udp6:161\ncreateUser Admin SHA 'secret-pw' AES 'phrase-99' \nrwuser \"Admin\" priv\n"
       "createUser User\nrouser \"User\" noauth\n",
       "", {-1, -1}, false, {}},
      {"MD5 without cipher",
       {{"any_pwd", "secret-pw", false}, {"any_passphrase", "phrase-99", false}, {"snmpv1", "off", false},
        {"admin_rights", "---", false}},
       "agentaddress udp:161,udp6:161\ncreateUser User MD5 'secret-pw'\nrouser \"User\" auth\n", "", {-1, -1}, false,
       {}},
      {"cipher without password",
       {{"admin_cipher", "des", false}, {"admin_passphrase", "phrase-99", false}, {"snmpv1", "off", false},
        {"any_rights", "---", false}},
       "agentaddress udp:161,udp6:161\ncreateUser Admin\nrwuser \"Admin\" noauth\n", "", {-1, -1}, false, {}},
      {"sink without community",
       {{"trapto_1", "192.0.2.5", false}, {"trapcommu_1", "", false}}, defaultsHead, "", {-1, -1}, false, {}},
      {"both sinks",
       {{"trapto_1", "192.0.2.5", false}, {"trapcommu_1", "public", false}, {"trapto_2", "192.0.2.6", false}},
       "agentaddress udp:161,udp6:161\n"
       "createUser Admin\nrwuser \"Admin\" noauth\n"
       "createUser User\nrouser \"User\" noauth\n"
       "rwcommunity  tavrin\nrwcommunity6 tavrin\n"
       "trapsink 192.0.2.5 public\ntrapsink 192.0.2.6 tavrin\n",
       "", {0, 0}, true, {}},
      {"system texts",
       {{"sys_contact", "Ops desk", false}, {"sys_descr", "Rack 4", false},
        {"snmpv1", "off", false}, {"snmpv3", "off", false}},
       "agentaddress udp:161,udp6:161\n", "sysContact  Ops desk\nsysLocation Rack 4\n", {-1, -1}, false, {}},
      {"quoting",
       {{"snmpv1_community", "my comm", false}, {"admin_name", "lab admin", false},
        {"admin_pwd", "it's\\pw-1", false}, {"admin_cipher", "aes", false}, {"admin_passphrase", "a 'b' \\c", true},
        {"any_rights", "---", false}, {"trapto_2", "192.0.2.6", false}, {"trapcommu_2", "pub'lic", false}},
       "agentaddress udp:161,udp6:161\n"
       "createUser \"lab admin\" MD5 'it\\'s\\\\pw-1' AES 'a \\'b\\' \\\\c' \nrwuser \"lab admin\" priv\n"
       "rwcommunity  \"my comm\"\nrwcommunity6 \"my comm\"\n"
       "trapsink 192.0.2.6 pub'lic\n",
       "", {-1, 0}, true, {}},
      {"what a directive cannot carry",
       {{"snmpv1_community", "say\"what", false}, {"admin_name", "back\\slash", false},
        {"any_name", "it's", false}, {"trapto_1", "192.0.2.5", false}, {"trapcommu_1", "public 999", false}},
       "agentaddress udp:161,udp6:161\n", "", {-1, -1}, false,
       {"user back\\slash left out", "user it's left out", "community left out", "trap sink 1 left out"}},
      {"short pass phrases",
       {{"admin_pwd", "short", true}, {"any_pwd", "secret-pw", false}, {"any_cipher", "aes", false},
        {"any_passphrase", "", false}, {"snmpv1", "off", false}},
       "agentaddress udp:161,udp6:161\n", "", {-1, -1}, false,
       {"user Admin left out: a password under 8", "user User left out: a privacy pass phrase under 8"}},
  };
  for (const WriterCase& c : cases) {
    SCOPED_TRACE(c.name);
    SnmpParams local;
    for (const Setting& s : c.settings)
      ASSERT_TRUE(s.raw ? local.assign(s.key, s.value) : local.set(s.key, s.value)) << s.key << "=" << s.value;
    trapSinkCounters[0] = 7;
    trapSinkCounters[1] = 7;
    bool flag = false;
    testing::internal::CaptureStderr();
    int result = writeSnmpdConf(161, &flag);
    std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(readFile("var/snmpd.conf"), std::string(c.expectedHead) + kSystemLines + c.expectedTail);
    EXPECT_EQ(trapSinkCounters[0].load(), c.counters[0]);
    EXPECT_EQ(trapSinkCounters[1].load(), c.counters[1]);
    EXPECT_EQ(flag, c.sinkFlag);
    for (const char* e : c.errors) EXPECT_NE(errors.find(e), std::string::npos) << e << " in:\n" << errors;
    if (c.errors.empty()) {
      EXPECT_EQ(errors, "");
    }
  }
}

TEST_F(SnmpdConfTest, PortNameAndSinkFlagAsGiven) {
  ASSERT_TRUE(params_.set("sys_name", "lab-hub"));
  bool flag = true;  // left as it is without a sink
  ASSERT_EQ(writeSnmpdConf(1161, &flag), 1);
  EXPECT_TRUE(flag);
  std::string text = readFile("var/snmpd.conf");
  EXPECT_EQ(text.substr(0, 32), "agentaddress udp:1161,udp6:1161\n");
  EXPECT_NE(text.find("\nsysName     lab-hub\n"), std::string::npos) << text;
}

TEST_F(SnmpdConfTest, UnwritableDirectoryKeepsCountersAndFlag) {
  ASSERT_EQ(writeSnmpdConf(161, nullptr), 1);
  ASSERT_TRUE(params_.set("trapto_1", "192.0.2.5"));
  // The directory goes away: nothing can be written.
  ASSERT_EQ(std::system(("rm -rf '" + path("var") + "'").c_str()), 0);
  bool flag = false;
  testing::internal::CaptureStderr();
  EXPECT_EQ(writeSnmpdConf(161, &flag), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(flag);
  EXPECT_EQ(trapSinkCounters[0].load(), -1);
}

TEST_F(SnmpdConfTest, NeverReadableByOthersUnderAnOpenUmask) {
  ASSERT_TRUE(params_.set("admin_pwd", "secret-pw"));
  const std::string var = path("var");
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, var.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE), 0);
  std::atomic<bool> done{false};
  std::atomic<int> seen{0};
  std::vector<std::string> exposed;
  std::thread watcher([&] {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      bool last = done.load();
      ssize_t n = read(watch, buffer, sizeof buffer);
      for (ssize_t off = 0; off < n;) {
        auto* ev = reinterpret_cast<inotify_event*>(buffer + off);
        if (ev->len > 0) {
          struct stat st;
          if (stat((var + "/" + ev->name).c_str(), &st) == 0) {
            seen++;
            if (st.st_mode & 077) exposed.push_back(ev->name);
          }
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
      if (last && n <= 0) return;
      if (n <= 0) std::this_thread::yield();
    }
  });
  mode_t saved = umask(0);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(writeSnmpdConf(161, nullptr), 1);
  umask(saved);
  done = true;
  watcher.join();
  close(watch);
  EXPECT_GT(seen.load(), 0);
  EXPECT_TRUE(exposed.empty()) << exposed.front();
  struct stat st;
  ASSERT_EQ(stat((var + "/snmpd.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace

// The lists the settings pages build from files and other services: IPv6
// addresses, the relay history, the WLAN scan list and the EAP root
// certificates (made with the openssl command).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "notify/alarmrelay.h"
#include "notify/notifyhooks.h"
#include "params/identity/productparams.h"
#include "params/types/paramflags.h"
#include "usbserver/devices/usbdevicerow.h"
#include "usbserver/devices/usbdevicetable.h"
#include "web/http/httprequest.h"
#include "web/settings/settingspages.h"
#include "web/support/settings_fixture.h"

namespace webtest {
namespace {

std::string variable(const HttpRequest& request, const char* name, int index = -1) {
  const char* value = request.findVariable(name, index);
  return value != nullptr ? value : "(none)";
}

class SettingsLists : public SettingsFixture {
 protected:
  void writeFile(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(dir_ + "/" + relative).parent_path());
    std::ofstream(dir_ + "/" + relative) << text;
  }
};

TEST_F(SettingsLists, Ipv6AddressesOfTheInterfaceOnly) {
  writeFile("if_inet6",
            "fe80000000000000021122fffe334455 02 40 20 80     eth0\n"
            "20010db8000000000000000000000001 02 40 00 80     eth0\n"
            "20010db8000000000000000000000002 03 40 00 80     eth1\n"
            "20010db8000000000000000000000003 04 40 00 80    veth0\n"
            "00000000000000000000000000000001 01 80 10 80       lo\n"
            "20010db8 02 40 00 80 eth0\n"                                // short line
            "2001zzb8000000000000000000000009 02 40 00 80     eth0\n");  // no hex
  HttpRequest request(nullptr);
  EXPECT_EQ(addIpv6AddressVariables(request, (dir_ + "/if_inet6").c_str(), "eth0"), 2);
  EXPECT_EQ(variable(request, "ipv6_addrlist_", 0), "fe80::211:22ff:fe33:4455");
  EXPECT_EQ(variable(request, "ipv6_addrlist_", 1), "2001:db8::1");
  EXPECT_EQ(variable(request, "ipv6_addrlist_#"), "2");

  HttpRequest missing(nullptr);
  EXPECT_EQ(addIpv6AddressVariables(missing, (dir_ + "/none").c_str(), "eth0"), -1);
  EXPECT_EQ(missing.findVariable("ipv6_addrlist_#"), nullptr);
}

TEST(RelayStamp, BeforeTheClockWasSetFieldsCountFromTheEpoch) {
  const char* savedTz = std::getenv("TZ");
  const std::string saved = savedTz != nullptr ? savedTz : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  struct Case {
    long stamp;
    const char* shown;
  } cases[] = {
      {1588748889, "2020-05-06 07:08:09\n"},  // a set clock: local time
      {61, "0000-00-00 23:01:01\n"},          // hour 0 shows 23
      {5 * 3600 + 62, "0000-00-00 04:01:02\n"},
      {40 * 86400 + 3600, "0000-01-09 00:00:00\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(formatRelayStamp(c.stamp), c.shown) << c.stamp;
  if (savedTz != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

int64_t relayClock = 0;
int64_t readRelayClock() { return relayClock; }
std::vector<bool> relaySwitches;
bool recordRelay(bool on) {
  relaySwitches.push_back(on);
  return true;
}

TEST_F(SettingsLists, RelayHistoryOldestFirstAndClear) {
  setFeatures(FEATURE_RELAY);
  setParam("relay_ctrl", "eve");
  setParam("relay_eve_net", "netoff");
  setParam("relay_eve_1pwr", "pwroff");
  setParam("relay_eve_sd", "sdin");
  setParam("relay_eves", "0");
  clearRelayHistory();
  setNotifyWallClockForTesting(readRelayClock);
  setRelaySwitch(recordRelay);
  relaySwitches.clear();
  // Latched in another order than their bits.
  relayClock = 1700000300;
  signalRelayEvent(RELAY_EVENT_CARD_IN);
  relayClock = 1700000100;
  signalRelayEvent(RELAY_EVENT_PSU1_DOWN);
  relayClock = 1700000200;
  signalRelayEvent(RELAY_EVENT_LINK_DOWN);
  writeTemplate("device/relay.html", "{[Eves]{Eves_};}|{RelayState}|{RelayStatOrEve}");
  EXPECT_EQ(bodyOf(get("/device/relay.html")),
            "Power supply 1 interrupted;Network connection interrupted;SD card connected;|Closed|Event");

  const std::string cleared = bodyOf(get("/device/relay.html?clear=1"));
  EXPECT_EQ(cleared, "|open|Event");
  EXPECT_EQ(param("relay_eves"), "0");
  ASSERT_FALSE(relaySwitches.empty());
  EXPECT_FALSE(relaySwitches.back());

  setParam("relay_ctrl", "fix");
  setParam("relay_on", "on");
  EXPECT_EQ(bodyOf(get("/device/relay.html")), "|Closed (fixed)|Event");
  setParam("relay_ctrl", "stat");
  EXPECT_EQ(bodyOf(get("/device/relay.html")), "|open|Status");
  setRelaySwitch(nullptr);
  setNotifyWallClockForTesting(nullptr);
  clearRelayHistory();
}

TEST(WlanScanList, FlagsGiveTheEncryptionAndLevelsThePicture) {
  struct Flags {
    const char* flags;
    int code;
  } flags[] = {
      {"[WPA2-PSK-CCMP][ESS]", 6},
      {"[WPA2-PSK-TKIP][ESS]", 5},
      {"[WPA2-PSK-CCMP+TKIP][ESS]", 8},
      {"[WPA-PSK-CCMP][ESS]", 4},
      {"[WPA-PSK-TKIP][ESS]", 3},
      {"[WPA-PSK-CCMP+TKIP][ESS]", 7},
      {"[WPA-PSK-CCMP][WPA2-PSK-TKIP][ESS]", 5},  // WPA2 decides when present
      {"[WPA2-EAP-CCMP][ESS]", 0},
      {"[WPA2-PSK][ESS]", 0},
      {"[WEP][ESS]", 0},
      {"[ESS]", 0},
      {"", 0},
  };
  for (const Flags& f : flags) EXPECT_EQ(wlanEncryptionCode(f.flags), f.code) << f.flags;
  struct Level {
    int dbm;
    int picture;
  } levels[] = {{-30, 100}, {-44, 100}, {-45, 80}, {-64, 80}, {-65, 60}, {-74, 60}, {-75, 40},
                {-84, 40},  {-85, 20},  {-89, 20}, {-90, 0},  {-120, 0}};
  for (const Level& l : levels) EXPECT_EQ(wlanLevelPicture(l.dbm), l.picture) << l.dbm;
}

TEST(WlanScanList, EntriesBecomeRowsWithAnEscapedSsid) {
  const std::vector<WlanScanEntry> entries = {
      {"00:11:22:33:44:55", 2437, -50, "[WPA2-PSK-CCMP][ESS]", "a'b\"<i>x"},
      {"66:77:88:99:aa:bb", 2412, -95, "[IBSS]", "back\\slash\n"},
      {"02:00:00:00:00:01", 2462, -70, "", "plain"},
  };
  HttpRequest request(nullptr);
  addWlanScanVariables(request, entries);
  EXPECT_EQ(variable(request, "wifilname#"), "3");
  EXPECT_EQ(variable(request, "wifilname_", 1), "a'b\"<i>x");
  EXPECT_EQ(variable(request, "wifilset_", 1), "'a\\x27b\\x22\\x3ci\\x3ex',6,0,5");
  EXPECT_EQ(variable(request, "wifilset_", 2), "'back\\x5cslash\\x0a',0,1,0");
  EXPECT_EQ(variable(request, "wifiltype_", 1), "Infrastructure [6 / 2437 MHz]");
  EXPECT_EQ(variable(request, "wifiltype_", 2), "AdHoc [1 / 2412 MHz]");
  EXPECT_EQ(variable(request, "wifilcrypt_", 3), "ERROR");
  EXPECT_EQ(variable(request, "wifilpic_", 1), "\"/pics/wlan080.png\"");
  EXPECT_EQ(variable(request, "wifilpic_", 2), "\"/pics/wlan000.png\"");
  EXPECT_EQ(variable(request, "wifiltitle_", 3), "Copy configuration data of: 02:00:00:00:00:01");
}

TEST_F(SettingsLists, ScanRequestGoesToTheSupplicantWhenItListens) {
  setFeatures(FEATURE_WLAN);
  writeTemplate("network/wlan.html", "wlan page {?wifilname#}");
  // Without the supplicant's socket the page is shown as it is.
  EXPECT_EQ(bodyOf(get("/network/wlan.html?scanNow=1")), "wlan page 0");

  std::filesystem::create_directories(dir_ + "/var/wifi");
  const int supplicant = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(supplicant, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir_ + "/var/wifi/wlan0";
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(supplicant, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string body = bodyOf(get("/network/wlan.html?scanNow=1"));
  EXPECT_NE(body.find("WAIT[Please wait...]"), std::string::npos) << body;
  EXPECT_NE(body.find("content=\"6; url="), std::string::npos) << body;
  EXPECT_NE(body.find("/network/wlan_en.html"), std::string::npos) << body;
  char request[16] = {0};
  EXPECT_EQ(::recv(supplicant, request, sizeof request, MSG_DONTWAIT), 4);
  EXPECT_STREQ(request, "SCAN");
  ::close(supplicant);
}

TEST_F(SettingsLists, MailboxCheckAnswersWithTheWaitPage) {
  setFeatures(FEATURE_EMAIL);
  writeTemplate("network/email.html", "email page");
  const std::string body = bodyOf(get("/network/email.html?checknow=1&action=set&smtp_srv=changed"));
  EXPECT_NE(body.find("WAIT[Check email now...]"), std::string::npos) << body;
  EXPECT_NE(body.find("content=\"5; url="), std::string::npos) << body;
  EXPECT_EQ(param("smtp_srv"), "") << "the form is not taken with the check";
}

TEST_F(SettingsLists, DeviceAccessListsThePresentDevicesPerPort) {
  setFeatures(FEATURE_ACCCTRL);
  setParam("zov_keyval_3", "open-sesame");
  const uint32_t savedPorts = productParams().usb_ports_phy;
  productParams().usb_ports_phy = 4;
  struct Row {
    int port;
    int vendor;
    int product;
    UsbRowState state;
  } rows[] = {{2, 0x1234, 0x5678, UsbRowState::PRESENT},
              {3, 0x0bda, 0x8153, UsbRowState::IN_USE},
              {2, 0xabcd, 0x0001, UsbRowState::PRESENT},
              {4, 0x1111, 0x2222, UsbRowState::REMOVED}};  // gone: not listed
  for (int i = 0; i < 4; ++i) {
    usbDeviceTable[i].port = rows[i].port;
    usbDeviceTable[i].idVendor = rows[i].vendor;
    usbDeviceTable[i].idProduct = rows[i].product;
    usbDeviceTable[i].setRowState(rows[i].state);
  }
  writeTemplate("security/devacc.html",
                "1[{?VendProds_1}] 2[{?VendProds_2}] 3[{?VendProds_3}] 4[{?VendProds_4}] key3[{?zov_keyval_3}]");
  const std::string body = bodyOf(get("/security/devacc.html"));
  for (int i = 0; i < 4; ++i) usbDeviceTable[i].setRowState(UsbRowState::FREE);
  productParams().usb_ports_phy = savedPorts;
  EXPECT_EQ(body, "1[] 2[1234:5678 abcd:0001 ] 3[0bda:8153 ] 4[] key3[****]");
}

// Certificates made by the openssl command in the data root's /flash.
class EapRoots : public SettingsLists {
 protected:
  bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
  std::string hashOf(const std::string& cert) {
    std::string out;
    FILE* p = popen(("openssl x509 -noout -subject_hash -in " + cert).c_str(), "r");
    if (p == nullptr) return out;
    char line[64];
    if (std::fgets(line, sizeof line, p) != nullptr) out = std::string(line).substr(0, 8);
    pclose(p);
    return out;
  }
  void SetUp() override {
    SettingsLists::SetUp();
    const std::string work = dir_ + "/work";
    std::filesystem::create_directories(work);
    ASSERT_TRUE(run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=<b>x' -keyout " + work +
                    "/ca.key -out " + work + "/ca.pem"));
    ASSERT_TRUE(run("openssl req -new -newkey rsa:2048 -nodes -subj '/CN=leaf' -keyout " + work + "/leaf.key -out " +
                    work + "/leaf.csr"));
    ASSERT_TRUE(run("openssl x509 -req -days 2 -in " + work + "/leaf.csr -CA " + work + "/ca.pem -CAkey " + work +
                    "/ca.key -CAcreateserial -out " + work + "/leaf.pem"));
    caName_ = hashOf(work + "/ca.pem") + ".0";
    leafName_ = hashOf(work + "/leaf.pem") + ".0";
    ASSERT_EQ(caName_.size(), 10u);
    std::filesystem::copy_file(work + "/ca.pem", dir_ + "/flash/" + caName_);
    std::filesystem::copy_file(work + "/leaf.pem", dir_ + "/flash/" + leafName_);
    writeFile("flash/0badf00d.0", "not a certificate\n");
    writeTemplate("security/authentication.html", "{[Root+1]{$_}:{Root_}|{?EAProot_}|{?OHash_};}");
  }
  std::string caName_;
  std::string leafName_;
};

TEST_F(EapRoots, ListShowsSelfSignedOnesAndNeverDeletes) {
  // No root chosen: "---" is the first, chosen entry.
  EXPECT_EQ(bodyOf(get("/security/authentication.html")),
            "1:---|1|;2:&lt;b&gt;x||" + caName_.substr(0, 8) + ";");
  // Choosing the CA links it and marks it.
  EXPECT_EQ(bodyOf(get("/security/authentication.html?EAProot=" + caName_)),
            "1:&lt;b&gt;x|1|" + caName_.substr(0, 8) + ";");
  char target[64] = "";
  ASSERT_GT(readlink((dir_ + "/flash/cert_root.pem").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), caName_);
  // The unreadable file and the non-self-signed one stay where they are.
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/flash/0badf00d.0"));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/flash/" + leafName_));
}

TEST_F(EapRoots, OnlyAHashedFileOfFlashCanBecomeTheRoot) {
  writeFile("etc/secret.0", "x");
  struct Case {
    std::string choice;
    bool acts;
  } cases[] = {
      {"../etc/secret.0", false}, {"../etc/sec", false}, {"12345678.0", false},  // no such file
      {"0badf00d.0x", false},     {"0badf00g.0", false}, {caName_ + "/", false},
      {caName_, true},
  };
  for (const Case& c : cases) EXPECT_EQ(chooseEapRoot(c.choice.c_str()), c.acts ? 1 : 0) << c.choice;
  struct stat st;
  ASSERT_EQ(lstat((dir_ + "/flash/cert_root.pem").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // The "no root" choice removes the link only.
  EXPECT_EQ(chooseEapRoot("---"), 1);
  EXPECT_NE(lstat((dir_ + "/flash/cert_root.pem").c_str(), &st), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/flash/" + caName_));
}

}  // namespace
}  // namespace webtest

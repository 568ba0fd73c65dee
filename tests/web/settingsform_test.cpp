// The settings form step and the handlers around it, served through the
// loopback web engine: what a submitted form saves, announces and restarts,
// the address source rule, the parameter-file upload and the pages of
// features a model lacks.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/processstate.h"
#include "net/dhcp/dhcplease.h"
#include "net/discovery/mdnsnames.h"
#include "notify/notifytask.h"
#include "params/store/paramstore.h"
#include "params/types/paramflags.h"
#include "snmp/snmpdconf.h"
#include "web/support/settings_fixture.h"

namespace webtest {
namespace {

bool hasLine(const std::string& file, const std::string& key, const std::string& value) {
  return std::regex_search(file, std::regex("(^|\n) *" + key + " = " + value + "\n"));
}

class SettingsForm : public SettingsFixture {
 protected:
  void SetUp() override {
    SettingsFixture::SetUp();
    writeTemplate("device/description.html",
                  "HeadInfo[{?HeadInfo}] ErrMsg[{?ErrMsg}] sys_name[{sys_name}] zov_port[{zov_port}] {MetaAutoRefresh}");
    writeTemplate("network/ipv4.html",
                  "HeadInfo[{?HeadInfo}] setby[{ip_setby}] lease[{?DhcpHaveLease}|{?DhcpLease}|{?DhcpGotLease}]");
  }
};

TEST_F(SettingsForm, ShowsWithoutActionAndCommitsNothingUnchanged) {
  setParam("sys_name", "Before");
  // Without "action" the form is not taken; with an unchanged value nothing is committed.
  for (const char* form : {"sys_name=Other", "action=show&sys_name=Other", "action=set&sys_name=Before"}) {
    const std::string body = bodyOf(post("/device/description.html", form));
    EXPECT_NE(body.find("HeadInfo[] ErrMsg[] sys_name[Before]"), std::string::npos) << form << "\n" << body;
  }
  EXPECT_EQ(savedFile(), "");
  EXPECT_EQ(broadcastsSeen(), 0);
  EXPECT_EQ(restarts.load(), 0);
}

TEST_F(SettingsForm, RestartClassChangeIsSavedAnnouncedAndShown) {
  const std::string body = bodyOf(post("/device/description.html", "action=set&sys_name=Lab+printer+%231"));
  EXPECT_NE(body.find("HeadInfo[Parameters have been changed.]"), std::string::npos) << body;
  EXPECT_NE(body.find("sys_name[Lab printer #1]"), std::string::npos) << body;
  // The page refreshes to itself once the services took the change.
  EXPECT_NE(body.find("url=http://"), std::string::npos) << body;
  EXPECT_NE(body.find("/device/description_en.html\""), std::string::npos) << body;
  EXPECT_TRUE(hasLine(savedFile(), "sys_name", "Lab printer #1")) << savedFile();
  EXPECT_GE(broadcastsSeen(1), 1);
  EXPECT_EQ(restarts.load(), 0);
}

TEST_F(SettingsForm, RefusedValueIsNamedAndTheStoredOneShown) {
  setParam("zov_port", "9200");
  const std::string body =
      bodyOf(post("/device/description.html", "action=set&sys_name=Kept&zov_port=70000&admin_pwd=short"));
  // The accepted field is saved; each refused one is named and keeps its value.
  EXPECT_NE(body.find("HeadInfo[Parameters have been changed.]"), std::string::npos) << body;
  EXPECT_NE(body.find("ErrMsg[Not accepted, the stored value stays: zov_port, admin_pwd]"), std::string::npos)
      << body;
  EXPECT_NE(body.find("zov_port[9200]"), std::string::npos) << body;
  EXPECT_EQ(param("admin_pwd"), "");
  EXPECT_TRUE(hasLine(savedFile(), "sys_name", "Kept"));
  EXPECT_FALSE(hasLine(savedFile(), "zov_port", "70000"));

  // Only refused fields: nothing is committed, the page says why.
  const std::string only = bodyOf(post("/device/description.html", "action=set&zov_port=0"));
  EXPECT_NE(only.find("HeadInfo[] ErrMsg[Not accepted, the stored value stays: zov_port]"), std::string::npos)
      << only;
}

// A browser sends every field of a form back, the unchanged addresses too:
// a text naming the stored address or MAC (in any spelling) is no refusal,
// an unreadable one still is.
TEST_F(SettingsForm, UnchangedAddressFieldsAreNotRefused) {
  writeTemplate("network/ipv4.html", "HeadInfo[{?HeadInfo}] ErrMsg[{?ErrMsg}]");
  setParam("ip_addr", "192.168.1.10");
  setParam("ip_mask", "255.255.255.0");
  setParam("ip_gate", "");
  setParam("ipv6_addr", "2001:db8::1");
  setParam("hw_filter_3", "02:aa:bb:cc:dd:ee");
  struct Case {
    const char* form;
    const char* errMsg;
  } cases[] = {
      {"ip_addr=192.168.1.10&ip_mask=255.255.255.0&ip_gate=0.0.0.0", ""},
      {"ipv6_addr=2001:db8::1", ""},
      {"ipv6_addr=2001:0DB8:0:0:0:0:0:0001", ""},
      {"hw_filter_3=02:aa:bb:cc:dd:ee", ""},
      {"hw_filter_3=02:AA:BB:CC:DD:EE", ""},
      {"ip_mask=255.255.255.0&ip_addr=192.168.1.300", "Not accepted, the stored value stays: ip_addr"},
      {"ip_mask=255.255.x.0&ipv6_addr=2001:db8::1::", "Not accepted, the stored value stays: ip_mask, ipv6_addr"},
      {"hw_filter_3=02:aa:bb:cc:dd", "Not accepted, the stored value stays: hw_filter_3"},
  };
  for (const Case& c : cases) {
    const std::string body = bodyOf(post("/network/ipv4.html", std::string("action=set&") + c.form));
    EXPECT_NE(body.find(std::string("ErrMsg[") + c.errMsg + "]"), std::string::npos) << c.form << "\n" << body;
  }
  EXPECT_EQ(param("ip_addr"), "192.168.1.10");
  EXPECT_EQ(param("ip_mask"), "255.255.255.0");
  EXPECT_EQ(restarts.load(), 0);
}

TEST_F(SettingsForm, RebootClassChangeRestartsAndReturnsToThePage) {
  setParam("ip_addr", "192.168.1.10");
  const std::string body = bodyOf(post("/network/ipv4.html", "action=set&ip_addr=192.168.1.20"));
  EXPECT_NE(body.find("WAIT[The device is restarting.]"), std::string::npos) << body;
  EXPECT_NE(body.find("/network/ipv4_en.html\""), std::string::npos) << body;
  EXPECT_EQ(restarts.load(), 1);
  EXPECT_EQ(restartDelay.load(), 4);
  EXPECT_EQ(exitCode.load(), EXIT_NORMAL);
  EXPECT_TRUE(hasLine(savedFile(), "ip_addr", "192.168.1.20")) << savedFile();
}

TEST_F(SettingsForm, RestartPageIsColdOnlyWhenAsked) {
  struct Case {
    const char* query;
    int exitCode;
  } cases[] = {{"", EXIT_NORMAL}, {"?cold=1", EXIT_REBOOT}};
  for (const Case& c : cases) {
    exitCode.store(EXIT_NORMAL);
    const int before = restarts.load();
    const std::string body = bodyOf(get(std::string("/maintenance/restart.cgi") + c.query));
    EXPECT_NE(body.find("WAIT[The device is restarting.]"), std::string::npos) << body;
    EXPECT_NE(body.find("/start_en.html\""), std::string::npos) << body;
    EXPECT_EQ(restarts.load(), before + 1) << c.query;
    EXPECT_EQ(exitCode.load(), c.exitCode) << c.query;
  }
}

TEST_F(SettingsForm, VlanPageShowsTheRestartItStarted) {
  writeTemplate("network/ip4vlan.html", "vlan page");
  setParam("ip_addr", "192.168.1.10");
  const int descriptors = openDescriptors();
  const std::string body = bodyOf(post("/network/ip4vlan.html", "action=set&ip_addr=192.168.1.30"));
  EXPECT_NE(body.find("WAIT[The device is restarting.]"), std::string::npos) << body;
  EXPECT_EQ(restarts.load(), 1);
  EXPECT_TRUE(waitForRequestsToEnd());
  EXPECT_EQ(openDescriptorsSettledAt(descriptors), descriptors);
  EXPECT_EQ(bodyOf(post("/network/ip4vlan.html", "action=set&ip4vlan_mgmt_id=99999")), "vlan page");
}

// The address source after an IPv4 form.
TEST_F(SettingsForm, AddressSourceFollowsTheForm) {
  struct Case {
    const char* setby;
    const char* dhcp;
    const char* bootp;
    const char* form;
    const char* expected;
  } cases[] = {
      {"dhcp", "on", "on", "action=set&ip_addr=10.0.0.9", "http"},     // the address typed in
      {"dhcp", "on", "on", "action=set&ip_dhcp=off", "http"},          // its source switched off
      {"bootp", "on", "on", "action=set&ip_bootp=off", "http"},
      {"dhcp", "on", "on", "action=set&ip_bootp=off", "dhcp"},         // another source off
      {"bootp", "on", "on", "action=set&ip_dhcp=off", "bootp"},
      {"zconf", "on", "on", "action=set&ip_dhcp=off", "zconf"},
      {"dhcp", "off", "on", "action=set&ip_auto=off", "http"},         // any change fixes a stale source
      {"dhcp", "on", "on", "action=set&ip_addr=", "dhcp"},             // nothing changed
  };
  for (const Case& c : cases) {
    setParam("ip_setby", c.setby);
    setParam("ip_dhcp", c.dhcp);
    setParam("ip_bootp", c.bootp);
    setParam("ip_auto", "on");
    setParam("ip_addr", "");
    post("/network/ipv4.html", c.form);
    EXPECT_EQ(param("ip_setby"), c.expected) << c.setby << " " << c.form;
  }
}

TEST_F(SettingsForm, LeaseIsShownOnlyWithDhcpAndALease) {
  const int64_t savedStart = dhcpLeaseStart.load();
  const int64_t savedSeconds = dhcpLeaseSeconds.load();
  setParam("ip_dhcp", "on");
  dhcpLeaseStart.store(0);
  EXPECT_NE(bodyOf(get("/network/ipv4.html")).find("lease[||]"), std::string::npos);
  dhcpLeaseSeconds.store(90061);  // 1 day, 1 hour, 1 minute
  dhcpLeaseStart.store(1);
  const std::string body = bodyOf(get("/network/ipv4.html"));
  EXPECT_NE(body.find("lease[1|  1/01/01|"), std::string::npos) << body;
  setParam("ip_dhcp", "off");
  EXPECT_NE(bodyOf(get("/network/ipv4.html")).find("lease[||]"), std::string::npos);
  dhcpLeaseStart.store(savedStart);
  dhcpLeaseSeconds.store(savedSeconds);
}

// Pages of features the model lacks answer with the error page.
TEST_F(SettingsForm, PagesOfMissingFeaturesAreErrors) {
  struct Case {
    const char* page;
    uint32_t feature;
  } cases[] = {{"/device/notify.html", FEATURE_EMAIL},
               {"/network/email.html", FEATURE_EMAIL},
               {"/device/relay.html", FEATURE_RELAY},
               {"/security/devacc.html", FEATURE_ACCCTRL}};
  for (const Case& c : cases) {
    writeTemplate(std::string(c.page).substr(1), "served");
    setFeatures(0xffffffffu & ~c.feature);
    EXPECT_EQ(get(c.page).rfind("HTTP/1.1 500", 0), 0u) << c.page;
    setFeatures(c.feature);
    EXPECT_EQ(bodyOf(get(c.page)), "served") << c.page;
  }
}

TEST_F(SettingsForm, NotificationCountersAndSinksWithoutConfiguration) {
  setFeatures(FEATURE_EMAIL);
  writeTemplate("device/notify.html",
                "{?NotieSOk_1}/{?NotieSKo_1} {?NotieSOk_2}/{?NotieSKo_2} {?TrapsOut_1} {?TrapsOut_2}");
  const int32_t saved[] = {mailSuccessCount[0].load(), mailFailureCount[1].load(), trapSinkCounters[0].load(),
                           trapSinkCounters[1].load()};
  mailSuccessCount[0].store(5);
  mailFailureCount[1].store(2);
  trapSinkCounters[0].store(-1);  // no sink configured
  trapSinkCounters[1].store(7);
  EXPECT_EQ(bodyOf(get("/device/notify.html")), "5/0 0/2 --- 7");
  mailSuccessCount[0].store(saved[0]);
  mailFailureCount[1].store(saved[1]);
  trapSinkCounters[0].store(saved[2]);
  trapSinkCounters[1].store(saved[3]);
}

TEST_F(SettingsForm, BonjourPageShowsTheNameTheResponderAnnounces) {
  writeTemplate("network/bonjour.html", "[{?bonjour_current}]");
  char* announced = mdnsPrimaryInstanceBuffer();
  const std::string saved = copyBonjourInstanceName();
  // The responder's name, not the parameter: it carries the conflict number.
  setParam("bonjour_name", "Office");
  copyLabelText(announced, "Office (3)", kMdnsMaxLabel);
  EXPECT_EQ(bodyOf(get("/network/bonjour.html")), "[Office (3)]");
  announced[0] = 0;
  EXPECT_EQ(bodyOf(get("/network/bonjour.html")), "[]");
  copyLabelText(announced, saved.c_str(), kMdnsMaxLabel);
}

TEST_F(SettingsForm, ParameterCountAndSessionSlots) {
  writeTemplate("maintenance/showparams.html", "{?params#}");
  writeTemplate("security/http.html", "{?AdmOpenSess}+{?AnyOpenSess}={?UsedSess}/{?AvailSess}");
  EXPECT_EQ(bodyOf(get("/maintenance/showparams.html")),
            std::to_string(paramStore.countVisible(PF_NOREPORT | PF_NOSNMP)));
  EXPECT_EQ(bodyOf(get("/security/http.html")), "0+0=0/16");
}

class ParameterUpload : public SettingsFixture {};

TEST_F(ParameterUpload, RestartClassIsSavedAnnouncedAndWaitedFor) {
  const std::string body = bodyOf(upload("/maintenance/setparams.cgi", " sys_name = Uploaded\n sys_contact = ops\n"));
  EXPECT_NE(body.find("WAIT[Parameters are changed. Please wait.]"), std::string::npos) << body;
  EXPECT_TRUE(hasLine(savedFile(), "sys_name", "Uploaded")) << savedFile();
  EXPECT_TRUE(hasLine(savedFile(), "sys_contact", "ops"));
  EXPECT_GE(broadcastsSeen(1), 1);
  EXPECT_EQ(restarts.load(), 0);
}

TEST_F(ParameterUpload, RebootClassRestarts) {
  setParam("ip_addr", "192.168.1.10");
  const std::string body = bodyOf(upload("/maintenance/setparams.cgi", "ip_addr = 192.168.7.7\n"));
  EXPECT_NE(body.find("WAIT[The device is restarting.]"), std::string::npos) << body;
  EXPECT_EQ(restarts.load(), 1);
  EXPECT_TRUE(hasLine(savedFile(), "ip_addr", "192.168.7.7"));
}

TEST_F(ParameterUpload, NothingToTakeRestartsNothing) {
  setParam("sys_name", "Same");
  const std::string invalid = "WAIT[Invalid parameter file. No parameters have been changed.]";
  const std::string fieldOnly = "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nb\r\n--XyZ--\r\n";
  const std::string noFile =
      "POST /maintenance/setparams.cgi HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
      "Content-Length: " + std::to_string(fieldOnly.size()) + "\r\n\r\n" + fieldOnly;
  struct Case {
    const char* what;
    std::string request;
  } cases[] = {
      {"unchanged values", uploadRequest("/maintenance/setparams.cgi", "sys_name = Same\nnot a line\n")},
      {"no file part", noFile},
      {"larger than an upload may be",
       uploadRequest("/maintenance/setparams.cgi", "sys_name = Big\n" + std::string(8192001 - 15, '#'))},
  };
  for (const Case& c : cases) {
    const std::string answer = exchange(c.request);
    EXPECT_NE(bodyOf(answer).find(invalid), std::string::npos) << c.what << "\n" << answer.substr(0, 400);
  }
  EXPECT_EQ(restarts.load(), 0);
  EXPECT_EQ(param("sys_name"), "Same");
  EXPECT_EQ(savedFile(), "");
}

}  // namespace
}  // namespace webtest

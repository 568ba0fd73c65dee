// The settings pages of the program in host mode, driven over HTTP with curl
// from this host through the namespace's veth: a saved form takes effect in
// the service it configures.
#include <gtest/gtest.h>

#include <string>

#include "support/shell_command.h"
#include "web/support/hostmode_program.h"

namespace {

using webtest::eventuallyWithin;
using webtest::HostModeProgram;

class SettingsHostMode : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = HostModeProgram::missingFor({"/usr/bin/snmpget"});
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(program_.launch()) << program_.failure();
  }

  HostModeProgram program_;
};

TEST_F(SettingsHostMode, UsbPortAndSnmpSettingsTakeEffect) {
  const int restarts = program_.restarts();
  // The USB port is of the restart class: the USB server reopens its
  // listeners while the device keeps running.
  const std::string page = program_.postForm("/device/port.html", "action=set&zov_port=9300");
  EXPECT_NE(page.find("Parameters have been changed."), std::string::npos) << page.substr(0, 800);
  EXPECT_EQ(page.find("The device is restarting."), std::string::npos);
  EXPECT_TRUE(program_.paramsFileHas("zov_port", "9300"));
  const std::string client = TEST_BINARY_DIR "/tools/usbclient --host " + program_.address();
  // The USB server opens after the board's start-up.
  EXPECT_TRUE(eventuallyWithin(60, [&] { return runQuietly(client + " --port 9300 list"); }))
      << "nothing lists on 9300";
  EXPECT_FALSE(runQuietly(client + " --port 9200 list")) << "9200 still serves";
  EXPECT_EQ(program_.restarts(), restarts) << program_.failure();

  // The SNMP page's community and the description's name reach the agent.
  program_.postForm("/network/snmp.html", "action=set&snmpv1_community=s3cret");
  program_.postForm("/device/description.html", "action=set&sys_name=Lab-hub");
  EXPECT_TRUE(program_.paramsFileHas("snmpv1_community", "s3cret"));
  EXPECT_TRUE(program_.paramsFileHas("sys_name", "Lab-hub"));
  const std::string get = "snmpget -v2c -t 1 -r 0 -c ";
  const std::string oid = " " + program_.address() + " 1.3.6.1.2.1.1.5.0";
  std::string answer;
  EXPECT_TRUE(eventuallyWithin(30, [&] {
    answer = commandOutput(get + "s3cret" + oid);
    return answer.find("Lab-hub") != std::string::npos;
  })) << answer;
  EXPECT_FALSE(runQuietly(get + "tavrin" + oid)) << "the old community still answers";
}

}  // namespace

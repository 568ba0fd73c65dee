// The settings pages in headless Chromium (chromium, chromium-driver,
// python3-selenium), served by the loopback web engine from the content
// tree: the page check in English and German, the WLAN scan entry with a
// hostile SSID, a CA with a markup name, and a form saved in the browser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "params/types/paramflags.h"
#include "runtime/text/gettext.h"
#include "web/pages/pagehandlers.h"
#include "web/settings/settingspages.h"
#include "web/support/settings_fixture.h"

namespace webtest {
namespace {

namespace fs = std::filesystem;

// The WLAN page with a scan list of the test's own.
int wlanPageWithScanList(HttpRequest& request) {
  addWlanScanVariables(request, {{"00:11:22:33:44:55", 2437, -50, "[WPA2-PSK-CCMP][ESS]", "a'b\"<i>x"},
                                 {"66:77:88:99:aa:bb", 2412, -80, "[IBSS]", "adhoc net"}});
  return handleWlanPage(request);
}

std::string missingBrowserPart() {
  if (::access("/usr/bin/chromium", X_OK) != 0) return "chromium";
  if (::access("/usr/bin/chromedriver", X_OK) != 0) return "chromium-driver";
  if (std::system("/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") != 0) return "python3-selenium";
  return "";
}

class SettingsBrowser : public SettingsFixture {
 protected:
  void SetUp() override {
    SettingsFixture::SetUp();
    fs::copy(TEST_BINARY_DIR "/romfs", dir_ + "/romfs",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    ASSERT_EQ(bindTextDomain(), 1);
    setFeatures(FEATURE_EMAIL | FEATURE_WLAN | FEATURE_ACCCTRL | FEATURE_POSWITCH | FEATURE_IP4VLAN | FEATURE_RELAY);
    const std::string ca = dir_ + "/work";
    fs::create_directories(ca);
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=<b>x' -keyout " + ca +
                           "/ca.key -out " + dir_ + "/flash/0badcafe.0 >/dev/null 2>&1")
                              .c_str()),
              0);
  }
  std::vector<PageRow> rowsForTest() const override {
    std::vector<PageRow> rows = SettingsFixture::rowsForTest();
    for (PageRow& row : rows)
      if (std::string(row.path) == "/network/wlan.html") row.handler = wlanPageWithScanList;
    return rows;
  }
};

TEST_F(SettingsBrowser, PagesRenderAndBehaveInChromium) {
  const std::string missing = missingBrowserPart();
  if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
  const std::string shots = TEST_BINARY_DIR "/settings-screens";
  fs::create_directories(shots);
  std::string command = "/usr/bin/python3 " TEST_SOURCE_DIR "/tests/web/settings_browser.py http://127.0.0.1:" +
                        std::to_string(port_) + " " + shots;
  for (int i = 0; i < kSettingsRowCount; ++i) {
    const PageRow& row = kSettingsRows[i];
    const std::string path = row.path;
    if (path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0 && path != "/index.html" &&
        path != "/start.html")
      command += " " + path;
  }
  command += " 2>&1";
  std::string output;
  FILE* run = popen(command.c_str(), "r");
  ASSERT_NE(run, nullptr);
  char line[1024];
  while (std::fgets(line, sizeof line, run) != nullptr) output += line;
  const int status = pclose(run);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(param("sys_name"), "Browser test");
}

}  // namespace
}  // namespace webtest

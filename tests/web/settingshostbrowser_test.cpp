// The settings pages of the program in host mode in headless Chromium
// (chromium, chromium-driver, python3-selenium) on this host, reached
// through the namespace's veth as an administrator's browser on the LAN
// reaches the device: every page opened through the menu in English and
// German, and forms filled, sent and seen taking effect.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include "support/shell_command.h"
#include "web/support/hostmode_program.h"

namespace {

namespace fs = std::filesystem;

using webtest::eventuallyWithin;
using webtest::HostModeOptions;
using webtest::HostModeProgram;

const std::string kShots = TEST_BINARY_DIR "/artefacts/settings_host";
const std::string kTools = TEST_SOURCE_DIR "/tests/web/tools/";

struct ToolRun {
  int status = -1;
  std::string output;
};

// The command's exit status and its output with the error output.
ToolRun runTool(const std::string& command) {
  ToolRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[1024];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The value of the line "key: value" of a tool's answer ("" none).
std::string lineValue(const std::string& output, const std::string& key) {
  const std::string start = key + ": ";
  size_t at = output.rfind("\n" + start);
  if (at == std::string::npos) {
    if (output.compare(0, start.size(), start) != 0) return "";
    at = 0;
  } else {
    ++at;
  }
  const size_t end = output.find('\n', at);
  return output.substr(at + start.size(), end == std::string::npos ? std::string::npos : end - at - start.size());
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The value attribute of the served page's field `name` ("(none)" without one).
std::string servedFieldValue(const std::string& html, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(html, m, std::regex("name=\"" + name + "\" value=\"([^\"]*)\""))) return "(none)";
  return m[1].str();
}

class SettingsHostBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = HostModeProgram::missingFor({"/usr/bin/chromium", "/usr/bin/chromedriver"});
    if (!missing.empty()) GTEST_SKIP() << missing;
    if (std::system("/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "needs python3-selenium";
  }

  void launch(const std::string& model, std::initializer_list<const char*> params = {}) {
    HostModeOptions options;
    options.model = model;
    for (const char* line : params) options.params.push_back(line);
    ASSERT_TRUE(program_.launch(options)) << program_.failure();
    model_ = model;
  }

  std::string base() const { return "http://" + program_.address(); }

  // The menu walk over the entries under the prefixes in the languages.
  void walk(const std::string& langs, std::initializer_list<const char*> prefixes) {
    const std::string shots = kShots + "/" + model_;
    std::string command = "timeout 240 /usr/bin/python3 " + kTools + "host_walk.py " + base() + " " + shots + " " + langs;
    for (const char* prefix : prefixes) command += std::string(" ") + prefix;
    const ToolRun run = runTool(command);
    EXPECT_EQ(run.status, 0) << run.output << program_.failure();
    EXPECT_TRUE(contains(run.output, "visited: ")) << run.output;
  }

  // Steps of host_form.py run in one browser, one after the other; what
  // the browser showed after each.
  std::vector<std::string> browse(const std::vector<std::vector<std::string>>& steps) {
    std::string command = "timeout 240 /usr/bin/python3 " + kTools + "host_form.py " + base();
    for (size_t i = 0; i < steps.size(); ++i) {
      if (i > 0) command += " then";
      for (const std::string& arg : steps[i]) command += " " + shellQuoted(arg);
    }
    const ToolRun run = runTool(command);
    EXPECT_EQ(run.status, 0) << run.output;
    std::vector<std::string> shown;
    for (size_t i = 1; i <= steps.size(); ++i) {
      const std::string mark = "step: " + std::to_string(i) + "\n";
      const size_t at = run.output.find(mark);
      const size_t end = run.output.find("step: " + std::to_string(i + 1) + "\n");
      shown.push_back(at == std::string::npos ? std::string()
                                              : run.output.substr(at + mark.size(), end == std::string::npos
                                                                                        ? std::string::npos
                                                                                        : end - at - mark.size()));
    }
    return shown;
  }

  // A form filled ("NAME=VALUE", "--bypass" first to drop the browser's checks) and saved.
  std::vector<std::string> formStep(const std::string& path, const std::string& shot,
                                    std::initializer_list<std::string> fields) const {
    std::vector<std::string> step = {"form", path, shotPath(shot)};
    step.insert(step.end(), fields);
    return step;
  }
  std::vector<std::string> showStep(const std::string& path, const std::string& shot,
                                    std::initializer_list<std::string> names = {}) const {
    std::vector<std::string> step = {"show", path, shotPath(shot)};
    step.insert(step.end(), names);
    return step;
  }
  // The backup page's parameter file sent with `file` ("" none).
  std::vector<std::string> uploadStep(const std::string& file, const std::string& shot) const {
    std::vector<std::string> step = {"upload", shotPath(shot)};
    if (!file.empty()) step.push_back(file);
    return step;
  }

  std::string shotPath(const std::string& name) const {
    const std::string dir = kShots + "/forms";
    fs::create_directories(dir);
    return dir + "/" + model_ + "_" + name + ".png";
  }

  // The HTTP status of a page (0 without answer).
  int statusOf(const std::string& path) const {
    return std::atoi(program_.get(path, "-o /dev/null -w '%{http_code}'").c_str());
  }

  HostModeProgram program_;
  std::string model_;
};

// The menu walks: each runs in a ctest process of its own, side by side.
TEST_F(SettingsHostBrowser, WalkNetworkAndDevicePagesEnglish) {
  launch("p353");
  walk("en", {"/network/", "/device/"});
}

TEST_F(SettingsHostBrowser, WalkNetworkAndDevicePagesGerman) {
  launch("p353");
  walk("de", {"/network/", "/device/"});
}

TEST_F(SettingsHostBrowser, WalkSecurityAndMaintenancePagesEnglish) {
  launch("p353");
  walk("en", {"/security/", "/maintenance/", "/sitemap", "/contact"});
}

TEST_F(SettingsHostBrowser, WalkSecurityAndMaintenancePagesGerman) {
  launch("p353");
  walk("de", {"/security/", "/maintenance/", "/sitemap", "/contact"});
}

TEST_F(SettingsHostBrowser, WalkRelayPageOfTheRelayModel) {
  launch("p365");
  walk("en,de", {"/device/relay"});
}

TEST_F(SettingsHostBrowser, WalkWlanPageOfTheWlanModel) {
  launch("p330-wlan");
  walk("en,de", {"/network/wlan"});
}

// A browser sends every field back: the unchanged addresses of the IPv4
// page are no refusal, and nothing restarts.
TEST_F(SettingsHostBrowser, UnchangedIpv4FormIsNoRefusal) {
  launch("p353");
  const int restarts = program_.restarts();
  const std::string answer = browse({formStep("/network/ipv4_en.html", "ipv4_unchanged", {})})[0];
  EXPECT_TRUE(contains(answer, "errmsg: \n")) << answer;
  EXPECT_FALSE(contains(answer, "The device is restarting.")) << answer;
  EXPECT_EQ(program_.paramsValue("ip_setby"), "zconf");
  EXPECT_EQ(program_.restarts(), restarts);
}

TEST_F(SettingsHostBrowser, EmailPageInGermanSavesAndNamesARefusedValue) {
  launch("p353");
  if (statusOf("/network/email_de.html") != 200) GTEST_SKIP() << "this model has no e-mail page";
  const std::vector<std::string> shown = browse({
      formStep("/network/email_de.html", "email_saved_de", {"smtp_srv=mail.lab.test", "smtp_port=2525"}),
      // The browser's own range check removed, the program refuses the value.
      formStep("/network/email_de.html", "email_refused_de", {"--bypass", "smtp_port=70000"}),
  });
  const std::string& saved = shown[0];
  EXPECT_EQ(lineValue(saved, "headinfo"), "Die Parameter wurden geändert.") << saved;
  EXPECT_EQ(lineValue(saved, "errmsg"), "") << saved;
  EXPECT_EQ(lineValue(saved, "value smtp_srv"), "mail.lab.test") << saved;
  EXPECT_EQ(lineValue(saved, "value smtp_port"), "2525") << saved;
  EXPECT_TRUE(program_.paramsFileHas("smtp_srv", "mail.lab.test"));
  const std::string& refused = shown[1];
  EXPECT_EQ(lineValue(refused, "errmsg"), "Nicht übernommen, der gespeicherte Wert bleibt: smtp_port") << refused;
  EXPECT_EQ(lineValue(refused, "value smtp_port"), "2525") << refused;
  EXPECT_TRUE(program_.paramsFileHas("smtp_port", "2525"));
}

// Reboot-class forms: the wait page, the saved value, and the page shows
// it once the program runs again.
TEST_F(SettingsHostBrowser, WlanPageRestartsAndShowsTheSavedNetwork) {
  launch("p330-wlan");
  const int restarts = program_.restarts();
  const std::string answer =
      browse({formStep("/network/wlan_en.html", "wlan_saved", {"wifi_name=Lab WLAN", "wifi_channel=6"})})[0];
  EXPECT_TRUE(contains(answer, "The device is restarting.")) << answer;
  EXPECT_TRUE(program_.paramsFileHas("wifi_name", "Lab WLAN"));
  EXPECT_TRUE(program_.paramsFileHas("wifi_channel", "6"));
  ASSERT_TRUE(program_.waitForRestartAfter(restarts)) << program_.failure();
  const std::string page = program_.get("/network/wlan_en.html");
  EXPECT_EQ(servedFieldValue(page, "wifi_name"), "Lab WLAN") << page;
  EXPECT_EQ(servedFieldValue(page, "wifi_channel"), "6") << page;
}

TEST_F(SettingsHostBrowser, AuthenticationPageRestartsAndShowsTheSavedUser) {
  launch("p353");
  const int restarts = program_.restarts();
  const std::string answer = browse({formStep("/security/authentication_en.html", "authentication_saved",
                                              {"auth_name=lab-user", "auth_ano_name=anon"})})[0];
  EXPECT_TRUE(contains(answer, "The device is restarting.")) << answer;
  EXPECT_TRUE(program_.paramsFileHas("auth_name", "lab-user"));
  ASSERT_TRUE(program_.waitForRestartAfter(restarts)) << program_.failure();
  const std::string page = program_.get("/security/authentication_en.html");
  EXPECT_EQ(servedFieldValue(page, "auth_name"), "lab-user") << page;
  EXPECT_EQ(servedFieldValue(page, "auth_ano_name"), "anon") << page;
}

TEST_F(SettingsHostBrowser, UploadedParameterFileTakesEffect) {
  launch("p353");
  const std::string file = program_.root() + "/tmp/upload.dat";
  fs::create_directories(program_.root() + "/tmp");
  std::ofstream(file) << "zov_port = 9300\n";
  // Taken; then the same file again changes nothing, and so does no file.
  const std::vector<std::string> shown =
      browse({uploadStep(file, "upload_taken"), uploadStep(file, "upload_again"), uploadStep("", "upload_none")});
  EXPECT_TRUE(contains(shown[0], "Parameters are changed. Please wait.")) << shown[0];
  for (const std::string& refused : {shown[1], shown[2]})
    EXPECT_TRUE(contains(refused, "Invalid parameter file. No parameters have been changed.")) << refused;
  EXPECT_TRUE(program_.paramsFileHas("zov_port", "9300"));
  // The USB server moves to the new port.
  const std::string client = TEST_BINARY_DIR "/tools/usbclient --port 9300 --host ";
  EXPECT_TRUE(eventuallyWithin(120, [&] {
    const std::string address = program_.address();
    return !address.empty() && runQuietly(client + address + " list");
  })) << "nothing lists on 9300\n"
      << program_.failure();
}

// A device name with quotes and markup is text on every page that shows it.
TEST_F(SettingsHostBrowser, DeviceNameIsShownAsText) {
  launch("p353");
  const int restarts = program_.restarts();
  const std::string name = "a'b\"<i>x";
  const std::vector<std::string> shown = browse({
      formStep("/device/description_en.html", "name_saved", {"sys_name=" + name}),
      showStep("/device/description_en.html", "name_description", {"sys_name"}),
      showStep("/start_en.html", "name_start"),
  });
  EXPECT_EQ(lineValue(shown[0], "headinfo"), "Parameters have been changed.") << shown[0];
  EXPECT_EQ(program_.paramsValue("sys_name"), name);
  // The name alone was saved: the link-local address stays the program's own choice.
  EXPECT_EQ(program_.paramsValue("ip_setby"), "zconf");
  EXPECT_EQ(program_.restarts(), restarts);
  // Shown as the field's value, in the page text and in the title, never as an element.
  EXPECT_EQ(lineValue(shown[1], "value sys_name"), name) << shown[1];
  EXPECT_TRUE(contains(lineValue(shown[2], "text"), "Device name " + name)) << shown[2];
  for (const std::string& page : shown) {
    EXPECT_EQ(lineValue(page, "elements i"), "0") << page;
    EXPECT_TRUE(contains(lineValue(page, "title"), name)) << page;
    EXPECT_FALSE(contains(page, "console: ")) << page;
  }
}

TEST_F(SettingsHostBrowser, CertificateRequestIsOffered) {
  launch("p353");
  for (const char* path : {"/security/rqcert_en.html", "/security/certreq.cgi"})
    if (statusOf(path) == 404) GTEST_SKIP() << path << " answers 404: the device makes no certificate request";
  const std::string answer =
      browse({formStep("/security/rqcert_en.html", "rqcert", {"self_CN=lab-hub", "self_C=DE"})})[0];
  if (contains(answer, "404 Not Found")) GTEST_SKIP() << "the request answers 404: the device makes no certificate request";
  EXPECT_EQ(lineValue(answer, "errmsg"), "") << answer;
  EXPECT_TRUE(contains(program_.get("/bin/cert_req.pem"), "BEGIN CERTIFICATE REQUEST")) << answer;
}

}  // namespace

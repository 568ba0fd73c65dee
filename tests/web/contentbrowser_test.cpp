// The built content tree served by the web engine and shown in headless
// Chromium: every page in English and German renders without leftover
// markers, loads its stylesheet and images, and runs its script cleanly.
// Screenshots of the login and start pages stay in the build directory.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "params/identity/firmwareparams.h"
#include "params/identity/productparams.h"
#include "params/identity/softwareinfo.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/text/gettext.h"
#include "support/identity_fixture.h"
#include "web/support/web_fixture.h"

using namespace webtest;

namespace {

// The rows of the pages the content tree holds; the catch-all serves the
// stylesheet, script and images.
PageRow contentRows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/index.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/start.html", 2, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/wait4.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/redirector.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/contact.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/sitemap.html", 2, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/help/helpen.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/help/helpde.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
};

const char* const kPages[] = {
    "/index_en.html",      "/index_de.html",     "/start_en.html",      "/start_de.html",
    "/wait4_en.html",      "/wait4_de.html",     "/redirector_en.html", "/redirector_de.html",
    "/contact_en.html",    "/contact_de.html",   "/sitemap_en.html",    "/sitemap_de.html",
    "/help/helpen_en.html", "/help/helpde_de.html",
};

class ContentBrowser : public WebFixture {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/chromedriver", X_OK) != 0 || ::access("/usr/bin/chromium", X_OK) != 0)
      GTEST_SKIP() << "chromium and chromium-driver are not installed";
    WebFixture::SetUp();
    std::error_code error;
    std::filesystem::copy(TEST_BINARY_DIR "/romfs", dir_ + "/romfs",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing,
                          error);
    ASSERT_FALSE(error) << "the content tree is not built: " << error.message();
    ASSERT_EQ(bindTextDomain(), 1);
    // A real model's identity, so the pages show what a device shows.
    savedProduct_ = productParams();
    savedFirmware_ = firmwareParams();
    savedSoftware_ = softwareInfo();
    ASSERT_TRUE(layIdentityFixture("p353", dir_));
    readProductParams(productParams());
    readFirmwareParams(firmwareParams());
    softwareInfo() = SoftwareInfo{};
    readSoftwareInfo(softwareInfo());
    ASSERT_NE(paramStore.find("sys_name")->set("Lab <hub> & more"), 0);
    table_.reset(new PageTable(contentRows, sizeof contentRows / sizeof contentRows[0], nullptr));
    pageTable = table_.get();
    startListener();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    productParams() = savedProduct_;
    firmwareParams() = savedFirmware_;
    softwareInfo() = savedSoftware_;
    paramStore.find("sys_name")->set("");
    paramStore.find("language")->set("en");
    paramStore.resetModified();
    WebFixture::TearDown();
  }

  ProductParams savedProduct_{};
  FirmwareParams savedFirmware_{};
  SoftwareInfo savedSoftware_{};
};

TEST_F(ContentBrowser, EveryPageRendersInEnglishAndGerman) {
  const std::string shots = TEST_BINARY_DIR "/artefacts/web_pages";
  std::string command = "/usr/bin/python3 " TEST_SOURCE_DIR "/tests/web/tools/browse_pages.py " +
                        std::to_string(port_) + " '" + shots + "'";
  for (const char* page : kPages) command += std::string(" ") + page;
  command += " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string report;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) report.append(chunk, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  EXPECT_EQ(report, "");
  // The German pages are German, from the built catalogue.
  const std::string login = bodyOf(exchange("GET /index_de.html HTTP/1.0\r\n\r\n"));
  EXPECT_NE(login.find("Anmelden"), std::string::npos) << login;
  EXPECT_NE(login.find("Kennwort"), std::string::npos) << login;
  for (const char* shot : {"login_en.png", "login_de.png", "start_en.png", "start_de.png"})
    EXPECT_TRUE(std::filesystem::exists(shots + "/" + shot)) << shot;
}

}  // namespace

// The language of a request: a "_xx" code in the path translates that
// request alone, and becomes the device's language only for an
// administrator; concurrent requests never render in each other's language.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "params/store/paramstore.h"
#include "params/types/p3list.h"
#include "params/types/param.h"
#include "runtime/text/gettext.h"
#include "web/support/web_fixture.h"

using namespace webtest;

namespace {

class WebLanguage : public WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    const std::string dir = dir_ + "/romfs/locale/de/LC_MESSAGES";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/pel.po") << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                                      "msgid \"Good day\"\nmsgstr \"Guten Tag\"\n";
    const std::string command = "msgfmt -o '" + dir + "/pel.mo' '" + dir + "/pel.po'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_EQ(bindTextDomain(), 1);
    startListener();
  }
  void TearDown() override {
    paramStore.find("language")->set("en");
    paramStore.find("sessKeys")->set("off");
    paramStore.resetModified();
    WebFixture::TearDown();
  }
  static std::string language() { return paramStore.findList("language")->currentKey(); }
  std::string savedFile() const {
    std::ifstream in(dir_ + "/etc/params.dat");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

TEST_F(WebLanguage, PathCodeTranslatesTheRequestAndAnAdministratorKeepsIt) {
  ASSERT_EQ(language(), "en");
  EXPECT_EQ(bodyOf(exchange("GET /hello.cgi HTTP/1.0\r\n\r\n")), "Good day");
  EXPECT_EQ(bodyOf(exchange("GET /hello_de.cgi HTTP/1.0\r\n\r\n")), "Guten Tag");
  // With session keys off every caller is administrator: the code became
  // the device's language, saved.
  EXPECT_EQ(language(), "de");
  EXPECT_NE(savedFile().find("language"), std::string::npos);
  EXPECT_EQ(bodyOf(exchange("GET /hello.cgi HTTP/1.0\r\n\r\n")), "Guten Tag");
  // An unknown code neither translates nor changes anything.
  EXPECT_EQ(bodyOf(exchange("GET /hello_zz.cgi HTTP/1.0\r\n\r\n")), "Guten Tag");
  EXPECT_EQ(language(), "de");
}

TEST_F(WebLanguage, TextsOutsideRequestsFollowTheDeviceLanguage) {
  EXPECT_STREQ(getmuText("Good day"), "Good day");
  EXPECT_EQ(bodyOf(exchange("GET /hello_de.cgi HTTP/1.0\r\n\r\n")), "Guten Tag");
  EXPECT_STREQ(getmuText("Good day"), "Guten Tag");  // the administrator's choice is the device's
  ASSERT_NE(paramStore.find("language")->set("en"), 0);
  EXPECT_STREQ(getmuText("Good day"), "Good day");
}

TEST_F(WebLanguage, OtherCallersGetTheirLanguageWithoutChangingTheDevice) {
  ASSERT_NE(paramStore.find("sessKeys")->set("on"), 0);
  EXPECT_EQ(bodyOf(exchange("GET /hello_de.cgi HTTP/1.0\r\n\r\n")), "Guten Tag");
  EXPECT_EQ(language(), "en");
  EXPECT_EQ(savedFile(), "");
}

TEST_F(WebLanguage, RedirectsKeepTheRequestLanguage) {
  ASSERT_NE(paramStore.find("sessKeys")->set("on"), 0);
  const std::string answer = exchange("GET /start_de.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 302 Moved Temporarily\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("Location: /index_de.html\r\n"), std::string::npos) << answer;
  // Decoded control bytes never reach a header.
  const std::string injected = exchange("GET /start_%0d%0a.html HTTP/1.0\r\n\r\n");
  EXPECT_NE(injected.find("Location: /index_en.html\r\n"), std::string::npos) << injected;
}

TEST_F(WebLanguage, ConcurrentRequestsEachRenderInTheirOwnLanguage) {
  ASSERT_NE(paramStore.find("sessKeys")->set("on"), 0);  // the device language stays put
  std::atomic<int> wrong{0};
  auto client = [&](const char* path, const char* expected) {
    for (int i = 0; i < 500; ++i)
      if (bodyOf(exchange(std::string("GET ") + path + " HTTP/1.0\r\n\r\n")) != expected) wrong.fetch_add(1);
  };
  std::thread german(client, "/hello_de.cgi", "Guten Tag");
  std::thread english(client, "/hello_en.cgi", "Good day");
  german.join();
  english.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

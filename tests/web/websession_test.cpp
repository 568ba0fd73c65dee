// Access levels, login, logout and session expiry through the program's
// web server, with curl as the browser.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "runtime/task/uptime.h"
#include "web/pages/pagerows.h"
#include "web/sessions/sessiontable.h"
#include "web/support/program_web.h"

namespace {

using namespace webtest;

constexpr int64_t kSecond = 100;

std::string cookie(const std::string& value) { return "-H 'Cookie: " + value + "'"; }

// A redirect target names the page, in the request's language or none.
bool isPage(const std::string& location, const std::string& page) {
  return std::regex_match(location, std::regex("/" + page + "(_[a-z]{2})?\\.html"));
}

class WebSession : public ProgramWeb {
 protected:
  void SetUp() override {
    ProgramWeb::SetUp();
    resetUptimeForTesting();
  }
  void TearDown() override {
    ProgramWeb::TearDown();
    resetUptimeForTesting();
  }
};

TEST_F(WebSession, WithoutSessionKeysEveryPageIsOpenAndTheLoginLeadsToTheStartPage) {
  startServer();
  for (int row = 1; row < kPageRowCount; ++row) {
    const std::string path = pageRows[row].path;
    if (path == "/index.html") continue;
    SCOPED_TRACE(path);
    const std::string answer = get(path);
    EXPECT_NE(statusOf(answer), 302) << answer.substr(0, 200);
  }
  const std::string answer = get("/index.html");
  EXPECT_EQ(statusOf(answer), 302);
  EXPECT_TRUE(isPage(headerOf(answer, "Location"), "start")) << answer;
  // The start page shows the administrator's menu.
  EXPECT_NE(get("/start.html").find("/sitemap_"), std::string::npos);
}

TEST_F(WebSession, AccessFollowsTheLevelOfThePageAndTheSession) {
  params_.set("sessKeys", "on");
  startServer();
  const std::string admin = login("Admin", "adminpass");
  const std::string user = login("User", "userpass1");
  ASSERT_EQ(admin.size(), 16u);
  ASSERT_EQ(user.size(), 16u);
  struct Case {
    const char* path;
    std::string cookieHeader;  // "" none
    bool served;
  } cases[] = {
      {"/start.html", "", false},
      {"/contact.html", "", true},
      {"/help/helpen.html", "", true},
      {"/start.html", "SessKey=" + user, true},
      {"/sitemap.html", "SessKey=" + user, false},
      {"/network/ipv4.html", "SessKey=" + user, false},
      {"/sitemap.html", "SessKey=" + admin, true},
      {"/sitemap.html", "theme=dark; SessKey=" + admin, true},
      {"/sitemap.html", "XSessKey=" + admin, false},
      {"/start.html", "SessKey=" + admin.substr(0, 15), false},
      {"/start.html", "SessKey=" + admin + "x", false},
      {"/start.html", "SessKey=0000000000000000", false},
      {"/contact.html", "SessKey=0000000000000000", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " with '" + c.cookieHeader + "'");
    const std::string answer = get(c.path, c.cookieHeader.empty() ? "" : cookie(c.cookieHeader));
    if (c.served) {
      EXPECT_NE(statusOf(answer), 302) << answer.substr(0, 300);
    } else {
      EXPECT_EQ(statusOf(answer), 302) << answer.substr(0, 300);
      EXPECT_TRUE(isPage(headerOf(answer, "Location"), "index")) << answer;
    }
  }
  // A known session on an open-with-session page shows its user.
  const std::string contact = get("/contact.html", cookie("SessKey=" + user));
  EXPECT_NE(contact.find("/exit_"), std::string::npos) << "the logout entry needs a session";
  EXPECT_EQ(get("/contact.html").find("/exit_"), std::string::npos);
}

TEST_F(WebSession, LoginAnswersAndTheCookieItSets) {
  params_.set("sessKeys", "on");
  startServer();
  std::string answer;
  const std::string key = login("Admin", "adminpass", false, &answer);
  ASSERT_EQ(key.size(), 16u) << answer;
  EXPECT_EQ(statusOf(answer), 302);
  EXPECT_TRUE(isPage(headerOf(answer, "Location"), "start")) << answer;
  EXPECT_EQ(headerOf(answer, "Set-Cookie"), "SessKey=" + key + "; PATH=/; HttpOnly");

  struct Case {
    const char* name;
    const char* pwd;
    const char* error;
    bool nameKept;
  } cases[] = {
      {"Nobody", "adminpass", "The user name is incorrect.", false},
      {"Admin", "wrongpass", "The password is incorrect.", true},
      {"Admin", "adminpas", "The password is incorrect.", true},
      {"User", "adminpass", "The password is incorrect.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "/" + c.pwd);
    std::string page;
    EXPECT_EQ(login(c.name, c.pwd, false, &page), "");
    EXPECT_EQ(statusOf(page), 200);
    EXPECT_NE(page.find(c.error), std::string::npos) << page;
    EXPECT_EQ(page.find("value=\"" + std::string(c.name) + "\"") != std::string::npos, c.nameKept);
  }
  // A form without the action only shows the login page.
  EXPECT_EQ(statusOf(get("/index.html?name=Admin&pwd=adminpass")), 200);
}

TEST_F(WebSession, LoginOverTlsWhilePlainIsOnlyRedirectedMarksTheCookieSecure) {
  params_.set("sessKeys", "on");
  params_.set("http_allowed", "off");
  startServer(1, true, true);
  std::string answer;
  const std::string key = login("Admin", "adminpass", true, &answer);
  ASSERT_EQ(key.size(), 16u) << answer;
  EXPECT_EQ(headerOf(answer, "Set-Cookie"), "SessKey=" + key + "; PATH=/; HttpOnly; Secure");
}

TEST_F(WebSession, LogoutEndsTheSessionWhereverTheCookieStands) {
  params_.set("sessKeys", "on");
  startServer();
  for (const char* before : {"", "lang=de; ", "a=1; b=2; "}) {
    SCOPED_TRACE(before);
    const std::string key = login("User", "userpass1");
    ASSERT_EQ(key.size(), 16u);
    const std::string header = cookie(std::string(before) + "SessKey=" + key);
    ASSERT_EQ(statusOf(get("/start.html", header)), 200);
    const std::string logout = get("/exit.html", header);
    EXPECT_EQ(statusOf(logout), 200);
    EXPECT_NE(logout.find("name=\"pwd\""), std::string::npos) << "the login page follows";
    EXPECT_EQ(statusOf(get("/start.html", header)), 302);
  }
}

TEST_F(WebSession, IdleSessionsEndAndUntouchedPagesDoNotKeepThemAlive) {
  params_.set("sessKeys", "on");
  startServer();
  struct Case {
    const char* visitedAt100s;
    bool aliveAt121s;
  } cases[] = {
      {nullptr, false},
      {"/maintenance/updatecheck.html", false},  // looked up without refreshing
      {"/contact.html", true},
      {"/sitemap.html", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.visitedAt100s ? c.visitedAt100s : "(none)");
    const std::string key = login("Admin", "adminpass");
    ASSERT_EQ(key.size(), 16u);
    const std::string header = cookie("SessKey=" + key);
    shiftUptimeForTesting(100 * kSecond);
    if (c.visitedAt100s != nullptr) get(c.visitedAt100s, header);
    shiftUptimeForTesting(21 * kSecond);
    EXPECT_EQ(statusOf(get("/sitemap.html", header)), c.aliveAt121s ? 200 : 302);
  }
}

TEST_F(WebSession, SessionsSurviveTheEndOfTheListenerUnlessTheStartIsAFirstOne) {
  params_.set("sessKeys", "on");
  startServer();
  const std::string admin = login("Admin", "adminpass");
  const std::string user = login("User", "userpass1");
  const std::string stale = login("User", "userpass1");
  ASSERT_EQ(stale.size(), 16u);
  shiftUptimeForTesting(60 * kSecond);
  ASSERT_EQ(statusOf(get("/start.html", cookie("SessKey=" + admin))), 200);
  ASSERT_EQ(statusOf(get("/start.html", cookie("SessKey=" + user))), 200);
  shiftUptimeForTesting(100 * kSecond);  // the stale one is past its 120 s, unseen
  stopServer();

  const std::string image = dir_ + "/var/sessions.raw";
  struct stat st{};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(kSessionImageSize));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  resetUptimeForTesting();  // a new run of the program
  startServer(1);
  // A page that does not refresh the session shows it is back.
  EXPECT_NE(statusOf(get("/maintenance/updatecheck.html", cookie("SessKey=" + admin))), 302);
  EXPECT_EQ(statusOf(get("/start.html", cookie("SessKey=" + user))), 200);
  EXPECT_EQ(statusOf(get("/start.html", cookie("SessKey=" + stale))), 302);
  // The administrator was idle 100 s before the end: 21 more and the
  // session is gone, while the user's visit after the start keeps that one.
  shiftUptimeForTesting(21 * kSecond);
  EXPECT_EQ(statusOf(get("/sitemap.html", cookie("SessKey=" + admin))), 302);
  EXPECT_EQ(statusOf(get("/start.html", cookie("SessKey=" + user))), 200);
  stopServer();

  startServer(0);  // a first start
  EXPECT_FALSE(std::filesystem::exists(image));
  EXPECT_EQ(statusOf(get("/start.html", cookie("SessKey=" + user))), 302);
}

}  // namespace

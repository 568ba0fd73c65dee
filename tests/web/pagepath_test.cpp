// Page rows and files for request paths, over a content tree of the test's
// own; and the header lines a request keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/scratch_root.h"
#include "web/http/httprequest.h"
#include "web/pages/pagetable.h"

namespace {

PageRow rows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/index.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/start.html", 2, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/network/ipv4.html", 3, PAGE_TEMPLATE, 1, nullptr, nullptr},
};

class PagePath : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    for (const char* file : {"index.html", "start.html", "network/index.htm", "network/ipv4.html", "docs/index.html",
                             "page.htm", "norow.html", "style.css"})
      writeFile(std::string("romfs/templates/") + file, "x");
    writeFile("romfs/KOLAR/start.html", "skinned");
  }
  void TearDown() override {
    pageTable = nullptr;
    ScratchRoot::TearDown();
  }
};

TEST_F(PagePath, FindsRowAndFile) {
  struct Case {
    const char* skin;
    const char* path;
    int row;
    const char* file;  // "" : none
  } cases[] = {
      {nullptr, "/start.html", 2, "/romfs/templates/start.html"},
      {nullptr, "/network", 0, "/romfs/templates/network/index.htm"},   // directory index
      {nullptr, "/network/", 0, "/romfs/templates/network/index.htm"},
      {nullptr, "/docs", -1, "/romfs/templates/docs/index.html"},       // .html index without a row
      {nullptr, "/norow.html", -1, "/romfs/templates/norow.html"},      // .html without a row
      {nullptr, "/page.html", 0, "/romfs/templates/page.htm"},          // extension fallback
      {nullptr, "/missing.txt", 0, ""},                                 // nothing under any extension
      {nullptr, "/missing.html", -1, ""},
      {nullptr, "/style.css", 0, "/romfs/templates/style.css"},
      {nullptr, "/noext", 0, "/romfs/templates/noext"},
      {"KOLAR", "/start.html", 2, "/romfs/KOLAR/start.html"},           // the skin first
      {"KOLAR", "/index.html", 1, "/romfs/templates/index.html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.skin ? c.skin : "-") + " " + c.path);
    PageTable table(rows, 4, c.skin);
    pageTable = &table;
    HttpRequest request(nullptr);
    std::strcpy(request.requestPath, c.path);
    request.resolvePagePath();
    EXPECT_EQ(request.pageIndex, c.row);
    // A row of -1 is answered 404 whatever file was found.
    if (c.row >= 0) {
      EXPECT_EQ(request.filePath, c.file);
    }
  }
}

TEST_F(PagePath, RowOperationsCheckTheirRow) {
  PageTable table(rows, 4, nullptr);
  EXPECT_STREQ(table.row(3).fileName, "ipv4.html");
  EXPECT_STREQ(table.row(0).fileName, "soSimple");
  EXPECT_EQ(table.findRow(nullptr), -1);
  EXPECT_EQ(table.findRow("/x.html"), -1);
  EXPECT_EQ(table.findRow(".html"), 0);  // too short to be a page name
  EXPECT_EQ(table.isRawFile(0), 1);
  EXPECT_EQ(table.isRawFile(4), 0);
  EXPECT_EQ(table.isScriptTemplate(-1), 0);
  HttpRequest request(nullptr);
  EXPECT_EQ(table.callHandler(99, request), 0);
  EXPECT_EQ(table.callHandler(1, request), 1);
  request.pageIndex = 3;
  int directory = -1;
  EXPECT_STREQ(table.currentPath(request, &directory), "/network/ipv4.html");
  EXPECT_EQ(directory, 8);
  request.pageIndex = 1;
  EXPECT_STREQ(table.currentPath(request, &directory), "/index.html");
  EXPECT_EQ(directory, 0);
  request.pageIndex = 7;
  EXPECT_STREQ(table.currentPath(request, &directory), "");
  EXPECT_EQ(directory, 0);
}

TEST(HeaderLines, KeepsTheHeadersTheEngineUses) {
  HttpRequest request(nullptr);
  std::string lines[] = {
      "Host: [fe80::1]:8080", "host: other",          "Authorization: Bas",    "Authorization: Basic YWRtaW46cHc=",
      "Connection: keep-alive", "User-Agent: one",    "user-agent: two",       "Cookie: SessKey=1",
      "Cookie: SessKey=2",    "Content-Length: 12", "X-Other:\tignored",     "Referer: r1",
  };
  for (std::string& line : lines) EXPECT_EQ(request.takeHeaderLine(&line[0]), 1) << line;
  EXPECT_STREQ(request.hostHeader, "[fe80::1]");
  EXPECT_STREQ(request.authorization, "YWRtaW46cHc=");
  request.decodeAuthorization();
  EXPECT_EQ(request.credentials, "admin:pw");
  EXPECT_EQ(request.connectionMode, 2);
  EXPECT_STREQ(request.userAgentHeader, "two");
  EXPECT_STREQ(request.cookieHeader, "SessKey=1");
  EXPECT_STREQ(request.contentLengthHeader, "12");
  EXPECT_STREQ(request.refererHeader, "r1");
  std::string noColon = "NoColon";
  EXPECT_EQ(request.takeHeaderLine(&noColon[0]), 0);
}

TEST(HeaderLines, HostPortsAndConnectionModes) {
  struct Case {
    const char* host;
    const char* kept;
  } hosts[] = {{"Host: example.com:81", "example.com"}, {"Host: [::1]", "[::1]"}, {"Host: 10.0.0.1", "10.0.0.1"},
               {"Host: [::1", "[::1"}};
  for (const Case& c : hosts) {
    HttpRequest request(nullptr);
    std::string line = c.host;
    request.takeHeaderLine(&line[0]);
    EXPECT_STREQ(request.hostHeader, c.kept) << c.host;
  }
  HttpRequest request(nullptr);
  std::string close = "Connection: Close", keep = "Connection: keep-alive";
  request.takeHeaderLine(&close[0]);
  request.takeHeaderLine(&keep[0]);
  EXPECT_EQ(request.connectionMode, 1);  // a close is never taken back
}

}  // namespace

// The answers handlers give with another page: the named template as
// template text, the wait page and the redirector with their refresh.
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/scratch_root.h"
#include "web/http/httprequest.h"
#include "web/pages/sessionpagetable.h"

namespace {

// The template text of a handler result, "" when it is none.
std::string templateOf(int result) {
  if (result <= 255 || (result & 0xFF) != kAnswerTemplate) return "";
  const int fd = result >> 8;
  std::string text;
  char chunk[256];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

// The page table loads and saves the sessions: under a data root of its own.
class PageAnswers : public ScratchRoot {};

TEST_F(PageAnswers, NamedTemplateWaitPageAndRedirector) {
  struct Case {
    const char* name;
    int (*answer)(HttpRequest&);
    const char* text;
    const char* refreshTarget;
    int refreshDelay;
    const char* displayMsg;
  } cases[] = {
      {"show_page", [](HttpRequest& r) { return show_page(r, "/sitemap.html"); }, "{./sitemap.html}\n", nullptr, 6,
       nullptr},
      {"wait page", [](HttpRequest& r) { return showWaitPage(r, "The device is restarting."); }, "{./wait4.html}\n",
       "/start.html", 6, "The device is restarting."},
      {"wait page with its own target",
       [](HttpRequest& r) {
         r.refreshTarget = "/network/ipv4.html";
         return showWaitPage(r, "");
       },
       "{./wait4.html}\n", "/network/ipv4.html", 6, nullptr},
      {"redirector to https", [](HttpRequest& r) { return pageTable->showRedirector(r, 1); },
       "{./redirector.html}\n", "/start.html", -3, nullptr},
      {"redirector", [](HttpRequest& r) { return pageTable->showRedirector(r, 0); }, "{./redirector.html}\n",
       "/start.html", 1, nullptr},
  };
  writeFile("var/.keep", "");
  SessionPageTable table(0);
  PageTable* saved = pageTable;
  pageTable = &table;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<HttpRequest> request(new HttpRequest(nullptr));
    request->attachmentName = "left.txt";
    EXPECT_EQ(templateOf(c.answer(*request)), c.text);
    EXPECT_STREQ(request->contentType, "text/html");
    EXPECT_EQ(request->attachmentName, "");
    if (c.refreshTarget != nullptr) {
      EXPECT_STREQ(request->refreshTarget, c.refreshTarget);
    } else {
      EXPECT_EQ(request->refreshTarget, nullptr);
    }
    EXPECT_EQ(request->refreshDelay, c.refreshDelay);
    const char* shown = request->findVariable("DisplayMsg");
    if (c.displayMsg != nullptr) {
      EXPECT_STREQ(shown, c.displayMsg);
    } else {
      EXPECT_EQ(shown, nullptr);
    }
  }
  pageTable = saved;
}

}  // namespace

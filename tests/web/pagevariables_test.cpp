// Page templates through a real request: the order in which a marker's
// name is looked up (language, refresh line, the handler's variables,
// parameters), what is escaped on the way out, and translations in the
// request's language.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "runtime/text/gettext.h"
#include "web/http/httprequest.h"
#include "web/support/web_fixture.h"

using namespace webtest;

namespace {

// A handler as a page's own would be: values from outside (a device's
// descriptor text, a user's name) as text, a built cell as markup.
int varsHandler(HttpRequest& request) {
  request.setVariable("Owner", "<script>alert(1)</script>");
  request.setVariable("sys_name", "from the handler");
  request.setVariable("Lines", "one\ntwo");
  request.setMarkupVariable("Cell", "<b>&ndash;</b>");
  request.setVariable("usb2", "second port");
  request.setVariable("LLoginName", "admin\" autofocus onfocus=\"alert(1)");
  request.setVariable("ROW#", "2");
  return 1;
}

int refreshHandler(HttpRequest& request) {
  request.refreshTarget = "/start.html";
  request.refreshDelay = -3;
  return 1;
}

PageRow rows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/vars.html", 0, PAGE_TEMPLATE, 0, varsHandler, nullptr},
    {"/plain.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/refresh.html", 0, PAGE_TEMPLATE, 0, refreshHandler, nullptr},
};

class PageVariables : public WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    table_.reset(new PageTable(rows, sizeof rows / sizeof rows[0], nullptr));
    pageTable = table_.get();
    const std::string dir = dir_ + "/romfs/locale/de/LC_MESSAGES";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/pel.po") << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                                      "msgid \"Save\"\nmsgstr \"Speichern\"\n";
    ASSERT_EQ(std::system(("msgfmt -o '" + dir + "/pel.mo' '" + dir + "/pel.po'").c_str()), 0);
    ASSERT_EQ(bindTextDomain(), 1);
    ASSERT_NE(paramStore.find("sessKeys")->set("on"), 0);  // the device's language stays put
    ASSERT_NE(paramStore.find("sys_name")->set("Lab <hub>"), 0);
    ASSERT_NE(paramStore.find("sys_contact")->set("ops & co"), 0);
    startListener();
  }
  void TearDown() override {
    paramStore.find("sys_name")->set("");
    paramStore.find("sys_contact")->set("");
    paramStore.find("sessKeys")->set("off");
    paramStore.find("language")->set("en");
    paramStore.resetModified();
    WebFixture::TearDown();
  }
  std::string page(const std::string& path, const std::string& host = "") {
    std::string head = "GET " + path + " HTTP/1.0\r\n";
    if (!host.empty()) head += "Host: " + host + "\r\n";
    return bodyOf(exchange(head + "\r\n"));
  }
};

struct Case {
  const char* name;
  const char* path;
  const char* text;
  const char* expected;
};

TEST_F(PageVariables, NamesAreLookedUpInOrderAndWrittenSafely) {
  const Case cases[] = {
      {"language of the path", "/plain_de.html", "{lang}", "de"},
      {"request variable before parameter", "/vars.html", "{sys_name}", "from the handler"},
      {"parameter, escaped", "/plain.html", "{sys_name}|{sys_contact}", "Lab &lt;hub&gt;|ops &amp; co"},
      {"upper-case name is never a parameter", "/plain.html", "[{Sys_name}][{SYS_NAME}]", "[][]"},
      {"outside text escaped", "/vars.html", "<td>{Owner}</td>", "<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"},
      {"echoed login name stays inside its attribute", "/vars.html", "<input name=\"name\" value=\"{?LLoginName}\">",
       "<input name=\"name\" value=\"admin&quot; autofocus onfocus=&quot;alert(1)\">"},
      {"markup unchanged", "/vars.html", "{Cell}", "<b>&ndash;</b>"},
      {"newline after escaping", "/vars.html", "{Lines}", "one<br>\ntwo"},
      {"comparison on the raw value", "/vars.html", "{Owner=<script>alert(1)</script>?raw|escaped}", "raw"},
      {"indexed variable", "/vars.html", "{[ROW+1]{usb}.}", ".second port."},
      {"no refresh without target", "/plain.html", "[{MetaAutoRefresh}]", "[]"},
      {"translation in the request's language", "/plain_de.html", "Ml(\"Save\") ML(\"Save\")",
       "Speichern \"Speichern\""},
      {"translation in English", "/plain_en.html", "Ml(\"Save\")", "Save"},
  };
  for (const Case& c : cases) {
    const std::string file = std::string(c.path).find("vars") != std::string::npos ? "vars.html" : "plain.html";
    writeTemplate(file, c.text);
    EXPECT_EQ(page(c.path), c.expected) << c.name;
  }
}

TEST_F(PageVariables, RefreshLineCarriesTheHostEscaped) {
  writeTemplate("refresh.html", "{MetaAutoRefresh}");
  EXPECT_EQ(page("/refresh.html", "device.example"),
            "<meta http-equiv=\"refresh\" content=\"3; url=https://device.example/start_en.html\"/>\n");
  EXPECT_EQ(page("/refresh_de.html", "device.example"),
            "<meta http-equiv=\"refresh\" content=\"3; url=https://device.example/start_de.html\"/>\n");
  // A hostile Host header cannot leave the attribute.
  const std::string hostile = page("/refresh.html", "x\"><script>alert(1)</script>");
  EXPECT_EQ(hostile.find("<script>"), std::string::npos) << hostile;
  EXPECT_EQ(hostile.find("x\">"), std::string::npos) << hostile;
  EXPECT_NE(hostile.find("x&quot;&gt;&lt;script&gt;"), std::string::npos) << hostile;
}

}  // namespace

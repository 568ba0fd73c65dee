// Every settable parameter a model shows is on exactly one settings page:
// each model's pages are rendered from the content tree with the model's
// parameter store (adjusted in a child process, as the store stays
// adjusted for good) and their form fields collected.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/table/modeladjust.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "support/identity_fixture.h"
#include "web/support/settings_fixture.h"

namespace webtest {
namespace {

namespace fs = std::filesystem;

const char* const kPages[] = {
    "/network/ipv4.html",          "/network/ip4vlan.html",     "/network/ipv6.html",
    "/network/wlan.html",          "/network/dns.html",         "/network/snmp.html",
    "/network/bonjour.html",       "/network/email.html",       "/device/description.html",
    "/device/port.html",           "/device/usb.html",          "/device/time.html",
    "/device/notify.html",         "/device/relay.html",        "/security/ssl.html",
    "/security/details.html",      "/security/http.html",       "/security/port_access.html",
    "/security/authentication.html", "/security/rqcert.html",   "/security/encrypt.html",
    "/security/devacc.html",       "/maintenance/backup.html",  "/maintenance/showparams.html",
};

// Fields of the pages that are no parameters.
const std::set<std::string> kOtherFields = {"action", "EAProot", "RSAbits", "sub_req", "paramfile",
                                            "clear",  "checknow", "scanNow"};
// Settable parameters that live on pages of their own subject elsewhere.
const std::set<std::string> kElsewhere = {"autoSync"};  // the memory-card page

class SettingsComplete : public SettingsFixture {
 protected:
  // Runs in the child: adjusts the store to the model, renders the pages
  // and reports every problem on standard error; the number of problems.
  // The report goes to a file the parent reads (named by the parent's pid).
  static std::string reportPath(int parentPid) { return "/tmp/settingscomplete-" + std::to_string(parentPid) + ".txt"; }

  int checkModel(const char* model) {
    FILE* report = std::fopen(reportPath(static_cast<int>(getppid())).c_str(), "w");
    if (report == nullptr) return 1000;
    const int problems = collectProblems(model, report);
    std::fclose(report);
    return problems;
  }

  int collectProblems(const char* model, FILE* report) {
    fs::copy(TEST_BINARY_DIR "/romfs/templates", dir_ + "/romfs/templates",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    if (!layIdentityFixture(model, dir_)) return 1000;
    readProductParams(productParams());
    setRuntimeEnv();

    std::map<std::string, uint32_t> flagsOf;
    int count = 0;
    Param** items = paramStore.items(&count);
    for (int i = 0; i < count; ++i) flagsOf[items[i]->key()] = items[i]->flags();

    int problems = 0;
    std::map<std::string, std::set<std::string>> pagesOf;
    const std::regex field("<(?:input|select|textarea)[^>]*\\sname=\"([^\"]+)\"");
    const std::regex leftover("\\{[A-Za-z_.?#\\[-]");
    for (const char* page : kPages) {
      const std::string answer = get(page);
      const std::string body = bodyOf(answer);
      if (answer.rfind("HTTP/1.1 200", 0) != 0 && answer.rfind("HTTP/1.0 200", 0) != 0) {
        // Pages of features the model lacks are errors by design.
        if (answer.find(" 500 ") == std::string::npos) {
          std::fprintf(report, "%s: %s\n", page, answer.substr(0, answer.find('\r')).c_str());
          ++problems;
        }
        continue;
      }
      if (body.find("ERROR BUFFER OVERRUN") != std::string::npos || std::regex_search(body, leftover)) {
        std::fprintf(report, "%s: unexpanded or cut page\n", page);
        ++problems;
      }
      for (std::sregex_iterator m(body.begin(), body.end(), field), end; m != end; ++m) {
        std::string name = (*m)[1];
        if (name.compare(0, 2, "__") == 0) name.erase(0, 2);
        if (kOtherFields.count(name) || name.compare(0, 5, "self_") == 0) continue;
        auto known = flagsOf.find(name);
        if (known == flagsOf.end() || (known->second & (PF_HIDDEN | PF_ALWAYS_HIDDEN))) {
          std::fprintf(report, "%s: field %s is no parameter of the model\n", page, name.c_str());
          ++problems;
          continue;
        }
        if (known->second & (PF_NOREPORT | PF_VOLATILE)) {
          std::fprintf(report, "%s: read-only %s is a field\n", page, name.c_str());
          ++problems;
        }
        pagesOf[name].insert(page);
      }
    }
    for (const auto& entry : flagsOf) {
      const uint32_t flags = entry.second;
      if (flags & (PF_HIDDEN | PF_ALWAYS_HIDDEN | PF_NOREPORT | PF_VOLATILE)) continue;
      const auto pages = pagesOf.find(entry.first);
      const size_t on = pages == pagesOf.end() ? 0 : pages->second.size();
      if (kElsewhere.count(entry.first)) {
        if (on != 0) ++problems;
        continue;
      }
      if (on != 1) {
        std::string list;
        if (on) for (const std::string& p : pages->second) list += " " + p;
        std::fprintf(report, "%s: on %zu pages%s\n", entry.first.c_str(), on, list.c_str());
        ++problems;
      }
    }
    return problems;
  }
};

TEST_F(SettingsComplete, EverySettableParameterIsOnExactlyOnePage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* model : {"p353", "p330-wlan", "p365"}) {
    EXPECT_EXIT(std::exit(checkModel(model)), ::testing::ExitedWithCode(0), "") << model;
    const std::string path = reportPath(static_cast<int>(getpid()));
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "") << model;
    std::remove(path.c_str());
  }
}

}  // namespace
}  // namespace webtest

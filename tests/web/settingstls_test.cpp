// The TLS pages: the cipher of the page's own connection as table cells or
// as a list, the library version and the connection's ciphers over TLS;
// an empty cell over plain HTTP; the encryption level by name.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "web/support/settings_fixture.h"

namespace webtest {
namespace {

std::string curlBody(const std::string& url) {
  std::string out;
  FILE* pipe = ::popen(("curl -s -k --max-time 20 '" + url + "'").c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

class SettingsTls : public SettingsFixture {
 protected:
  bool servesTls() const override { return true; }
  void SetUp() override {
    SettingsFixture::SetUp();
    writeTemplate("security/ssl.html", "C[{?CipherInfo}] L[{?EncLevel}]");
    writeTemplate("security/details.html",
                  "C[{?CipherInfo}] V[{?SSLEAY_VERSION}] N[{?Ciphers#}] R[{?Ciphers_0}]");
  }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
};

TEST_F(SettingsTls, CipherOfTheConnectionAsCellsAndAsList) {
  setParam("security", "2");
  const std::string ssl = curlBody(url("/security/ssl.html"));
  EXPECT_TRUE(std::regex_search(ssl, std::regex("^C\\[[A-Za-z0-9_-]+ </td><td> TLSv1\\.[23]\\] L\\[Medium\\]$")))
      << ssl;

  const std::string details = curlBody(url("/security/details.html"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(details, m, std::regex("^C\\[([^\\]]*)\\] V\\[([^\\]]*)\\] N\\[(\\d+)\\] R\\[(.*)\\]$")))
      << details;
  const std::string list = m[1];
  EXPECT_NE(list.find("Kx="), std::string::npos) << list;
  EXPECT_NE(list.find(", "), std::string::npos) << list;
  EXPECT_EQ(list.find("TLS"), std::string::npos) << "protocol words are left out: " << list;
  EXPECT_TRUE(std::regex_match(m[2].str(), std::regex("\\d+\\.\\d+\\.\\d+\\w*, .+"))) << m[2];
  EXPECT_GT(std::stoi(m[3]), 0);
  EXPECT_TRUE(std::regex_match(m[4].str(), std::regex("(<td>[A-Za-z0-9_-]+\\+[A-Za-z0-9.v]+</td>){1,2}"))) << m[4];
}

class SettingsPlain : public SettingsFixture {};

TEST_F(SettingsPlain, PlainConnectionHasAnEmptyCipherCell) {
  writeTemplate("security/ssl.html", "C[{?CipherInfo}] L[{?EncLevel}]");
  writeTemplate("security/details.html", "C[{?CipherInfo}] N[{?Ciphers#}]");
  setParam("security", "3");
  EXPECT_EQ(bodyOf(get("/security/ssl.html")), "C[<td></td>] L[High]");
  EXPECT_EQ(bodyOf(get("/security/details.html")), "C[] N[]");
}

}  // namespace
}  // namespace webtest

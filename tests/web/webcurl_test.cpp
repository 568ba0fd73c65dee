// The engine against curl: answer headers, downloads, form posts, multipart
// uploads (with the connection kept alive after them) and HTTPS.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "web/support/web_fixture.h"

using namespace webtest;

namespace {

// Runs curl with args (bounded by --max-time); its standard output.
std::string curl(const std::string& args) {
  const std::string command = "curl -s -S --max-time 20 " + args + " 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "(popen failed)";
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

// The value of header name in a curl -i answer ("" when absent).
std::string headerValue(const std::string& answer, const std::string& name) {
  const std::regex line("(^|\r\n)" + name + ": ([^\r]*)\r\n", std::regex::icase);
  std::smatch m;
  return std::regex_search(answer, m, line) ? m[2].str() : "";
}

class WebCurl : public WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    writeTemplate("style.css", "body{}\n");
    writeTemplate("script.Js", "var a;\n");
    writeTemplate("logo.png", "PNG");
    writeTemplate("noext", "plain");
  }
  std::string url(const std::string& path, bool tls = false) const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  // A file of size pseudo-random bytes in the data root; its path.
  std::string uploadFile(size_t size) {
    std::string bytes = tlstest::patternBytes(size, 7);
    const std::string path = dir_ + "/up.bin";
    std::ofstream(path, std::ios::binary) << bytes;
    lastUpload_ = bytes;
    return path;
  }
  std::string lastUpload_;
};

TEST_F(WebCurl, FileAnswersCarryDateLastModifiedAndTypeByExtension) {
  startListener();
  struct Case {
    const char* path;
    const char* type;
  } cases[] = {{"/style.css", "text/css"},
               {"/script.Js", "application/x-javascript"},
               {"/logo.png", "image/png"},
               {"/noext", "text/html"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string answer = curl("-i " + url(c.path));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(headerValue(answer, "Date").size(), 29u) << answer;
    EXPECT_EQ(headerValue(answer, "Last-Modified").size(), 29u) << answer;
    EXPECT_EQ(headerValue(answer, "Content-Type"), std::string(c.type) + "; charset=UTF-8");
    EXPECT_EQ(headerValue(answer, "Server"), "ORV HTTP Server");
  }
}

TEST_F(WebCurl, DownloadCarriesTheAttachmentLine) {
  startListener();
  const std::string answer = curl("-i " + url("/download.cgi"));
  EXPECT_NE(answer.find("Content-Type: application/octet-stream\r\n"
                        "Content-disposition: attachment; filename=params.txt; charset=UTF-8\r\n"),
            std::string::npos)
      << answer;
  EXPECT_NE(answer.find("\r\n\r\nkey = value\n"), std::string::npos);
}

TEST_F(WebCurl, UrlEncodedForm) {
  startListener();
  EXPECT_EQ(curl("--data-urlencode 'a=x y&z/%' --data-urlencode 'b=\xc3\xbc' " + url("/form.cgi")),
            "a=x y&z/%;b=\xc3\xbc");
}

TEST_F(WebCurl, UploadsReachTheHandlerWhole) {
  startListener();
  struct Case {
    size_t size;
    bool kept;  // the handler gets a file
  } cases[] = {{1, true}, {100000, true}, {8192000, true}, {8192001, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string path = uploadFile(c.size);
    const std::string answer = curl("-F 'file=@" + path + "' " + url("/upload.cgi"));
    if (c.kept)
      EXPECT_EQ(answer, "fd 0 size " + std::to_string(c.size) + " digest " + digestOf(lastUpload_) + " name \"up.bin\"");
    else
      EXPECT_EQ(answer.rfind("fd -1 size 0 ", 0), 0u) << answer;
  }
}

TEST_F(WebCurl, KeptAliveConnectionServesTheRequestAfterAnUpload) {
  startListener();
  const std::string path = uploadFile(30000);
  const std::string answer = curl("-H 'Connection: keep-alive' -F 'file=@" + path + "' " + url("/upload.cgi") +
                                  " --next -H 'Connection: keep-alive' " + url("/task.cgi"));
  // The second answer comes from the successor on the same connection.
  EXPECT_EQ(answer, "fd 0 size 30000 digest " + digestOf(lastUpload_) + " name \"up.bin\"HTTP_2");
}

TEST_F(WebCurl, Https) {
  startListener(true);
  EXPECT_EQ(curl("-k " + url("/task.cgi", true)), "HTTP_1");
  EXPECT_EQ(curl("-k -H 'Connection: keep-alive' " + url("/task.cgi", true) + " " + url("/task.cgi", true)),
            "HTTP_1HTTP_2");
  const std::string path = uploadFile(50000);
  EXPECT_EQ(curl("-k -F 'file=@" + path + "' " + url("/upload.cgi", true)),
            "fd 0 size 50000 digest " + digestOf(lastUpload_) + " name \"up.bin\"");
}

TEST_F(WebCurl, PlainRequestsGoToHttpsWhenPlainHttpIsOff) {
  Param* allowed = paramStore.find("http_allowed");
  ASSERT_NE(allowed, nullptr);
  ASSERT_NE(allowed->set("off"), 0);
  startListener();
  EXPECT_NE(curl(url("/index.html")).find("redirector"), std::string::npos);
  allowed->set("on");
  paramStore.resetModified();
}

TEST_F(WebCurl, TheSameRequestOverTlsIsServedWhenPlainHttpIsOff) {
  Param* allowed = paramStore.find("http_allowed");
  ASSERT_NE(allowed->set("off"), 0);
  startListener(true);
  EXPECT_NE(curl("-k " + url("/index.html", true)).find("index page"), std::string::npos);
  allowed->set("on");
  paramStore.resetModified();
}

}  // namespace

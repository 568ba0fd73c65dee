// The program's web server under test: a data root with the real content
// tree, the program's page table and the listener task "HTTPD" on loopback
// ports, and curl as the client.
#ifndef TESTS_WEB_SUPPORT_PROGRAM_WEB_H
#define TESTS_WEB_SUPPORT_PROGRAM_WEB_H

#include <string>

#include "runtime/support/tls_support.h"
#include "web/support/param_guard.h"

namespace webtest {

// Runs curl with args (bounded by --max-time); its standard output.
std::string runCurl(const std::string& args, int maxSeconds = 10);

// The value of header name in a curl -i answer ("" when absent).
std::string headerOf(const std::string& answer, const std::string& name);

// The status code of a curl -i answer, 0 when none.
int statusOf(const std::string& answer);

class ProgramWeb : public tlstest::TlsTestRoot {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts "HTTPD" on the fixture's ports (negative: that one off) with
  // that start counter; waits until it answers.
  void startServer(int kickOff = 1, bool http = true, bool https = true);
  // Ends it (MSG_QUIT) and waits until it and every request are gone.
  void stopServer();

  std::string url(const std::string& path, bool tls = false) const;
  // curl -i (TLS without verification) with extra arguments.
  std::string get(const std::string& path, const std::string& extra = "", bool tls = false);
  // Logs in through the form; the key of the Set-Cookie line ("" none).
  std::string login(const std::string& name, const std::string& pwd, bool tls = false,
                    std::string* answer = nullptr);

  ParamGuard params_;
  int httpPort_ = 0;
  int httpsPort_ = 0;
  int serverId_ = -1;
  tlstest::LoopbackInterface loopback_;
};

}  // namespace webtest

#endif

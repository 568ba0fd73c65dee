// The web engine under test: a data root with a content tree, a page table
// of test rows, a loopback listener task that starts one request task per
// connection (plain or TLS), and a raw client.
#ifndef TESTS_WEB_SUPPORT_WEB_FIXTURE_H
#define TESTS_WEB_SUPPORT_WEB_FIXTURE_H

#include <atomic>
#include <memory>
#include <string>

#include "runtime/support/tls_support.h"
#include "web/pages/pagetable.h"

namespace webtest {

// FNV-1a of the bytes, as the upload handler reports it.
std::string digestOf(const std::string& bytes);

// The test rows:
//   "soSimple"        catch-all, raw
//   "/index.html"     template, open
//   "/start.html"     template, level 2
//   "/task.cgi"       raw: the serving task's name, as a file answer
//   "/form.cgi"       raw: "a=<a>;b=<b>" of the form
//   "/upload.cgi"     raw: answers "fd <0|-1> size <n> digest <hex> name <file name>"
//   "/fail.cgi"       raw: handler result 0
//   "/pipe.cgi"       raw: a producer pipe answer "piped\n"
//   "/hello.cgi"      raw: the translation of "Good day" in the request's language
//   "/network/ipv4.html" template, level 3
//   "/download.cgi"   raw: an attachment "params.txt" of type application/octet-stream
extern PageRow kTestRows[];
extern const int kTestRowCount;

// Counts the registered tasks whose name begins with prefix.
int countTasks(const char* prefix);
// Open descriptors of this process.
int openDescriptors();
// Open descriptors once they number expected, or after limitMs (real
// time): an ended task leaves the table before its thread has closed its
// pipe and connection.
int openDescriptorsSettledAt(int expected, int limitMs = 5000);

class WebFixture : public tlstest::TlsTestRoot {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the listener task (plain, or TLS with tls) on a loopback port.
  void startListener(bool tls = false);
  // A connected raw client socket (with a receive buffer of that size
  // when given), or -1.
  int connectClient(int receiveBuffer = 0);
  // Sends request and reads until the server closes (bounded); the answer.
  std::string exchange(const std::string& request);
  // Reads from fd until the server closes or limitMs pass.
  static std::string readAll(int fd, int limitMs = 5000);
  // Reads from fd until text was received (bounded); what was read.
  static std::string readUntil(int fd, const std::string& text, int limitMs = 5000);
  static bool sendAll(int fd, const std::string& data);
  // Waits (bounded, real time) until no request task is left.
  static bool waitForRequestsToEnd(int limitMs = 5000);
  // The body of an answer (after the blank line).
  static std::string bodyOf(const std::string& answer);
  // Writes a file under the data root.
  void writeTemplate(const std::string& relative, const std::string& content);

  int port_ = 0;
  std::unique_ptr<PageTable> table_;

 private:
  int listenerId_ = -1;
};

}  // namespace webtest

#endif

// One connection's bytes, then the end of input, through a socket pair into
// the request engine with a few page rows (files, a form handler, an upload
// handler, a producer pipe, settings forms and the parameter-file upload);
// kept-alive successors serve what follows.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/support/inputsocket.h"
#include "runtime/file/fileutil.h"
#include "runtime/file/paths.h"
#include "runtime/socket/connection.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/pages/pagehandlers.h"
#include "web/pages/pagetable.h"

namespace {

int answerText(const std::string& text) {
  const int fd = openAnonymousTempFile();
  if (fd < 0) return -1;
  if (::write(fd, text.data(), text.size()) < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return -1;
  }
  return (fd << 8) | kAnswerFile;
}

int formHandler(HttpRequest& request) {
  const char* a = request.getFormValue("a");
  const char* b = request.getFormValue("b", a);
  request.setVariable("A", a != nullptr ? a : "");
  return answerText(std::string(a != nullptr ? a : "-") + (b != nullptr ? b : "-"));
}

int uploadHandler(HttpRequest& request) {
  char chunk[4096];
  size_t total = 0;
  if (request.uploadFd >= 0)
    for (ssize_t n; (n = ::read(request.uploadFd, chunk, sizeof chunk)) > 0;) total += static_cast<size_t>(n);
  return answerText(std::to_string(total) + request.uploadFileName);
}

int pipeHandler(HttpRequest&) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  if (::write(fds[1], "piped", 5) < 0) {
  }
  ::close(fds[1]);
  return (fds[0] << 8) | kAnswerPipe;
}

int redirectHandler(HttpRequest& request) {
  request.redirectTo("/index.html", "Set-Cookie: x=y");
  return 1;
}

PageRow rows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/index.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/start.html", 2, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/form.cgi", 0, PAGE_RAW, 0, formHandler, nullptr},
    {"/upload.cgi", 0, PAGE_RAW, 0, uploadHandler, nullptr},
    {"/pipe.cgi", 0, PAGE_RAW, 0, pipeHandler, nullptr},
    {"/go.cgi", 0, PAGE_RAW, 0, redirectHandler, nullptr},
    // Settings handlers: forms into the parameters, the parameter-file upload.
    {"/device/description.html", 3, PAGE_TEMPLATE, 1, handleDescriptionPage, nullptr},
    {"/network/ipv4.html", 3, PAGE_TEMPLATE, 1, handleIpv4Page, nullptr},
    {"/security/authentication.html", 3, PAGE_TEMPLATE, 1, handleAuthenticationPage, nullptr},
    {"/maintenance/setparams.cgi", 3, PAGE_TEMPLATE, 1, handleSetParams, nullptr},
};

struct Setting {
  Setting() : table(rows, sizeof rows / sizeof rows[0], nullptr) {
    char pattern[] = "/tmp/fuzz_http.XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    const std::string root = pattern;
    std::filesystem::create_directories(root + "/tmp");
    std::filesystem::create_directories(root + "/romfs/templates/dir");
    std::ofstream(root + "/romfs/templates/index.html") << "<html>index</html>\n";
    std::ofstream(root + "/romfs/templates/start.html") << "<html>start</html>\n";
    std::ofstream(root + "/romfs/templates/dir/index.htm") << "dir index\n";
    std::ofstream(root + "/romfs/templates/a.css") << "body{}\n";
    std::filesystem::create_directories(root + "/etc");
    std::filesystem::create_directories(root + "/flash");
    std::filesystem::create_directories(root + "/romfs/templates/device");
    std::ofstream(root + "/romfs/templates/device/description.html") << "{?HeadInfo}{?ErrMsg}{sys_name}\n";
    std::ofstream(root + "/romfs/templates/wait4.html") << "{?DisplayMsg}{MetaAutoRefresh}\n";
    setDataRoot(pattern);
    pageTable = &table;
  }
  PageTable table;
};

void drain(int fd) {
  char scrap[65536];
  while (::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting setting;
  if (size > 65536) return 0;
  int fds[2];
  if (!openFuzzSocketPair(fds)) return 0;
  sendWholeInput(fds[1], data, size);

  TlsConnection* server = new TlsConnection(nullptr, nullptr, -1);
  server->fd = fds[0];
  server->family = CONN_FAMILY_UNIX;
  server->type = SOCK_STREAM;
  server->state = CONN_STATE_CONNECTED;
  HttpRequest* request = new HttpRequest(server);
  while (request != nullptr) {
    while (request->step()) drain(fds[1]);
    drain(fds[1]);
    HttpRequest* next = nullptr;
    if (request->connectionMode == 2 && request->status < 500 && request->requestsLeft > 0)
      next = HttpRequest::continueFrom(*request);
    delete request;
    request = next;
  }
  ::close(fds[1]);
  return 0;
}

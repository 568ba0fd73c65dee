#include "web/support/web_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "runtime/file/fileutil.h"
#include "runtime/task/task.h"
#include "runtime/text/gettext.h"
#include "runtime/tls/tlslistener.h"
#include "web/http/httprequest.h"

namespace webtest {

namespace {

using namespace std::chrono_literals;

// A file answer holding text.
int answerText(const std::string& text) {
  const int fd = openAnonymousTempFile();
  if (fd < 0) return -1;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return -1;
  }
  return (fd << 8) | kAnswerFile;
}

int taskHandler(HttpRequest&) { return answerText(currentTaskName()); }

int formHandler(HttpRequest& request) {
  const char* a = request.getFormValue("a");
  const char* b = request.getFormValue("b");
  return answerText(std::string("a=") + (a ? a : "(null)") + ";b=" + (b ? b : "(null)"));
}

int uploadHandler(HttpRequest& request) {
  std::string bytes;
  long long size = 0;
  if (request.uploadFd >= 0) {
    char chunk[65536];
    for (ssize_t n; (n = ::read(request.uploadFd, chunk, sizeof chunk)) > 0;) {
      bytes.append(chunk, static_cast<size_t>(n));
      size += n;
    }
  }
  return answerText("fd " + std::to_string(request.uploadFd >= 0 ? 0 : -1) + " size " + std::to_string(size) +
                    " digest " + digestOf(bytes) + " name " + request.uploadFileName);
}

int failHandler(HttpRequest&) { return 0; }

int pipeHandler(HttpRequest&) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const char text[] = "piped\n";
  if (::write(fds[1], text, sizeof text - 1) < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  ::close(fds[1]);
  return (fds[0] << 8) | kAnswerPipe;
}

int helloHandler(HttpRequest&) { return answerText(getmuText("Good day")); }

int downloadHandler(HttpRequest& request) {
  request.contentType = "application/octet-stream";
  request.attachmentName = "params.txt";
  return answerText("key = value\n");
}

// Accepts on a loopback listener and starts one request task per
// connection, as the program's listener will.
class TestListener : public Task {
 public:
  TestListener(TlsConnection* listener, bool tls) : Task("HTTPD"), listener_(listener), tls_(tls) {
    listener_->owner = this;
  }
  void run() override {
    for (;;) {
      int error = 0;
      if (!listener_->wait4read(-1, &error, 1)) continue;
      TlsConnection* accepted = listener_->accept(tls_ ? 1 : 0);
      if (accepted == nullptr) continue;
      HttpRequest* request = new HttpRequest(accepted);
      if (request->start(kHttpFirstStack) < 0) delete request;
    }
  }
  void onEnd() override {
    listener_->close();
    delete listener_;
    listener_ = nullptr;
  }

 private:
  TlsConnection* listener_;
  bool tls_;
};

tlstest::LoopbackInterface loopback;

}  // namespace

std::string digestOf(const std::string& bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

PageRow kTestRows[] = {
    {"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr},
    {"/index.html", 0, PAGE_TEMPLATE, 0, nullptr, nullptr},
    {"/start.html", 2, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/task.cgi", 0, PAGE_RAW, 0, taskHandler, nullptr},
    {"/form.cgi", 0, PAGE_RAW, 0, formHandler, nullptr},
    {"/upload.cgi", 0, PAGE_RAW, 0, uploadHandler, nullptr},
    {"/fail.cgi", 0, PAGE_RAW, 0, failHandler, nullptr},
    {"/pipe.cgi", 0, PAGE_RAW, 0, pipeHandler, nullptr},
    {"/hello.cgi", 0, PAGE_RAW, 0, helloHandler, nullptr},
    {"/network/ipv4.html", 3, PAGE_TEMPLATE, 1, nullptr, nullptr},
    {"/download.cgi", 0, PAGE_RAW, 0, downloadHandler, nullptr},
};
const int kTestRowCount = sizeof kTestRows / sizeof kTestRows[0];

int countTasks(const char* prefix) {
  int count = 0;
  if (!TLOCK()) return -1;
  for (Task* task : taskTable)
    if (task != nullptr && task->name != nullptr && std::strncmp(task->name, prefix, std::strlen(prefix)) == 0) ++count;
  unlockTaskTable();
  return count;
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

int openDescriptorsSettledAt(int expected, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int count = openDescriptors();
  while (count != expected && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    count = openDescriptors();
  }
  return count;
}

void WebFixture::SetUp() {
  TlsTestRoot::SetUp();
  std::filesystem::create_directories(dir_ + "/tmp");
  std::filesystem::create_directories(dir_ + "/etc");
  writeTemplate("index.html", "<html>index page</html>\n");
  writeTemplate("start.html", "<html>start page</html>\n");
  writeTemplate("redirector.html", "<html>redirector</html>\n");
  table_.reset(new PageTable(kTestRows, kTestRowCount, nullptr));
  pageTable = table_.get();
  setWebListenPorts(80, 443);
}

void WebFixture::TearDown() {
  if (listenerId_ > 0) {
    TaskMessage quit{0, MSG_QUIT, 0, 0};
    postToTaskId(listenerId_, quit);
    for (int i = 0; i < 500 && countTasks("HTTPD") > 0; ++i) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(waitForRequestsToEnd()) << "request tasks left behind";
  pageTable = nullptr;
  table_.reset();
  TlsTestRoot::TearDown();
}

void WebFixture::writeTemplate(const std::string& relative, const std::string& content) {
  const std::string path = dir_ + "/romfs/templates/" + relative;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void WebFixture::startListener(bool tls) {
  std::unique_ptr<TlsConnection> listener = tlstest::openLoopbackListener(&loopback, &port_);
  ASSERT_NE(listener, nullptr);
  TestListener* task = new TestListener(listener.release(), tls);
  listenerId_ = task->start(20480);
  ASSERT_GT(listenerId_, 0);
}

int WebFixture::connectClient(int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WebFixture::sendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string WebFixture::readAll(int fd, int limitMs) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  char chunk[16384];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

std::string WebFixture::readUntil(int fd, const std::string& text, int limitMs) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  char chunk[16384];
  while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

std::string WebFixture::exchange(const std::string& request) {
  const int fd = connectClient();
  if (fd < 0) return "(no connection)";
  std::string answer = sendAll(fd, request) ? readAll(fd) : "(send failed)";
  ::close(fd);
  return answer;
}

bool WebFixture::waitForRequestsToEnd(int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (countTasks("HTTP_") > 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string WebFixture::bodyOf(const std::string& answer) {
  const size_t blank = answer.find("\r\n\r\n");
  return blank == std::string::npos ? answer : answer.substr(blank + 4);
}

}  // namespace webtest

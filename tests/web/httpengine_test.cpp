// The request engine over real loopback connections: request lines and
// versions, head limits, keep-alive and pipelining, bodies, status pages,
// and the time limits that free a task from idle, slow or stalled clients.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "runtime/task/uptime.h"
#include "web/http/httprequest.h"
#include "web/support/web_fixture.h"

using namespace webtest;
using namespace std::chrono_literals;

namespace {

struct RawCase {
  const char* name;
  std::string request;
  std::string answerStart;  // the answer begins with this ("" : nothing at all is answered)
  std::string contains;     // and holds this ("" : no check)
  std::string absent;       // and never holds this ("" : no check)
};

std::string padHead(const std::string& start, size_t total) {
  // start + "X-Pad: ...\r\n\r\n" of exactly total bytes.
  const size_t fixed = start.size() + std::string("X-Pad: \r\n\r\n").size();
  return start + "X-Pad: " + std::string(total - fixed, 'p') + "\r\n\r\n";
}

std::string urlOfLength(size_t length) { return "/" + std::string(length - 5, 'u') + ".txt"; }

const char kBadRequest[] = "HTTP/1.1 400 Bad Request\r\n";

std::vector<RawCase> rawCases() {
  return {
      {"http09 file answer has no headers", "GET /task.cgi\r\n", "HTTP_1", "", "HTTP/1.1"},
      {"http09 pipe answer has no headers", "GET /pipe.cgi\r\n", "piped\n", "", "HTTP/1.1"},
      {"http09 template answer keeps its headers", "GET /index.html\r\n", "HTTP/1.1 200 OK\r\n", "index page", ""},
      {"HEAD without version", "HEAD /index.html\r\n", kBadRequest, "", "<HTML>"},
      {"HTTP/1.2", "GET /index.html HTTP/1.2\r\n\r\n", kBadRequest, "", ""},
      {"HTTP/2.0", "GET /index.html HTTP/2.0\r\n\r\n", kBadRequest, "", ""},
      {"garbage version", "GET /index.html HTTQ/1.0\r\n\r\n", kBadRequest, "", ""},
      {"PUT", "PUT /index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n", "POST to non-script", ""},
      {"lower-case get", "get /index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n", "", ""},
      {"header line without colon", "GET /index.html HTTP/1.0\r\nNoColonHere\r\n\r\n", "", "", ""},
      {"head of 8192 bytes", padHead("GET /index.html HTTP/1.0\r\n", 8192), "HTTP/1.1 200 OK\r\n", "", ""},
      {"head of 8193 bytes", padHead("GET /index.html HTTP/1.0\r\n", 8193), "", "", ""},
      {"URL of 2048 characters", "GET " + urlOfLength(2048) + " HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", "", ""},
      {"URL of 2049 characters", "GET " + urlOfLength(2049) + " HTTP/1.0\r\n\r\n", kBadRequest, "", ""},
      {"HTTP/1.1 without Connection", "GET /index.html HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", "Connection: close\r\n",
       "Keep-Alive"},
      {"POST without Content-Length", "POST /form.cgi HTTP/1.0\r\n\r\na=1", kBadRequest, "Connection: close", ""},
      {"url-encoded body too large", "POST /form.cgi HTTP/1.0\r\nContent-Length: 8150\r\n\r\na=1", kBadRequest, "", ""},
      {"Content-Length with letters", "POST /form.cgi HTTP/1.0\r\nContent-Length: 3x\r\n\r\na=1", kBadRequest, "", ""},
      {"negative Content-Length", "POST /form.cgi HTTP/1.0\r\nContent-Length: -3\r\n\r\na=1", kBadRequest, "", ""},
      {"Content-Length beyond int32", "POST /form.cgi HTTP/1.0\r\nContent-Length: 4294967299\r\n\r\na=1", kBadRequest, "",
       ""},
      {"url-encoded body", "POST /form.cgi HTTP/1.0\r\nContent-Length: 9\r\n\r\nb=2&a=x+y", "HTTP/1.1 200 OK\r\n",
       "a=x y;b=2", ""},
      {"query string, anchored names, both hex cases", "GET /form.cgi?ba=0&a=%2f&b=%2F HTTP/1.0\r\n\r\n",
       "HTTP/1.1 200 OK\r\n", "a=/;b=/", ""},
      {"404 echo cut at '<'", "GET /nothere<script>.txt HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n",
       "The requested URL /nothere was not found on this server.", "<script>"},
      {"HEAD of a missing page", "HEAD /missing.html HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", "", "<HTML>"},
      {"handler failure", "GET /fail.cgi HTTP/1.0\r\n\r\n", "HTTP/1.1 500 Server Error\r\n", "internal error", ""},
      {"producer pipe", "GET /pipe.cgi HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.1 200 OK\r\n",
       "Connection: close\r\n", "Content-Length"},
      {"undecodable path", "GET /index%2.html HTTP/1.0\r\n\r\n", kBadRequest, "", ""},
      {"short Authorization value", "GET /index.html HTTP/1.0\r\nAuthorization: Bas\r\n\r\n", "HTTP/1.1 200 OK\r\n", "", ""},
      {"template page headers", "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n",
       "Cache-Control: no-cache\r\nX-Frame-Options: deny\r\nContent-Length: 24\r\n", ""},
      {"HEAD of a page", "HEAD /index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n", "Content-Length: 24\r\n",
       "index page"},
      {"HEAD of a producer", "HEAD /pipe.cgi HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n", "", "piped"},
      {"climbing path stays inside", "GET /../../index.html HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n", "index page", ""},
  };
}

class HttpEngine : public WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    startListener();
  }
};

TEST_F(HttpEngine, AnswersRawRequests) {
  for (const RawCase& c : rawCases()) {
    SCOPED_TRACE(c.name);
    const std::string answer = exchange(c.request);
    if (c.answerStart.empty()) {
      EXPECT_EQ(answer, "");
      continue;
    }
    EXPECT_EQ(answer.compare(0, c.answerStart.size(), c.answerStart), 0) << answer.substr(0, 200);
    if (!c.contains.empty()) {
      EXPECT_NE(answer.find(c.contains), std::string::npos) << answer.substr(0, 400);
    }
    if (!c.absent.empty()) {
      EXPECT_EQ(answer.find(c.absent), std::string::npos) << answer.substr(0, 400);
    }
  }
}

TEST_F(HttpEngine, KeptAliveConnectionCarriesFifteenRequestsInSuccessorTasks) {
  const int fd = connectClient();
  ASSERT_GE(fd, 0);
  for (int i = 1; i <= 16; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(sendAll(fd, "GET /task.cgi HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    const std::string body = i == 1 ? "HTTP_1" : "HTTP_2";
    const std::string answer = readUntil(fd, "\r\n\r\n" + body);
    ASSERT_NE(answer.find(body), std::string::npos) << answer;
    if (i < 16)
      EXPECT_NE(answer.find("Connection: Keep-Alive\r\nKeep-Alive: timeout=5, max=" + std::to_string(16 - i) + "\r\n"),
                std::string::npos)
          << answer;
    else
      EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
  }
  // After the sixteenth answer the server closes.
  EXPECT_EQ(readAll(fd, 3000), "");
  ::close(fd);
}

TEST_F(HttpEngine, PipelinedRequestsAreAnsweredInOrder) {
  const int fd = connectClient();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd,
                      "GET /task.cgi HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
                      "GET /form.cgi?a=second HTTP/1.1\r\nConnection: close\r\n\r\n"));
  const std::string answer = readAll(fd);
  const size_t first = answer.find("\r\n\r\nHTTP_1");
  const size_t second = answer.find("\r\n\r\na=second;b=(null)");
  EXPECT_NE(first, std::string::npos) << answer;
  EXPECT_NE(second, std::string::npos) << answer;
  EXPECT_LT(first, second);
  ::close(fd);
}

TEST_F(HttpEngine, PipelinedRequestAfterAFormBodyStartsAtItsOwnFirstByte) {
  const int fd = connectClient();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd,
                      "POST /form.cgi HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 7\r\n\r\na=1&b=2"
                      "GET /task.cgi HTTP/1.1\r\n\r\n"));
  const std::string answer = readAll(fd);
  EXPECT_NE(answer.find("\r\n\r\na=1;b=2HTTP/1.1 200 OK\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\r\n\r\nHTTP_2"), std::string::npos) << answer;
  ::close(fd);
}

// An upload that cannot be stored whole never reaches its handler.
TEST_F(HttpEngine, UploadThatCannotBeStoredGivesTheServerErrorPage) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1000;  // files of this process stop growing here
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string file(5000, 'f');
  const std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\n" + file +
                           "\r\n--XyZ--\r\n";
  const std::string answer =
      exchange("POST /upload.cgi HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(answer.rfind("HTTP/1.1 500 Server Error\r\n", 0), 0u) << answer.substr(0, 300);
  EXPECT_EQ(answer.find("fd "), std::string::npos) << "the handler saw a partial file";
}

int refuseSuccessors(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* task) {
  if (std::strcmp(static_cast<Task*>(task)->name, "HTTP_2") == 0) return EAGAIN;
  return pthread_create(thread, attr, entry, task);
}

TEST_F(HttpEngine, ConnectionClosesWhenNoSuccessorCanStart) {
  setTaskThreadCreatorForTesting(refuseSuccessors);
  const int fd = connectClient();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, "GET /task.cgi HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
  const std::string answer = readAll(fd);  // ends only when the server closes
  setTaskThreadCreatorForTesting(nullptr);
  EXPECT_NE(answer.find("\r\n\r\nHTTP_1"), std::string::npos) << answer;
  EXPECT_TRUE(waitForRequestsToEnd());
  ::close(fd);
}

// Time limits. Each case brings a request into a wait, moves the program
// clock to just before the limit (the request must still be there), then
// past it: the request must end, closing the connection and releasing the
// task and its descriptors.
class HttpEngineTimeouts : public HttpEngine {
 protected:
  int receiveBuffer_ = 0;
  void run(const char* name, const std::function<void(int fd)>& prepare, int64_t limitCs) {
    SCOPED_TRACE(name);
    const int before = openDescriptors();
    const int fd = connectClient(receiveBuffer_);
    ASSERT_GE(fd, 0);
    prepare(fd);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(countTasks("HTTP_"), 1) << "the request should be waiting";
    // The real time spent here (well under 2 s) counts on the clock too.
    shiftUptimeForTesting(limitCs - 200);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(countTasks("HTTP_"), 1) << "ended before its limit";
    // Past it; again after each look, since on a loaded machine the request
    // may take its deadline only after a move.
    bool ended = false;
    for (int i = 0; i < 20 && !ended; ++i) {
      shiftUptimeForTesting(300);
      ended = waitForRequestsToEnd(1000);
    }
    EXPECT_TRUE(ended) << "still waiting after its limit";
    // The server closed its end.
    char scrap[65536];
    bool closed = false;
    for (int i = 0; i < 2000 && !closed; ++i) {
      const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
      closed = n == 0 || (n < 0 && errno != EAGAIN);
      if (n < 0 && errno == EAGAIN) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(closed);
    ::close(fd);
    EXPECT_EQ(openDescriptorsSettledAt(before), before);
  }
};

TEST_F(HttpEngineTimeouts, IdleOrSlowClientsAreDropped) {
  run("no byte at all", [](int) {}, kHttpHeadCs);
  run("slow head", [](int fd) { sendAll(fd, "GET /index.html HTTP/1.0\r\nHost: x\r\n"); }, kHttpHeadCs);
  run("idle keep-alive",
      [](int fd) {
        sendAll(fd, "GET /task.cgi HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        readUntil(fd, "HTTP_1");
      },
      kHttpKeepAliveIdleCs);
  run("stalled url-encoded body",
      [](int fd) { sendAll(fd, "POST /form.cgi HTTP/1.0\r\nContent-Length: 100\r\n\r\na=1"); }, kHttpBodyStallCs);
  run("stalled upload",
      [](int fd) {
        sendAll(fd,
                "POST /upload.cgi HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
                "Content-Length: 100000\r\n\r\n--XyZ\r\nContent-Disposition: form-data; name=\"f\"; "
                "filename=\"a.bin\"\r\n\r\n" + std::string(1000, 'd'));
      },
      kHttpBodyStallCs);
}

TEST_F(HttpEngineTimeouts, ReaderThatTakesNothingIsDropped) {
  receiveBuffer_ = 4096;
  writeTemplate("big.bin", std::string(8 << 20, 'b'));
  run("reader that takes nothing",
      [](int fd) {
        sendAll(fd, "GET /big.bin HTTP/1.0\r\n\r\n");
        std::this_thread::sleep_for(300ms);  // the server fills the socket and waits
      },
      kHttpWriteStallCs);
}

}  // namespace

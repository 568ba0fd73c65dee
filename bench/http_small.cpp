// A 512-byte file through the web engine's catch-all row, against two
// minimal servers reading the same file in the same run: one thread per
// kept-alive connection, and a fresh thread for each kept-alive request
// (as the engine hands a connection to a new task per request), and the
// latter on bare tasks of the task framework. Then one
// connection per request against busybox httpd on the same file.
//
// Everything runs pinned to one CPU (the process's affinity, inherited by
// every thread and by busybox): unpinned, wake-ups of idle CPUs dominate.
//
//   bench_http_small [cpu] [requests per client] ["engine": the engine alone]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_client.h"
#include "runtime/file/paths.h"
#include "runtime/socket/connection.h"
#include "runtime/task/task.h"
#include "runtime/tls/tlsconnection.h"
#include "web/http/httprequest.h"
#include "web/pages/pagetable.h"

namespace {

constexpr int kClients = 8;
constexpr int kFileSize = 512;
std::string filePath;  // the real path of the file

double cpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int listenLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 128) != 0) return -1;
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return fd;
}

// ---- The baselines: read a request head, answer the file, keep alive ----

// Reads one request head; false when the client closed.
bool readHead(int fd, std::string& pending) {
  char chunk[2048];
  while (pending.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending.append(chunk, static_cast<size_t>(n));
  }
  pending.erase(0, pending.find("\r\n\r\n") + 4);
  return true;
}

bool answerFile(int fd) {
  char answer[1024];
  int length = std::snprintf(answer, sizeof answer,
                             "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Type: text/plain\r\n"
                             "Content-Length: %d\r\n\r\n",
                             kFileSize);
  const int file = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  const ssize_t n = ::read(file, answer + length, kFileSize);
  ::close(file);
  if (n != kFileSize) return false;
  length += kFileSize;
  return ::send(fd, answer, static_cast<size_t>(length), MSG_NOSIGNAL) == length;
}

void serveConnection(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string pending;
  while (readHead(fd, pending) && answerFile(fd)) {
  }
  ::close(fd);
}

// One request, then the connection goes on in a fresh thread.
void serveOneThenHandOn(int fd, std::string pending) {
  if (readHead(fd, pending) && answerFile(fd)) {
    std::thread(serveOneThenHandOn, fd, std::move(pending)).detach();
    return;
  }
  ::close(fd);
}

// The same, with each request on a bare task of the task framework (its
// own pipe and epoll set, registered in the task table): what the
// framework alone costs a request.
class BareRequestTask : public Task {
 public:
  BareRequestTask(int fd, std::string pending) : Task("BareReq"), fd_(fd), pending_(std::move(pending)) {}
  void run() override {
    if (readHead(fd_, pending_) && answerFile(fd_)) {
      BareRequestTask* next = new BareRequestTask(fd_, std::move(pending_));
      if (next->start(kHttpSuccessorStack) >= 0) return;
      delete next;
    }
    ::close(fd_);
  }

 private:
  int fd_;
  std::string pending_;
};

enum class Baseline { PerConnection, PerRequest, TaskPerRequest };

void acceptLoop(int listener, Baseline kind, std::atomic<bool>* stop) {
  while (!stop->load()) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (stop->load()) {
      ::close(fd);
      break;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (kind == Baseline::PerRequest) {
      std::thread(serveOneThenHandOn, fd, std::string()).detach();
    } else if (kind == Baseline::TaskPerRequest) {
      BareRequestTask* task = new BareRequestTask(fd, std::string());
      if (task->start(kHttpFirstStack) < 0) {
        delete task;
        ::close(fd);
      }
    } else {
      std::thread(serveConnection, fd).detach();
    }
  }
}

// ---- The engine behind a minimal listener task ----

PageRow rows[] = {{"soSimple", 0, PAGE_RAW, 0, nullptr, nullptr}};

class BenchListener : public Task {
 public:
  explicit BenchListener(TlsConnection* listener) : Task("HTTPD"), listener_(listener) { listener_->owner = this; }
  void run() override {
    for (;;) {
      TlsConnection* accepted = listener_->accept(0);
      if (accepted == nullptr) continue;
      HttpRequest* request = new HttpRequest(accepted);
      if (request->start(kHttpFirstStack) < 0) delete request;
    }
  }
  void onEnd() override {
    listener_->close();
    delete listener_;
  }

 private:
  TlsConnection* listener_;
};

// ---- Clients ----

// Reads one answer (head and Content-Length body); false on a close. Sets
// *closing when the server announced the end of the connection.
bool readAnswer(int fd, std::string& pending, bool* closing) {
  char chunk[4096];
  size_t headEnd;
  while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending.append(chunk, static_cast<size_t>(n));
  }
  const size_t at = pending.find("Content-Length: ");
  const size_t length = at != std::string::npos && at < headEnd ? std::strtoul(pending.c_str() + at + 16, nullptr, 10) : 0;
  *closing = pending.find("Connection: close") < headEnd;
  while (pending.size() < headEnd + 4 + length) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending.append(chunk, static_cast<size_t>(n));
  }
  pending.erase(0, headEnd + 4 + length);
  return true;
}

void keepAliveClient(int port, int requests, std::atomic<int>* failures) {
  const std::string request = "GET /small.txt HTTP/1.1\r\nHost: bench\r\nConnection: keep-alive\r\n\r\n";
  int fd = -1;
  std::string pending;
  for (int i = 0; i < requests; ++i) {
    if (fd < 0) {
      fd = connectLoopback(port);
      pending.clear();
      if (fd < 0) {
        failures->fetch_add(1);
        continue;
      }
    }
    bool closing = false;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()) ||
        !readAnswer(fd, pending, &closing)) {
      failures->fetch_add(1);
      closing = true;
    }
    if (closing) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) ::close(fd);
}

void oneShotClient(int port, int requests, std::atomic<int>* failures) {
  const std::string request = "GET /small.txt HTTP/1.0\r\nHost: bench\r\n\r\n";
  char chunk[4096];
  for (int i = 0; i < requests; ++i) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
      failures->fetch_add(1);
      continue;
    }
    size_t got = 0;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()))
      for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) got += static_cast<size_t>(n);
    if (got < static_cast<size_t>(kFileSize)) failures->fetch_add(1);
    ::close(fd);
  }
}

struct Result {
  double perSecond;
  double cpuMicros;  // process CPU per request (clients included)
  int failures;
};

Result runClients(int port, int requests, bool keepAlive) {
  std::atomic<int> failures{0};
  const double cpu0 = cpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back(keepAlive ? keepAliveClient : oneShotClient, port, requests, &failures);
  for (auto& c : clients) c.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double total = static_cast<double>(kClients) * requests;
  return {total / seconds, (cpuSeconds() - cpu0) * 1e6 / total, failures.load()};
}

Result runBaseline(Baseline kind, int requests) {
  int port = 0;
  const int listener = listenLoopback(&port);
  std::atomic<bool> stop{false};
  std::thread acceptor(acceptLoop, listener, kind, &stop);
  const Result r = runClients(port, requests, true);
  stop.store(true);
  const int wake = connectLoopback(port);
  if (wake >= 0) ::close(wake);
  acceptor.join();
  ::close(listener);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // detached servers see their clients gone
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int cpu = argc > 1 ? std::atoi(argv[1]) : static_cast<int>(std::thread::hardware_concurrency()) - 1;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 2000;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
  signal(SIGPIPE, SIG_IGN);

  char pattern[] = "/tmp/bench_http.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string root = pattern;
  std::filesystem::create_directories(root + "/romfs/templates");
  std::filesystem::create_directories(root + "/tmp");
  filePath = root + "/romfs/templates/small.txt";
  std::ofstream(filePath) << std::string(kFileSize - 1, 'x') << '\n';
  setDataRoot(root.c_str());
  PageTable table(rows, 1, nullptr);
  pageTable = &table;

  TlsConnection* listener = new TlsConnection(nullptr, nullptr, -1);
  if (!listener->open(AF_INET, SOCK_STREAM, 0) || !listener->setReuseAddr() || !listener->bindLoopback(0) ||
      !listener->listen(128)) {
    std::fprintf(stderr, "http_small: no listener\n");
    return 1;
  }
  const int enginePort = listener->local.port();
  BenchListener* task = new BenchListener(listener);
  if (task->start(20480) < 0) return 1;

  std::printf("http_small: %d-byte file, %d clients, %d requests each, pinned to CPU %d\n", kFileSize, kClients,
              requests, cpu);
  runClients(enginePort, requests / 10, true);  // warm-up
  if (argc > 3 && std::strcmp(argv[3], "engine") == 0) {  // for profiling the engine alone
    const Result engine = runClients(enginePort, requests, true);
    std::printf("keep-alive   engine %8.0f req/s %6.1f us cpu/req\n", engine.perSecond, engine.cpuMicros);
    std::filesystem::remove_all(root);
    return 0;
  }
  // Rounds interleave the servers, and each keeps its best round, so a
  // burst of other load on the machine does not decide a ratio.
  Result engine{0, 0, 0}, perConnection{0, 0, 0}, perRequest{0, 0, 0}, taskPerRequest{0, 0, 0};
  auto keepBest = [](Result& best, const Result& round) {
    if (round.perSecond > best.perSecond) best = Result{round.perSecond, round.cpuMicros, best.failures + round.failures};
    else best.failures += round.failures;
  };
  for (int round = 0; round < 3; ++round) {
    keepBest(engine, runClients(enginePort, requests, true));
    keepBest(perConnection, runBaseline(Baseline::PerConnection, requests));
    keepBest(perRequest, runBaseline(Baseline::PerRequest, requests));
    keepBest(taskPerRequest, runBaseline(Baseline::TaskPerRequest, requests));
  }
  std::printf("keep-alive   engine %8.0f req/s %6.1f us cpu/req (failures %d)\n", engine.perSecond, engine.cpuMicros,
              engine.failures);
  std::printf("             thread per connection %8.0f req/s %6.1f us cpu/req: ratio %.2f\n", perConnection.perSecond,
              perConnection.cpuMicros, engine.perSecond / perConnection.perSecond);
  std::printf("             thread per request    %8.0f req/s %6.1f us cpu/req: ratio %.2f (goal >= 0.8)\n",
              perRequest.perSecond, perRequest.cpuMicros, engine.perSecond / perRequest.perSecond);
  std::printf("             bare task per request %8.0f req/s %6.1f us cpu/req: ratio %.2f (the task framework's share)\n",
              taskPerRequest.perSecond, taskPerRequest.cpuMicros, engine.perSecond / taskPerRequest.perSecond);

  // One connection per request, against busybox httpd on the same file.
  const Result engineOneShot = runClients(enginePort, requests / 4, false);
  int busyPort = 0;
  const int probe = listenLoopback(&busyPort);
  ::close(probe);
  const pid_t busybox = fork();
  if (busybox == 0) {
    const std::string address = "127.0.0.1:" + std::to_string(busyPort);
    const std::string home = root + "/romfs/templates";
    execlp("busybox", "busybox", "httpd", "-f", "-p", address.c_str(), "-h", home.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int ready = -1;
  for (int i = 0; i < 200 && ready < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ready = connectLoopback(busyPort);
  }
  if (ready >= 0) {
    ::close(ready);
    const Result busy = runClients(busyPort, requests / 4, false);
    std::printf("one per conn engine %8.0f req/s %6.1f us cpu/req (failures %d)\n", engineOneShot.perSecond,
                engineOneShot.cpuMicros, engineOneShot.failures);
    std::printf("             busybox httpd         %8.0f req/s (failures %d): ratio %.2f (goal >= 1)\n",
                busy.perSecond, busy.failures, engineOneShot.perSecond / busy.perSecond);
    std::printf("             (busybox forks per connection: its CPU is not in this process; on one CPU its\n"
                "              time per request is about %.1f us)\n",
                1e6 / busy.perSecond);
  } else {
    std::printf("one per conn engine %8.0f req/s; busybox httpd not available\n", engineOneShot.perSecond);
  }
  if (busybox > 0) {
    kill(busybox, SIGTERM);
    waitpid(busybox, nullptr, 0);
  }
  TaskMessage quit{0, MSG_QUIT, 0, 0};
  postToTaskId(task->id, quit);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::filesystem::remove_all(root);
  return 0;
}

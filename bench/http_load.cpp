// Many kept-alive web clients against the running program: rounds of a
// fixed length, each reporting requests per second and the connections the
// program closed before answering (the task-table reserve), with the
// program's threads, open descriptors and resident memory after each round.
// The baseline is a minimal kept-alive server (a thread per connection)
// inside this process, answering the same bytes, measured with the same
// clients in the same run.
//
//   bench_http_load HOST PORT PID [clients] [rounds] [seconds] [path]
// HOST must be an IPv4 address; PID is the program's process id (its /proc
// entries are read).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Counters {
  std::atomic<long> answers{0};
  std::atomic<long> refused{0};  // closed before any answer on a fresh connection
  std::atomic<long> reconnects{0};
};

int connectTo(const sockaddr_in& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads one answer (head and Content-Length body); false when the
// connection ended first.
bool readAnswer(int fd, std::string& buffer) {
  for (;;) {
    const size_t head = buffer.find("\r\n\r\n");
    if (head != std::string::npos) {
      size_t length = 0;
      const size_t at = buffer.find("Content-Length: ");
      if (at != std::string::npos && at < head) length = std::strtoul(buffer.c_str() + at + 16, nullptr, 10);
      if (buffer.size() >= head + 4 + length) {
        buffer.erase(0, head + 4 + length);
        return true;
      }
    }
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

void client(const sockaddr_in& address, const std::string& request, Clock::time_point end, Counters& c) {
  while (Clock::now() < end) {
    const int fd = connectTo(address);
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::string buffer;
    long served = 0;
    while (Clock::now() < end) {
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) break;
      if (!readAnswer(fd, buffer)) break;
      ++served;
      c.answers.fetch_add(1, std::memory_order_relaxed);
    }
    ::close(fd);
    if (served == 0 && Clock::now() < end) {
      c.refused.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    c.reconnects.fetch_add(1, std::memory_order_relaxed);
  }
}

// One round: answers per second and connections refused.
void runRound(const sockaddr_in& address, const std::string& request, int clients, int seconds, double* rate,
              long* refused) {
  Counters c;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(client, std::cref(address), std::cref(request), end, std::ref(c));
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  *rate = c.answers.load() / elapsed;
  *refused = c.refused.load();
}

struct ProcessFigures {
  long threads = -1;
  long descriptors = -1;
  long rssKib = -1;
};

ProcessFigures figuresOf(int pid) {
  ProcessFigures f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> f.threads;
    if (key == "VmRSS:") status >> f.rssKib;
    std::getline(status, key);
  }
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    f.descriptors = 0;
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ++f.descriptors;
    closedir(dir);
  }
  return f;
}

void printFigures(const char* when, const ProcessFigures& f) {
  std::printf("program %-14s threads %4ld  descriptors %4ld  VmRSS %6ld KiB\n", when, f.threads, f.descriptors,
              f.rssKib);
}

// The baseline: a thread per connection answering every request with the
// same answer bytes.
void baselineServer(int listener, const std::string& answer, std::atomic<bool>& stop) {
  std::vector<std::thread> threads;
  while (!stop.load()) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    threads.emplace_back([fd, &answer] {
      std::string buffer;
      char chunk[4096];
      for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        size_t end;
        bool ok = true;
        while ((end = buffer.find("\r\n\r\n")) != std::string::npos) {
          buffer.erase(0, end + 4);
          if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) ok = false;
        }
        if (!ok) break;
      }
      ::close(fd);
    });
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_http_load HOST PORT PID [clients] [rounds] [seconds] [path]\n");
    return 2;
  }
  const int pid = std::atoi(argv[3]);
  const int clients = argc > 4 ? std::atoi(argv[4]) : 200;
  const int rounds = argc > 5 ? std::atoi(argv[5]) : 10;
  const int seconds = argc > 6 ? std::atoi(argv[6]) : 10;
  const std::string path = argc > 7 ? argv[7] : "/contact.html";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) return 2;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + argv[1] + "\r\nConnection: keep-alive\r\n\r\n";

  // One answer of the program, for the baseline to send.
  std::string answer;
  {
    const int fd = connectTo(address);
    std::string buffer;
    if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) <= 0) return 1;
    char chunk[16384];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<size_t>(n));
      std::string copy = buffer;
      if (readAnswer(-1, copy)) break;
    }
    ::close(fd);
    answer = buffer;
  }
  std::printf("answer of %s: %zu bytes; %d clients, %d rounds of %d s\n", path.c_str(), answer.size(), clients, rounds,
              seconds);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, 256) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return 1;
  std::atomic<bool> stop{false};
  std::thread server(baselineServer, listener, std::cref(answer), std::ref(stop));
  double baseline = 0;
  long ignored = 0;
  runRound(local, request, clients, seconds, &baseline, &ignored);
  stop.store(true);
  server.join();
  ::close(listener);
  std::printf("baseline (thread per connection, same bytes): %.0f requests/s\n", baseline);

  printFigures("idle", figuresOf(pid));
  ProcessFigures first;
  for (int round = 1; round <= rounds; ++round) {
    double rate = 0;
    long refused = 0;
    runRound(address, request, clients, seconds, &rate, &refused);
    const ProcessFigures f = figuresOf(pid);
    if (round == 1) first = f;
    std::printf("round %2d: %8.0f requests/s  ratio %.2f of baseline  refused by the reserve %ld\n", round, rate,
                baseline > 0 ? rate / baseline : 0.0, refused);
    char when[32];
    std::snprintf(when, sizeof when, "after round %d", round);
    if (round == 1 || round == rounds) printFigures(when, f);
  }
  // Back to idle: request tasks end once their connections do.
  const auto until = Clock::now() + std::chrono::seconds(6);
  ProcessFigures after = figuresOf(pid);
  while (Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    after = figuresOf(pid);
  }
  printFigures("6 s after", after);
  return 0;
}

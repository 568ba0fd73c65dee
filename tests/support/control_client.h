// A client of the simulated layers' control sockets (simulated board,
// simulated USB host), used as a test process outside the program would:
// one command per line, answered by data lines and a last "ok" or "error ...".
#ifndef TESTS_SUPPORT_CONTROL_CLIENT_H
#define TESTS_SUPPORT_CONTROL_CLIENT_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

class ControlClient {
 public:
  explicit ControlClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ControlClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  bool connected() const { return fd_ >= 0; }

  void sendOnly(const std::string& line) {
    std::string out = line + "\n";
    (void)!::send(fd_, out.data(), out.size(), MSG_NOSIGNAL);
  }

  // Sends one command; the answer up to and including its last line, or
  // what came before the socket closed or stayed silent for 5 s.
  std::string ask(const std::string& line) {
    std::string out = line + "\n";
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "";
    std::string answer;
    while (true) {
      size_t last = answer.rfind('\n', answer.size() >= 2 ? answer.size() - 2 : 0);
      last = last == std::string::npos ? 0 : last + 1;
      if (!answer.empty() && answer.back() == '\n' &&
          (answer.compare(last, 3, "ok\n") == 0 || answer.compare(last, 6, "error ") == 0))
        return answer;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return answer;
      char buffer[512];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return answer;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
};

#endif

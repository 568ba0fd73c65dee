// The simulated host's worker thread: timed device behaviour (delayed
// completions, HID reports) and the control socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/simusb/simusbstate.h"
#include "platform/simusb/simusbsysfs.h"
#include "runtime/file/paths.h"

namespace {

constexpr int kIdlePollMs = 500;
constexpr size_t kMaxClients = 16;
constexpr size_t kMaxLine = 4096;

struct ControlClient {
  int fd;
  std::string pending;
};

void sendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

int SimUsbHost::startControl(const char* fixedPath) {
  const std::string path = mapPath(fixedPath);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return 0;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  makeSimUsbParentDirectories(path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return 0;
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return 0;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->listenFd >= 0) {
    ::close(state_->listenFd);
    if (state_->controlPath != path) ::unlink(state_->controlPath.c_str());
  }
  state_->listenFd = fd;
  state_->controlPath = path;
  state_->wake();
  return 1;
}

void SimUsbHost::State::runWorker() {
  std::vector<ControlClient> clients;
  while (true) {
    int timeout = kIdlePollMs;
    int listen = -1;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) break;
      uint64_t next = serviceDevices();
      if (next) {
        uint64_t now = nowMs();
        timeout = next <= now ? 0 : static_cast<int>(std::min<uint64_t>(next - now, kIdlePollMs));
      }
      listen = listenFd;
    }
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    if (listen >= 0) fds.push_back({listen, POLLIN, 0});
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), timeout) <= 0) continue;
    if (fds[0].revents) {
      uint64_t count;
      (void)!::read(wakeFd, &count, sizeof count);
    }
    size_t first = 1;
    if (listen >= 0) {
      if (fds[1].revents & POLLIN) {
        int fd = ::accept4(listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 && clients.size() < kMaxClients)
          clients.push_back({fd, std::string()});
        else if (fd >= 0)
          ::close(fd);
      }
      first = 2;
    }
    // Clients in the poll set are those before any accepted just now.
    for (size_t i = first, k = 0; i < fds.size(); ++i, ++k) {
      if (!fds[i].revents) continue;
      ControlClient& c = clients[k];
      char buffer[1024];
      ssize_t n = ::read(c.fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;
        continue;
      }
      c.pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        sendAll(c.fd, host->command(line));
      }
      if (c.pending.size() > kMaxLine) {
        sendAll(c.fd, "error line too long\n");
        c.pending.clear();
      }
    }
    for (size_t k = 0; k < clients.size();) {
      if (clients[k].fd < 0)
        clients.erase(clients.begin() + static_cast<long>(k));
      else
        ++k;
    }
  }
  for (auto& c : clients)
    if (c.fd >= 0) ::close(c.fd);
}

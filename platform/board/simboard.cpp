#include "platform/board/simboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/clock/wallclock.h"

namespace {

constexpr size_t kLogLimit = 10000;
constexpr int kShortPressMs = 100;
constexpr int kClientIdleMs = 5000;

int64_t steadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

bool parseNumber(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0) return false;
  *out = v;
  return true;
}

std::string frameText(const DisplayFrame& f) {
  std::string s;
  uint32_t w = f.word[0];
  char chars[4] = {static_cast<char>(w >> 24), static_cast<char>(w >> 16), static_cast<char>(w >> 8),
                   static_cast<char>(w)};
  for (char c : chars)
    if (c) s += c;
  return s;
}

// The text of line after its first n words and the blanks that follow them.
std::string restAfterWord(const std::string& line, int n) {
  size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return std::string();
  }
  pos = line.find_first_not_of(" \t", pos);
  return pos == std::string::npos ? std::string() : line.substr(pos);
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

SimBoard::SimBoard() : startMs_(steadyMs()) {}

SimBoard::~SimBoard() {
  stopControlSocket();
  if (wallClockTickFollowerContext() == this) setWallClockTickFollower(nullptr, nullptr);
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& l : listeners_) {
    ::close(l.first);
    if (l.second.writeFd >= 0) ::close(l.second.writeFd);
  }
  listeners_.clear();
}

int64_t SimBoard::nowMsLocked() const { return steadyMs() - startMs_; }

int64_t SimBoard::ticksLocked() const {
  if (ticksHeld_) return heldTicks_;
  return tickBase_ + nowMsLocked() / 10;
}

void SimBoard::logLocked(const std::string& text) {
  if (log_.size() >= kLogLimit) log_.pop_front();
  log_.push_back({nowMsLocked(), text});
}

// ---- BoardDriver -----------------------------------------------------

bool SimBoard::open() {
  std::lock_guard<std::mutex> g(mutex_);
  if (!present_) return false;
  open_ = true;
  return true;
}

void SimBoard::close() {
  std::lock_guard<std::mutex> g(mutex_);
  open_ = false;
}

bool SimBoard::isOpen() const {
  std::lock_guard<std::mutex> g(mutex_);
  return open_;
}

void SimBoard::applyPatternLocked(const LedPattern& p) {
  bool steady = p.lengthMask == 0 && p.repeat == 0;
  uint32_t on = steady ? (p.bits & p.ledMask) : (p.bits != 0 ? p.ledMask : 0);
  lit_ = (lit_ & ~p.ledMask) | on;
}

int SimBoard::control(uint32_t request, void* arg) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!open_ || arg == nullptr) return -1;
  if (failing_.count(request)) {
    errno = EIO;
    return -1;
  }
  uint32_t* word = static_cast<uint32_t*>(arg);
  switch (request) {
    case boardreq::kOutputsOn:
      outputs_ |= *word;
      logLocked("outputs on " + hex(*word));
      return 0;
    case boardreq::kOutputsOff:
      outputs_ &= ~*word;
      logLocked("outputs off " + hex(*word));
      return 0;
    case boardreq::kShowPattern: {
      LedPattern p;
      std::memcpy(&p, arg, sizeof p);
      if (patterns_.size() >= kHistoryLimit) patterns_.pop_front();
      patterns_.push_back(p);
      applyPatternLocked(p);
      char buf[128];
      std::snprintf(buf, sizeof buf, "pattern mask=0x%x bits=0x%x length=0x%x repeat=%u period=%u", p.ledMask,
                    p.bits, p.lengthMask, p.repeat, p.periodMs);
      logLocked(buf);
      return 0;
    }
    case boardreq::kReadPortLeds:
      *word &= lit_;
      return 0;
    case boardreq::kLedMaskQuery:
      word[0] = ledMask_;
      for (int i = 1; i < 5; ++i) word[i] = 0;
      return 0;
    case boardreq::kStartQuery:
      *word = 0;
      return 0;
    case boardreq::kLegacyLedQuery:
      if (!legacyAnswers_) {
        errno = ENOTTY;
        return -1;
      }
      *word = legacyWords_.empty() ? 0 : legacyWords_.back();
      return 0;
    case boardreq::kDisplay: {
      std::memcpy(&display_, arg, sizeof display_);
      ++displayWrites_;
      char buf[128];
      std::snprintf(buf, sizeof buf, "display \"%s\" blink=%u,%u,%u,%u", frameText(display_).c_str(),
                    display_.word[1], display_.word[2], display_.word[3], display_.word[4]);
      logLocked(buf);
      return 0;
    }
    case boardreq::kBoardLeds278: {
      BoardLedFrame f;
      std::memcpy(&f, arg, sizeof f);
      for (int i = 0; i < 3; ++i) boardLeds_[i] = (boardLeds_[i] & ~f.select[i]) | (f.on[i] & f.select[i]);
      char buf[128];
      std::snprintf(buf, sizeof buf, "board-leds select=%08x,%08x,%08x on=%08x,%08x,%08x", f.select[0],
                    f.select[1], f.select[2], f.on[0], f.on[1], f.on[2]);
      logLocked(buf);
      return 0;
    }
    case boardreq::kReadInputs:
      *word = inputs_;
      return 0;
    case boardreq::kCardReader:
      if (cardReader_ < 0) {
        errno = ENOTTY;
        return -1;
      }
      *word = static_cast<uint32_t>(cardReader_);
      return 0;
    case boardreq::kTicks: {
      uint64_t t = static_cast<uint64_t>(ticksLocked());
      std::memcpy(arg, &t, sizeof t);
      return 0;
    }
    default:
      errno = ENOTTY;
      return -1;
  }
}

int SimBoard::controlValue(uint32_t request, uint32_t value) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!open_) return -1;
  if (failing_.count(request) || request != boardreq::kLegacyLed) {
    errno = failing_.count(request) ? EIO : ENOTTY;
    return -1;
  }
  if (legacyWords_.size() >= kHistoryLimit) legacyWords_.pop_front();
  legacyWords_.push_back(value);
  logLocked("legacy-led " + hex(value));
  return 0;
}

bool SimBoard::openButtonControl() {
  std::lock_guard<std::mutex> g(mutex_);
  buttonControlOpen_ = buttonMask_ != 0;
  return buttonControlOpen_;
}

int SimBoard::buttonControl(uint32_t request, void* arg) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!buttonControlOpen_ || arg == nullptr) return -1;
  if (failing_.count(request)) {
    errno = EIO;
    return -1;
  }
  uint32_t* word = static_cast<uint32_t*>(arg);
  switch (request) {
    case boardreq::kButtonMaskQuery:
      word[0] = buttonMask_;
      return 0;
    case boardreq::kButtonSetTimes: {
      // Word 2 is the time from which a press counts as long.
      if (word[2] > 0) longPressMs_ = word[2];
      char buf[96];
      std::snprintf(buf, sizeof buf, "button-times mask=0x%x %u,%u,%u,%u", word[0], word[1], word[2], word[3],
                    word[4]);
      logLocked(buf);
      return 0;
    }
    default:
      errno = ENOTTY;
      return -1;
  }
}

void SimBoard::closeButtonControl() {
  std::lock_guard<std::mutex> g(mutex_);
  buttonControlOpen_ = false;
}

int SimBoard::openButton(int index) {
  std::lock_guard<std::mutex> g(mutex_);
  if (index < 0 || index > 3 || !(buttonMask_ & (1u << index))) return -1;
  // A socket pair rather than a pipe: a report to a reader that went away
  // must not raise SIGPIPE.
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
  ::shutdown(fds[0], SHUT_WR);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  listeners_[fds[0]] = {index, fds[1]};
  return fds[0];
}

int SimBoard::readButton(int fd, char* buffer, int size) {
  if (fd < 0 || size <= 0) return -1;
  return static_cast<int>(::read(fd, buffer, static_cast<size_t>(size)));
}

void SimBoard::closeButton(int fd) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = listeners_.find(fd);
  if (it == listeners_.end()) return;
  if (it->second.writeFd >= 0) ::close(it->second.writeFd);
  ::close(fd);
  listeners_.erase(it);
}

// ---- inputs -----------------------------------------------------------

void SimBoard::setInputs(uint32_t word) {
  std::lock_guard<std::mutex> g(mutex_);
  inputs_ = word;
}

void SimBoard::setCardReader(int state) {
  std::lock_guard<std::mutex> g(mutex_);
  cardReader_ = state < 0 ? -1 : state;
}

void SimBoard::setLegacyLedQueryAnswers(bool answers) {
  std::lock_guard<std::mutex> g(mutex_);
  legacyAnswers_ = answers;
}

void SimBoard::setLedMask(uint32_t mask) {
  std::lock_guard<std::mutex> g(mutex_);
  ledMask_ = mask;
}

void SimBoard::setButtonMask(uint32_t mask) {
  std::lock_guard<std::mutex> g(mutex_);
  buttonMask_ = mask & 0xf;
}

bool SimBoard::deliverLocked(int index, const std::string& bytes) {
  bool delivered = false;
  for (auto& l : listeners_) {
    if (l.second.index != index || l.second.writeFd < 0) continue;
    ssize_t n = ::send(l.second.writeFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(bytes.size())) delivered = true;
  }
  return delivered;
}

bool SimBoard::pressButton(int index, int durationMs) {
  std::lock_guard<std::mutex> g(mutex_);
  bool isLong = durationMs >= 0 && static_cast<uint32_t>(durationMs) >= longPressMs_;
  return deliverLocked(index, isLong ? "1" : "0");
}

bool SimBoard::sendButtonBytes(int index, const std::string& bytes) {
  std::lock_guard<std::mutex> g(mutex_);
  return deliverLocked(index, bytes);
}

void SimBoard::unplugButton(int index) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& l : listeners_) {
    if (l.second.index != index || l.second.writeFd < 0) continue;
    ::close(l.second.writeFd);
    l.second.writeFd = -1;
  }
}

int SimBoard::openButtonDevices(int index) const {
  std::lock_guard<std::mutex> g(mutex_);
  int n = 0;
  for (const auto& l : listeners_) n += l.second.index == index;
  return n;
}

void SimBoard::setTicks(int64_t cs) {
  std::lock_guard<std::mutex> g(mutex_);
  if (ticksHeld_)
    heldTicks_ = cs;
  else
    tickBase_ = cs - nowMsLocked() / 10;
}

void SimBoard::advanceTicks(int64_t cs) {
  std::lock_guard<std::mutex> g(mutex_);
  if (ticksHeld_)
    heldTicks_ += cs;
  else
    tickBase_ += cs;
}

void SimBoard::holdTicks(bool hold) {
  std::lock_guard<std::mutex> g(mutex_);
  if (hold == ticksHeld_) return;
  int64_t now = ticksLocked();
  ticksHeld_ = hold;
  if (hold)
    heldTicks_ = now;
  else
    tickBase_ = now - nowMsLocked() / 10;
}

int64_t SimBoard::ticks() const {
  std::lock_guard<std::mutex> g(mutex_);
  return ticksLocked();
}

void SimBoard::failRequest(uint32_t request, bool fail) {
  std::lock_guard<std::mutex> g(mutex_);
  if (fail)
    failing_.insert(request);
  else
    failing_.erase(request);
}

void SimBoard::setPresent(bool present) {
  std::lock_guard<std::mutex> g(mutex_);
  present_ = present;
}

// ---- outputs ----------------------------------------------------------

uint32_t SimBoard::outputs() const {
  std::lock_guard<std::mutex> g(mutex_);
  return outputs_;
}

bool SimBoard::outputOn(int index) const {
  if (index < 0 || index > 31) return false;
  return (outputs() >> index) & 1u;
}

uint32_t SimBoard::litLeds() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lit_;
}

uint32_t SimBoard::boardLeds(int group) const {
  std::lock_guard<std::mutex> g(mutex_);
  return group >= 0 && group < 3 ? boardLeds_[group] : 0;
}

std::vector<LedPattern> SimBoard::patterns() const {
  std::lock_guard<std::mutex> g(mutex_);
  return std::vector<LedPattern>(patterns_.begin(), patterns_.end());
}

std::vector<uint32_t> SimBoard::legacyLedWords() const {
  std::lock_guard<std::mutex> g(mutex_);
  return std::vector<uint32_t>(legacyWords_.begin(), legacyWords_.end());
}

std::string SimBoard::displayText() const {
  std::lock_guard<std::mutex> g(mutex_);
  return frameText(display_);
}

DisplayFrame SimBoard::lastDisplayFrame() const {
  std::lock_guard<std::mutex> g(mutex_);
  return display_;
}

int SimBoard::displayWrites() const {
  std::lock_guard<std::mutex> g(mutex_);
  return displayWrites_;
}

uint32_t SimBoard::longPressMs() const {
  std::lock_guard<std::mutex> g(mutex_);
  return longPressMs_;
}

std::vector<SimBoard::LogEntry> SimBoard::log() const {
  std::lock_guard<std::mutex> g(mutex_);
  return std::vector<LogEntry>(log_.begin(), log_.end());
}

void SimBoard::clearLog() {
  std::lock_guard<std::mutex> g(mutex_);
  log_.clear();
}

// ---- text commands ----------------------------------------------------

std::string SimBoard::stateLocked() const {
  std::string s;
  s += "outputs " + hex(outputs_) + "\n";
  s += "leds " + hex(lit_) + "\n";
  s += "board-leds " + hex(boardLeds_[0]) + " " + hex(boardLeds_[1]) + " " + hex(boardLeds_[2]) + "\n";
  s += "display " + (displayWrites_ ? frameText(display_) : std::string("-")) + "\n";
  s += "legacy-led " + (legacyWords_.empty() ? std::string("-") : hex(legacyWords_.back())) + "\n";
  s += "inputs " + hex(inputs_) + "\n";
  s += "card " + (cardReader_ < 0 ? std::string("none") : std::to_string(cardReader_)) + "\n";
  s += "buttons " + hex(buttonMask_) + "\n";
  s += "long-press " + std::to_string(longPressMs_) + "\n";
  s += "ticks " + std::to_string(ticksLocked()) + "\n";
  s += std::string("open ") + (open_ ? "1" : "0") + "\n";
  return s;
}

std::string SimBoard::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> t;
  for (std::string w; in >> w;) t.push_back(w);
  if (t.empty() || t[0][0] == '#') return "ok\n";
  const std::string& cmd = t[0];
  int64_t a = 0, b = 0;
  auto bad = [&]() { return "error bad arguments to " + cmd + "\n"; };

  if (cmd == "button") {
    if (t.size() < 3 || !parseNumber(t[1], &a) || a < 0 || a > 3) return bad();
    int index = static_cast<int>(a);
    bool delivered;
    if (t[2] == "press" && t.size() == 4 && parseNumber(t[3], &b) && b >= 0)
      delivered = pressButton(index, static_cast<int>(b));
    else if (t[2] == "short" && t.size() == 3)
      delivered = pressButton(index, kShortPressMs);
    else if (t[2] == "long" && t.size() == 3)
      delivered = pressButton(index, static_cast<int>(longPressMs()));
    else if (t[2] == "unplug" && t.size() == 3) {
      unplugButton(index);
      return "ok\n";
    } else if (t[2] == "text" && t.size() >= 4)
      delivered = sendButtonBytes(index, restAfterWord(line, 3));
    else
      return bad();
    return delivered ? "ok\n" : "error button " + t[1] + " is not open\n";
  }
  if (cmd == "buttons") {
    if (t.size() != 2 || !parseNumber(t[1], &a)) return bad();
    setButtonMask(static_cast<uint32_t>(a));
    return "ok\n";
  }
  if (cmd == "psu") {
    if (t.size() != 3 || !parseNumber(t[1], &a) || !parseNumber(t[2], &b)) return bad();
    std::lock_guard<std::mutex> g(mutex_);
    inputs_ = (inputs_ & ~3u) | (a ? 1u : 0u) | (b ? 2u : 0u);
    return "ok\n";
  }
  if (cmd == "inputs") {
    if (t.size() != 2 || !parseNumber(t[1], &a)) return bad();
    setInputs(static_cast<uint32_t>(a));
    return "ok\n";
  }
  if (cmd == "card") {
    if (t.size() != 2) return bad();
    if (t[1] == "none") {
      setCardReader(-1);
      return "ok\n";
    }
    if (!parseNumber(t[1], &a) || a < 0) return bad();
    setCardReader(static_cast<int>(a));
    return "ok\n";
  }
  if (cmd == "ticks") {
    if (t.size() == 1) return std::to_string(ticks()) + "\nok\n";
    if (t.size() != 2) return bad();
    if (t[1] == "hold" || t[1] == "run") {
      holdTicks(t[1] == "hold");
      return "ok\n";
    }
    if (!parseNumber(t[1], &a)) return bad();
    if (t[1][0] == '+' || t[1][0] == '-')
      advanceTicks(a);
    else
      setTicks(a);
    return "ok\n";
  }
  if (cmd == "clock") {
    if (t.size() == 1) {
      const WallClockRecord r = simulatedWallClock();
      return "sets " + std::to_string(r.sets) + "\nseconds " + std::to_string(r.lastSeconds) + "\nmicros " +
             std::to_string(r.lastMicros) + "\nstep " + std::to_string(r.lastStepCs) + "\nok\n";
    }
    if (t.size() != 2) return bad();
    if (t[1] == "follow") {
      setWallClockTickFollower(
          [](int64_t stepCs, void* board) { static_cast<SimBoard*>(board)->advanceTicks(stepCs); }, this);
      return "ok\n";
    }
    if (t[1] == "still") {
      if (wallClockTickFollowerContext() == this) setWallClockTickFollower(nullptr, nullptr);
      return "ok\n";
    }
    return bad();
  }
  if (cmd == "legacy") {
    if (t.size() != 2 || !parseNumber(t[1], &a)) return bad();
    setLegacyLedQueryAnswers(a != 0);
    return "ok\n";
  }
  if (cmd == "ledmask") {
    if (t.size() != 2 || !parseNumber(t[1], &a)) return bad();
    setLedMask(static_cast<uint32_t>(a));
    return "ok\n";
  }
  if (cmd == "fail" || cmd == "pass") {
    if (t.size() != 2 || !parseNumber(t[1], &a)) return bad();
    failRequest(static_cast<uint32_t>(a), cmd == "fail");
    return "ok\n";
  }
  if (cmd == "state") {
    std::lock_guard<std::mutex> g(mutex_);
    return stateLocked() + "ok\n";
  }
  if (cmd == "dump") {
    std::string out;
    for (const LogEntry& e : log()) {
      char ts[32];
      std::snprintf(ts, sizeof ts, "%lld ", static_cast<long long>(e.ms));
      out += ts + e.text + "\n";
    }
    return out + "ok\n";
  }
  if (cmd == "clear") {
    clearLog();
    return "ok\n";
  }
  return "error unknown command " + cmd + "\n";
}

bool SimBoard::runCommandFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    std::string answer = command(line);
    if (answer.compare(0, 5, "error") == 0) std::fprintf(stderr, "simboard %s: %s", path.c_str(), answer.c_str());
  }
  return true;
}

// ---- control socket ---------------------------------------------------

bool SimBoard::startControlSocket(const std::string& path) {
  if (listenFd_ >= 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
      ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  controlPath_ = path;
  server_ = std::thread([this] { serve(); });
  return true;
}

void SimBoard::stopControlSocket() {
  if (listenFd_ < 0) return;
  char c = 'q';
  (void)!::write(wakePipe_[1], &c, 1);
  if (server_.joinable()) server_.join();
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  listenFd_ = wakePipe_[0] = wakePipe_[1] = -1;
  ::unlink(controlPath_.c_str());
  controlPath_.clear();
}

void SimBoard::serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serveConnection(client);
    ::close(client);
  }
}

void SimBoard::serveConnection(int fd) {
  std::string pending;
  char buf[512];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, kClientIdleMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || fds[1].revents) return;
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    pending.append(buf, static_cast<size_t>(got));
    if (pending.size() > 4096 && pending.find('\n') == std::string::npos) {
      writeAll(fd, "error line too long\n");
      return;
    }
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      writeAll(fd, command(line));
    }
  }
}

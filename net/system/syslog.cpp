#include "net/system/syslog.h"

#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "net/interface/netinterface.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/ip4param.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

std::atomic<SysLog*> sysLog{nullptr};

namespace {

constexpr int kPriLevel1 = 133;  // local0.notice
constexpr int kPriOther = 141;   // local1.notice

int32_t threadId() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

// Appends to a fixed buffer, cut at its end.
void appendf(char* buffer, size_t size, size_t* used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void appendf(char* buffer, size_t size, size_t* used, const char* format, ...) {
  if (*used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer + *used, size - *used, format, args);
  va_end(args);
  if (n < 0) return;
  *used = std::min(*used + static_cast<size_t>(n), size - 1);
}

std::string addressText(const char* key) {
  Param* p = paramStore.find(key);
  return p ? p->displayText() : std::string();
}

int paramInt(const char* key, int fallback) {
  IntParam* p = paramStore.findInt(key);
  return p ? p->value() : fallback;
}

}  // namespace

SysLog::SysLog() : Connection(nullptr, activeInterface, -1) {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_mutex_lock(&mutex_);  // free once connected
  lockHolderPid_.store(threadId());
  line_[0] = '\0';
}

SysLog::~SysLog() {
  // Whoever deletes the client makes sure nobody writes any more.
  pthread_mutex_trylock(&mutex_);
  pthread_mutex_unlock(&mutex_);
  pthread_mutex_destroy(&mutex_);
}

void SysLog::start() {
  if (SysLog* running = sysLog.load()) {
    std::fprintf(stderr, "%s is %p alreday running?!\n", "start", static_cast<void*>(running));
    return;
  }
  Param* on = paramStore.find("syslog");
  Param* server = paramStore.find("syslog_ipa");
  if (!on || !on->isOn() || !server || !server->hasValue()) return;

  SysLog* client = new SysLog();
  std::fprintf(stderr, "SysLog initial lock task:%s...\n", currentTaskName());
  sysLog.store(client);
  std::fprintf(stderr, "SysLog::%s %p is running...\n", "start", static_cast<void*>(client));

  IpAddress address;
  parseIpAddress(address, server->displayText().c_str());
  const int port = paramInt("syslog_upo", 514);
  if (!client->connect(address, port)) {
    std::fprintf(stderr, "Connecting SysLog %s:%d failed?!\n", ipText(address), port);
    sysLog.store(nullptr);
    delete client;
  }
}

int SysLog::connect(const IpAddress& address, int serverPort) {
  bool ok = (address.family() == IpAddress::kFamilyIp4 || address.family() == IpAddress::kFamilyIp6) &&
            open(AF_INET, SOCK_DGRAM, 0) && setNonBlocking() && setReuseAddr();
  if (ok) {
    peer = address;
    peer.setPort(static_cast<uint16_t>(serverPort));
    ok = Connection::connect(-1) != 0;
  }
  if (!ok) {
    std::fprintf(stderr, "Connecting SysLog -> %s:%d fd:%d failed?!\n", ipText(address), serverPort, fd);
    if (fd >= 0) close();
    return 0;
  }
  lockHolderPid_.store(0);
  pthread_mutex_unlock(&mutex_);
  alive_.store(true);
  std::fprintf(stderr, "Connecting SysLog -> %s:%d fd:%d done\n", ipText(address), serverPort, fd);

  const char* kickOff = std::getenv("KickOff");
  char text[256];
  std::snprintf(text, sizeof text, "I'm %s@%s alive:%d,%d...", productParams().default_name,
                addressText("ip_addr").c_str(), kickOff ? std::atoi(kickOff) : -1, paramInt("life", 0));
  write(1, "udp", __LINE__, text);
  return 1;
}

int SysLog::lock() {
  const int32_t self = threadId();
  for (;;) {
    if (pthread_mutex_trylock(&mutex_) == 0) {
      lockHolderPid_.store(self);
      return 1;
    }
    const int32_t holder = lockHolderPid_.load();
    if (holder == self) {
      std::fprintf(stderr, "ERROR SysLog alive:%d recursive deadlock task:%s pid:%d!?\n", alive_.load() ? 1 : 0,
                   currentTaskName(), holder);
      return 0;
    }
    // The client has no owner task to wait in; a line takes microseconds.
    sched_yield();
  }
}

void SysLog::unlock() {
  lockHolderPid_.store(0);
  pthread_mutex_unlock(&mutex_);
}

int SysLog::send(int pri, const char* unit, int line, bool withTask, const char* text) {
  const time_t now = std::time(nullptr);
  const int64_t uptime = uptimeCs();
  int32_t task = currentTaskIdForLog();
  if (task < 0) task = 0;

  if (!alive_.load() || !lock()) {
    std::fprintf(stderr, "SysLog::%s not alive:%d or locked by me, skip %s:%d\n", "write", alive_.load() ? 1 : 0,
                 unit, line);
    return 0;
  }
  size_t used = 0;
  appendf(line_, sizeof line_, &used, "<%d>", pri);
  tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  if (std::strftime(stamp, sizeof stamp, "%h %e %T ", &local) > 0) appendf(line_, sizeof line_, &used, "%s", stamp);
  const std::string address = addressText("ip_addr");
  const unsigned seconds = static_cast<unsigned>(uptime / 100);
  const unsigned hundredths = static_cast<unsigned>(uptime % 100);
  if (withTask)
    appendf(line_, sizeof line_, &used, "%s %18s[%4d]:%3d:%7u.%02u| %s", address.c_str(), unit, line, task, seconds,
            hundredths, text);
  else
    appendf(line_, sizeof line_, &used, "%s %18s[%4d]:%7u.%02u| %s", address.c_str(), unit, line, seconds,
            hundredths, text);
  const int result = Connection::send(line_, static_cast<int>(used), 1);
  if (result > 0) sentCount_.fetch_add(1);
  unlock();
  return result;
}

int SysLog::write(int level, const char* unit, int line, const char* text) {
  return send(level == 1 ? kPriLevel1 : kPriOther, unit, line, true, text);
}

int SysLog::tprintf(const char* unit, int line, const char* format, ...) {
  char text[kSysLogLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return send(kPriLevel1, unit, line, false, text);
}

int SysLog::stop() {
  std::fprintf(stderr, "%s syslog:%p alive:%d\n", "stop", static_cast<void*>(this), alive_.load() ? 1 : 0);
  if (!alive_.load()) {
    std::fprintf(stderr, "%s syslog:%p not alive:?!\n", "stop", static_cast<void*>(this));
    return 0;
  }
  char text[256];
  std::snprintf(text, sizeof text, "I'm %s stopped", productParams().default_name);
  write(1, "udp", __LINE__, text);
  alive_.store(false);
  return 1;
}

bool startSysLog() {
  SysLog::start();
  return sysLog.load() != nullptr;
}

bool stopSysLog() {
  SysLog* client = sysLog.exchange(nullptr);
  if (!client) return false;
  const bool wasAlive = client->stop() != 0;
  client->close();
  delete client;
  return wasAlive;
}

// The remote syslog client: one UDP client that sends short lines to the
// configured server (`syslog`, `syslog_ipa`, `syslog_upo`). In this program
// it announces only the device's start and stop. Its parameters are hidden
// on every model, so it runs only where a store shows them.
//
// Lines may be written from any thread: a mutex serialises the line buffer,
// and the id of the thread holding it lets a line written from inside a
// line be refused instead of deadlocking.
#ifndef NET_SYSTEM_SYSLOG_H
#define NET_SYSTEM_SYSLOG_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "runtime/socket/connection.h"

constexpr int kSysLogLineSize = 1024;

class SysLog : public Connection {
 public:
  SysLog();
  ~SysLog();

  // Creates the client when the parameters ask for it and connects it;
  // sysLog stays null when they do not or the connection fails.
  static void start();
  // Connects to address:port and writes the alive line: 1/0.
  int connect(const IpAddress& address, int port);
  // One line: "<PRI>", the local time, the device address, unit, line,
  // task id, uptime and text, cut to the line buffer. Bytes sent, or 0 when
  // skipped (not alive, or the caller is already inside a line).
  int write(int level, const char* unit, int line, const char* text);
  // The same with PRI 133 and without the task id, the text formatted.
  int tprintf(const char* unit, int line, const char* format, ...) __attribute__((format(printf, 4, 5)));
  // Takes the line mutex: 1, or 0 when the calling thread already holds it.
  int lock();
  // Frees the line mutex taken by lock.
  void unlock();
  // Writes the stop line and ends the client's life (the object stays): 1
  // when it was alive.
  int stop();

  int32_t sentCount() const { return sentCount_.load(); }
  bool alive() const { return alive_.load(); }

 private:
  int send(int pri, const char* unit, int line, bool withTask, const char* text);

  pthread_mutex_t mutex_;
  char line_[kSysLogLineSize];
  std::atomic<int32_t> sentCount_{0};
  std::atomic<bool> alive_{false};
  std::atomic<int32_t> lockHolderPid_{0};
};

// The client, null while remote syslog is off.
extern std::atomic<SysLog*> sysLog;

// SysLog::start; true when a client is running afterwards.
bool startSysLog();
// SysLog::stop, then the client is closed and deleted; true when it was
// alive.
bool stopSysLog();

#endif

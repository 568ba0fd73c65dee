#include "net/time/ntptask.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "net/dhcp/dhcplease.h"
#include "net/interface/netinterface.h"
#include "net/time/timezone.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/parambase.h"
#include "params/types/paramflags.h"
#include "platform/clock/wallclock.h"
#include "runtime/bytes/bytebuffer.h"
#include "runtime/socket/resolver.h"
#include "runtime/task/timeutil.h"
#include "runtime/task/uptime.h"
#include "runtime/text/gettext.h"

namespace {

constexpr int32_t kNtpStackBytes = 20480;
// The loop wakes at least this often to look at the program clock, so a
// clock moved by a test or stepped by the board is followed promptly.
constexpr int kWaitSliceMs = 1000;

std::mutex serverMutex;
IpAddress lastServer;

bool clientOn() {
  Param* on = paramStore.find("ntp");
  Param* server = paramStore.find("ntp_server");
  return on && on->isOn() && server && server->hasValue();
}

int64_t updatePeriodCs() {
  IntParam* update = paramStore.findInt("ntp_update");
  const int64_t seconds = update ? update->value() : 1024;
  return (seconds > 0 ? seconds : 1024) * 100;
}

}  // namespace

NtpTask::NtpTask(InterfaceView* nif) : Task("NTP"), resync_(true), socket_(this, nif, -1) {
  socketEvent_ = TaskEventRecord{nullptr, &NtpTask::socketCallback, -1};
  buildRequest();
}

NtpTask::~NtpTask() { closeSocket(); }

int NtpTask::onMessage(const TaskMessage& msg) {
  if (msg.flags & MSG_PARAMS_CHANGED) resync_.store(true);
  return msg.flags;
}

void NtpTask::buildRequest() { buildSntpRequest(packet_); }

int NtpTask::sendRequest() {
  buildRequest();
  return socket_.send(packet_, static_cast<int>(kSntpPacketSize), 1);
}

int NtpTask::receiveReply() {
  ByteBuffer buffer;
  const int64_t timeout = replyTimeoutCs_ > 0 ? replyTimeoutCs_ : kNtpDefaultReplyTimeoutCs;
  const int count = socket_.receive(buffer, static_cast<int>(timeout));
  if (count <= 0 || buffer.base == nullptr) return 0;
  int64_t seconds = 0;
  if (checkSntpReply(reinterpret_cast<const uint8_t*>(buffer.base), static_cast<size_t>(count), &seconds) !=
      SntpReplyCheck::Good)
    return 0;
  receivedSeconds_ = seconds;
  receivedMicros_ = 0;
  return 1;
}

int NtpTask::setSystemClock() {
  const int64_t t0 = uptimeCs();
  timeval when{};
  when.tv_sec = static_cast<time_t>(receivedSeconds_);
  when.tv_usec = static_cast<suseconds_t>(receivedMicros_);
  if (setWallClock(when) != 0) return -1;
  const int64_t t1 = uptimeCs();
  if (t1 == t0) return 0;
  millisecondsSince(1);
  shiftTaskStartTimes(t1 - t0);
  dhcpLeaseStart.fetch_add(t1 - t0);
  return 0;
}

int NtpTask::onReply() {
  if (!receiveReply()) return -1;
  return setSystemClock();
}

int NtpTask::socketCallback(TaskEventRecord* record, uint32_t) {
  NtpTask* task = record ? static_cast<NtpTask*>(record->owner) : nullptr;
  if (!task) return -1;
  return task->onReply();
}

void NtpTask::closeSocket() {
  if (socket_.fd >= 0) {
    removeEvent(socket_.fd);
    socket_.close();
  }
  socketEvent_.owner = nullptr;
  socketEvent_.fd = -1;
}

int NtpTask::synchronize() {
  if (!clientOn()) {
    syncEndCs_ = uptimeCs();
    return 0;
  }
  attempts_.fetch_add(1);
  const int result = exchange();
  // The next wait is measured from here, whenever the loop gets to it.
  syncEndCs_ = uptimeCs();
  if (result) successes_.fetch_add(1);
  finished_.fetch_add(1);
  return result;
}

int NtpTask::exchange() {
  Param* serverParam = paramStore.find("ntp_server");
  std::string host = serverParam ? serverParam->displayText() : std::string();
  if (serverParam && serverParam->hasFlags(PF_TRANSLATED)) host = getmuText(host.c_str());
  IpAddress address;
  if (!resolveHostName(address, host.c_str()) || !address.isSet()) return 0;  // nothing is sent
  address.setPort(kSntpPort);
  server_ = address;
  {
    std::lock_guard<std::mutex> g(serverMutex);
    lastServer = address;
  }

  closeSocket();
  int result = 0;
  const int family = address.isIp6() ? IpAddress::kFamilyIp6 : IpAddress::kFamilyIp4;
  if (socket_.open(family, SOCK_DGRAM, 0) && socket_.bind(0, 1, -1)) {
    socket_.peer = address;
    // Connected: the kernel hands over only the server's datagrams.
    if (socket_.connect(-1)) {
      socketEvent_ = TaskEventRecord{this, &NtpTask::socketCallback, socket_.fd};
      addEvent(&socketEvent_, EPOLLIN);
      force2face(socket_.fd);
      if (sendRequest() > 0 && onReply() == 0) result = 1;
    }
  }
  closeSocket();
  return result;
}

bool NtpTask::waitUntil(int64_t deadlineCs) {
  for (;;) {
    const int64_t leftCs = deadlineCs - uptimeCs();
    if (leftCs <= 0) return false;
    const int ms = static_cast<int>(std::min<int64_t>(leftCs * 10, kWaitSliceMs));
    const int events = pollEvents(ms);
    if (events > 0) return true;
  }
}

void NtpTask::run() {
  int last = 0;
  int64_t from = uptimeCs();
  for (;;) {
    while (resync_.exchange(false)) {
      if (!clientOn()) break;
      applyTimeZoneParam();
      last = synchronize();
      from = syncEndCs_;
    }
    const int64_t period = last == 1 ? updatePeriodCs() : kNtpRetrySeconds * 100;
    // A message that asks for no resynchronisation keeps the deadline, so
    // a stream of other messages cannot put the next try off for ever.
    if (!waitUntil(from + period)) {
      last = synchronize();
      from = syncEndCs_;
    }
  }
}

IpAddress ntpServerAddress() {
  std::lock_guard<std::mutex> g(serverMutex);
  return lastServer;
}

bool startTimeClient(NetInterface& nif) {
  NtpTask* task = new NtpTask(&nif);
  if (task->start(kNtpStackBytes) < 0) {
    delete task;
    return false;
  }
  return true;
}

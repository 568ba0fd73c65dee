#include "notify/notifyproducer.h"

#include <atomic>

#include "notify/notifytask.h"
#include "runtime/task/task.h"

namespace {

std::mutex producerMutex;
std::atomic<bool> announcementOutstanding{false};

}  // namespace

std::mutex& notifyProducerMutex() { return producerMutex; }

bool claimNotifyAnnouncement() { return !announcementOutstanding.exchange(true); }

void clearNotifyAnnouncement() { announcementOutstanding.store(false); }

bool notifyAnnouncementOutstanding() { return announcementOutstanding.load(); }

int postNotifyEvent(uint32_t code) {
  const int32_t id = notifyTaskId.load();
  if (id < 0) return 0;
  TaskMessage msg{0, MSG_NOTIFY, static_cast<int32_t>(code), 0};
  return postToTaskId(id, msg) == 0 ? 1 : 0;
}

bool produceNotifyEvent(uint32_t code, int32_t value, const char* manufacturer, const char* product,
                        const char* serial, const char* host) {
  bool announce = false;
  {
    std::lock_guard<std::mutex> lock(producerMutex);
    NotifyTask* task = notifyTask.load();
    if (!task || !task->pushEvent(code, value, manufacturer, product, serial, host)) return false;
    announce = claimNotifyAnnouncement();
  }
  // Posted outside the lock: the post finds the task by id, so a task that
  // ended meanwhile only makes it fail.
  if (announce && postNotifyEvent(code) != 1) clearNotifyAnnouncement();
  return true;
}

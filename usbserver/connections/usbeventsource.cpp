#include "usbserver/connections/usbeventsource.h"

#include <sys/epoll.h>

#include <atomic>
#include <new>
#include <vector>

namespace {

std::atomic<void (*)()> activityHook{nullptr};

// Sources destroyed by a handler while their task's poll is dispatching: a
// later event of the same batch may still point at them, so they are freed
// when the poll has returned.
// Trivially destructible: a task's end hook runs after the thread's C++
// thread-local objects are gone, and may still destroy sources.
thread_local bool pollDispatching = false;
thread_local std::vector<UsbEventSource*>* destroyedDuringPoll = nullptr;

void freeDestroyedSources() {
  if (!destroyedDuringPoll) return;
  std::vector<UsbEventSource*> dead;
  dead.swap(*destroyedDuringPoll);
  for (UsbEventSource* s : dead) delete s;
}

constexpr uint32_t kInput = EPOLLIN | EPOLLHUP;
constexpr uint32_t kOutput = EPOLLOUT | EPOLLHUP;

}  // namespace

void setUsbActivityHook(void (*hook)()) { activityHook.store(hook); }

UsbEventSource::UsbEventSource(int descriptor, int rowIndex) : fd(descriptor), row(rowIndex) {
  registration.owner = this;
  registration.callback = dispatchUsbPollEvent;
  registration.fd = descriptor;
}

UsbEventSource* UsbEventSource::create(int descriptor, int rowIndex) {
  return new (std::nothrow) UsbEventSource(descriptor, rowIndex);
}

int UsbEventSource::attachTo(Task* task) {
  if (!task || fd < 0) return 0;
  if (task->addEvent(&registration, 0) != 0) return 0;
  ownerTask = task;
  epollFd = task->epollFd;
  eventMask = 0;
  return 1;
}

namespace {

int changeMask(UsbEventSource& s, uint32_t mask) {
  s.eventMask = mask;
  if (!s.ownerTask || s.epollFd < 0) return -1;
  return s.ownerTask->modifyEvent(&s.registration, mask);
}

}  // namespace

int UsbEventSource::enableInput() { return changeMask(*this, eventMask | kInput); }
int UsbEventSource::enableOutput() { return changeMask(*this, eventMask | kOutput); }
int UsbEventSource::disableInput() { return changeMask(*this, eventMask & ~static_cast<uint32_t>(EPOLLIN)); }
int UsbEventSource::disableOutput() { return changeMask(*this, eventMask & ~static_cast<uint32_t>(EPOLLOUT)); }

int pollOneTaskEvent(Task* task, int timeoutMs) {
  if (!task) return -1;
  epoll_event ev{};
  const int n = epoll_wait(task->epollFd, &ev, 1, timeoutMs);
  if (n != 1) return n;
  auto* record = static_cast<TaskEventRecord*>(ev.data.ptr);
  if (record && record->owner && record->callback) record->callback(record, ev.events);
  return n;
}

int UsbEventSource::waitEvents(int timeoutMs) {
  if (error < 0) return error;
  if (!ownerTask) return -1;
  pollDispatching = true;
  const int r = pollOneTaskEvent(ownerTask, timeoutMs);
  pollDispatching = false;
  const int failed = error;  // read before this source could be freed below
  freeDestroyedSources();
  return failed < 0 ? failed : r;
}

int dispatchUsbPollEvent(TaskEventRecord* record, uint32_t events) {
  if (!record || !record->owner) return 0;
  auto* source = static_cast<UsbEventSource*>(record->owner);
  source->lastEvents = events;
  if (source->handler && source->handler(*source) < 0) {
    source->error = -1;
    if (source->parent) source->parent->error = -1;
  }
  if (void (*hook)() = activityHook.load()) hook();
  return 0;
}

void destroyUsbEventSource(UsbEventSource*& source) {
  if (!source) return;
  if (source->ownerTask && source->epollFd >= 0 && source->fd >= 0) source->ownerTask->removeEvent(source->fd);
  // An event of this source already fetched by the running poll must find
  // no owner (pollEvents skips such records).
  source->registration.owner = nullptr;
  source->handler = nullptr;
  if (pollDispatching && !destroyedDuringPoll) destroyedDuringPoll = new (std::nothrow) std::vector<UsbEventSource*>;
  if (pollDispatching && destroyedDuringPoll) destroyedDuringPoll->push_back(source);
  else if (!pollDispatching) delete source;
  // else: without memory to defer it, the record is left (never reused).
  source = nullptr;
}

void endUsbEventSourcesOfThread() {
  pollDispatching = false;
  freeDestroyedSources();
  delete destroyedDuringPoll;
  destroyedDuringPoll = nullptr;
}

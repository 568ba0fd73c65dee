// Task life, messages, waits and the task table.
#include "runtime/task/task.h"

#include "runtime/task/uptime.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

Task* taskTable[TASK_TABLE_SIZE];
pthread_mutex_t taskTableMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
int32_t taskIdCounter = 0;
std::atomic<int32_t> taskTableOverflows{0};
std::atomic<int32_t> taskPostsLost{0};

namespace {

pthread_key_t taskContextKey;
pthread_once_t taskContextKeyOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> taskContextKeyReady{false};
std::atomic<TaskThreadCreator> threadCreator{nullptr};

constexpr int kMaxEventsPerPoll = 4;

// How often this thread holds TLOCK (the mutex is recursive): a post made
// while it is held must not wait for room.
thread_local int tableLockDepth = 0;

// An ending task waits here for the posters that still pin it.
pthread_mutex_t pinMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t pinReleased = PTHREAD_COND_INITIALIZER;

// Program clock of the last "messages lost" line; -1 = none yet.
std::atomic<int64_t> lastLossReportCs{-1};

void pinTask(Task* task) {
    task->postPins.fetch_add(1);
}

void unpinTask(Task* task) {
    // Read before the release: once the count is 0 the task may be gone.
    bool ending = task->ending.load();
    task->postPins.fetch_sub(1);
    if (ending) {
        pthread_mutex_lock(&pinMutex);
        pthread_cond_broadcast(&pinReleased);
        pthread_mutex_unlock(&pinMutex);
    }
}

// Called once the task has left the table (no new pins): waits until every
// poster that pinned it is done. Its pipe is emptied meanwhile, so a poster
// waiting for room finishes at once.
void waitForPosters(Task* task) {
    task->ending.store(true);
    if (task->postPins.load() == 0)
        return;
    if (task->pipeRead >= 0) {
        int fl = fcntl(task->pipeRead, F_GETFL);
        if (fl >= 0)
            fcntl(task->pipeRead, F_SETFL, fl | O_NONBLOCK);
    }
    pthread_mutex_lock(&pinMutex);
    while (task->postPins.load() > 0) {
        char discard[4096];
        while (task->pipeRead >= 0 && read(task->pipeRead, discard, sizeof discard) > 0) {
        }
        // Timed: a poster that read "not ending" just before it released
        // its pin does not signal.
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 10 * 1000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&pinReleased, &pinMutex, &until);
    }
    pthread_mutex_unlock(&pinMutex);
}

void reportLostPost(const Task* task) {
    int32_t lost = taskPostsLost.fetch_add(1) + 1;
    int64_t now = uptimeCs();
    int64_t last = lastLossReportCs.load();
    if (last >= 0 && now >= last && now - last < 100)
        return;
    if (!lastLossReportCs.compare_exchange_strong(last, now))
        return;  // another poster prints this second's line
    fprintf(stderr, "task %s(%d): message pipe full, %d messages lost\n",
            task->name != nullptr ? task->name : "?", task->id, lost);
}

void destroyTaskAtThreadExit(void* value);

void createTaskContextKey() {
    int rc = pthread_key_create(&taskContextKey, destroyTaskAtThreadExit);
    if (rc != 0) {
        fprintf(stderr, "could not create task context key !! %s\n", strerror(rc));
        ::exit(-1);
    }
    pthread_setspecific(taskContextKey, nullptr);
    taskContextKeyReady.store(true, std::memory_order_release);
}

// Clears the slot holding task (first match). Caller holds TLOCK.
void removeFromTableLocked(Task* task) {
    for (Task*& slot : taskTable) {
        if (slot == task) {
            slot = nullptr;
            return;
        }
    }
}

void removeFromTable(Task* task) {
    if (TLOCK()) {
        removeFromTableLocked(task);
        unlockTaskTable();
    }
}

void destroyTaskAtThreadExit(void* value) {
    if (value == nullptr)
        return;
    Task* task = static_cast<Task*>(value);
    // The task's own last word, on its own thread, while the object is whole.
    // The thread library has already cleared the key: the hook still sees
    // its task as the current one, and the key is cleared again after it.
    pthread_setspecific(taskContextKey, task);
    task->onEnd();
    pthread_setspecific(taskContextKey, nullptr);
    // Leave the table before the derived destructors run, so no poster can
    // reach a half-destroyed object, and let those already writing finish.
    removeFromTable(task);
    waitForPosters(task);
    delete task;
}

void* taskThreadEntry(void* arg) {
    Task* task = static_cast<Task*>(arg);
    pthread_setspecific(taskContextKey, task);
    if (task->name != nullptr)
        prctl(PR_SET_NAME, task->name, 0, 0, 0);
    // Waits until Task::start in the creating thread has finished. The
    // thread's own values are recorded under the lock because table scans
    // read them under it.
    if (!TLOCK()) {
        fprintf(stderr, "**** thread start synchronisation failed %p *****\n", static_cast<void*>(task));
        return nullptr;
    }
    task->pid = static_cast<int32_t>(syscall(SYS_gettid));
    task->ppid = static_cast<int32_t>(getppid());
    task->threadSelf = pthread_self();
    unlockTaskTable();
    task->run();
    return nullptr;
}

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool pollReadable(short revents) {
    return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

// ---- life ----

Task::Task(const char* taskName)
    : stackSize(0),
      createdCs(uptimeCs()),
      threadSelf(),
      pid(0),
      ppid(0),
      id(0),
      thread(),
      name(taskName),
      epollFd(-1),
      pipeMutex(),
      pipeRead(-1),
      pipeWrite(-1),
      pipeEvent{nullptr, nullptr, -1},
      postPins(0),
      ending(false),
      pipeClogged(false) {
    pthread_once(&taskContextKeyOnce, createTaskContextKey);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "%s:%d: could not create message pipe:\n", "task", __LINE__);
        ::exit(-1);
    }
    pipeRead = fds[0];
    pipeWrite = fds[1];
    // Non-blocking: a post waits for room in a full pipe only as long as it
    // chooses to (see post).
    int fl = fcntl(pipeWrite, F_GETFL);
    if (fl >= 0)
        fcntl(pipeWrite, F_SETFL, fl | O_NONBLOCK);
    pthread_mutex_init(&pipeMutex, nullptr);

    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        fprintf(stderr, "%s:%d: epoll error: %s !!\n", "task", __LINE__, strerror(errno));
        ::exit(-1);
    }
    pipeEvent.owner = this;
    pipeEvent.callback = taskPipeEventCallback;
    pipeEvent.fd = pipeRead;
    addEvent(&pipeEvent, EPOLLIN | EPOLLHUP);

    bool registered = false;
    if (TLOCK()) {
        for (Task*& slot : taskTable) {
            if (slot == nullptr) {
                slot = this;
                registered = true;
                break;
            }
        }
        unlockTaskTable();
    }
    if (!registered)
        taskTableOverflows.fetch_add(1);
}

Task::~Task() {
    if (epollFd >= 0 && pipeEvent.fd >= 0) {
        removeEvent(pipeEvent.fd);
        pipeEvent = TaskEventRecord{nullptr, nullptr, -1};
    }
    removeFromTable(this);
    waitForPosters(this);
    if (epollFd >= 0) {
        close(epollFd);
        epollFd = -1;
    }
    if (pipeRead >= 0) {
        close(pipeRead);
        pipeRead = -1;
    }
    if (pipeWrite >= 0) {
        close(pipeWrite);
        pipeWrite = -1;
    }
    // A poster that holds this task's pointer may still be leaving post()
    // after the message it wrote ended this task: wait for it to unlock.
    pthread_mutex_lock(&pipeMutex);
    pthread_mutex_unlock(&pipeMutex);
    pthread_mutex_destroy(&pipeMutex);
}

int Task::start(int32_t stackBytes, int joinable) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    size_t minimum = 0;
    if (pthread_attr_getstacksize(&attr, &minimum) != 0) {
        pthread_attr_destroy(&attr);
        return -1;
    }
    size_t size = stackBytes > 0 && static_cast<size_t>(stackBytes) > minimum ? static_cast<size_t>(stackBytes)
                                                                                : minimum;
    pthread_attr_setstacksize(&attr, size);
    if (!joinable)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

    if (!TLOCK()) {
        pthread_attr_destroy(&attr);
        id = -1;
        return -1;
    }
    stackSize = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    // The counter starts again from 0 instead of overflowing.
    if (taskIdCounter == INT32_MAX)
        taskIdCounter = 0;
    int32_t next = ++taskIdCounter;
    id = next;
    TaskThreadCreator create = threadCreator.load();
    int rc = create != nullptr ? create(&thread, &attr, taskThreadEntry, this)
                               : pthread_create(&thread, &attr, taskThreadEntry, this);
    pthread_attr_destroy(&attr);
    int32_t result = next;
    if (rc != 0) {
        // No thread will ever end this task: take it out of the table and
        // leave the object to the caller.
        id = -1;
        result = -1;
        removeFromTableLocked(this);
    }
    // Once unlocked, a started task may end and delete itself at any time.
    unlockTaskTable();
    return result;
}

void Task::exit() {
    pthread_exit(nullptr);
}

int Task::onMessage(const TaskMessage& msg) {
    return msg.flags;
}

// ---- messages ----

int Task::post(TaskMessage msg) {
    msg.target = id;
    // 16 bytes are below the pipe's atomic write size: a write puts in the
    // whole message or nothing.
    bool lost = false;
    ssize_t n;
    int64_t deadline = -1;
    pthread_mutex_lock(&pipeMutex);
    for (;;) {
        n = write(pipeWrite, &msg, sizeof msg);
        if (n >= 0 || errno == EINTR) {
            if (n >= 0)
                break;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        if (pipeClogged.load() || tableLockDepth > 0) {
            lost = true;
            break;
        }
        int64_t now = monotonicMs();
        if (deadline < 0)
            deadline = now + TASK_FULL_PIPE_WAIT_MS;
        if (now >= deadline) {
            pipeClogged.store(true);
            lost = true;
            break;
        }
        pollfd room{pipeWrite, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(deadline - now));
    }
    if (n == static_cast<ssize_t>(sizeof msg))
        pipeClogged.store(false);
    pthread_mutex_unlock(&pipeMutex);
    if (lost)
        reportLostPost(this);
    return n == static_cast<ssize_t>(sizeof msg) ? 0 : -1;
}

namespace {

// Outcome of a post attempt made under TLOCK.
constexpr int kWritten = 0;
constexpr int kFailed = -1;
constexpr int kDeferred = 1;  // full pipe or a writer busy: finish outside the lock

// One write attempt that never waits: the pipe mutex only when free, the
// write only when the pipe has room.
int postWithoutWaiting(Task* task, TaskMessage msg) {
    msg.target = task->id;
    if (pthread_mutex_trylock(&task->pipeMutex) != 0)
        return kDeferred;
    ssize_t n;
    do {
        n = write(task->pipeWrite, &msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
    int result = n == static_cast<ssize_t>(sizeof msg) ? kWritten
                 : n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? kDeferred
                                                                      : kFailed;
    if (result == kWritten)
        task->pipeClogged.store(false);
    pthread_mutex_unlock(&task->pipeMutex);
    return result;
}

// Posts msg to the registered tasks that match (the first only with
// firstOnly). Under TLOCK each one gets the message at once when its pipe
// has room, in table order as before; a receiver whose pipe is full is
// pinned and served after the lock is released, with the bounded wait of
// Task::post. Returns how many matched (-1 when TLOCK failed) and ORs the
// post results into *rc.
template <typename Match>
int postToRegisteredTasks(TaskMessage msg, Match match, bool firstOnly, int* rc) {
    if (!TLOCK())
        return -1;
    Task* deferred[TASK_TABLE_SIZE];
    int deferredCount = 0;
    int count = 0;
    for (Task* t : taskTable) {
        if (t == nullptr || !match(t))
            continue;
        ++count;
        int result = postWithoutWaiting(t, msg);
        if (result == kDeferred) {
            pinTask(t);
            deferred[deferredCount++] = t;
        } else {
            *rc |= result;
        }
        if (firstOnly)
            break;
    }
    unlockTaskTable();
    for (int i = 0; i < deferredCount; ++i) {
        *rc |= deferred[i]->post(msg);
        unpinTask(deferred[i]);
    }
    return count;
}

}  // namespace

int postToTasksNamed(const char* name, TaskMessage msg) {
    if (name == nullptr)
        return 0;
    int rc = 0;
    int count = postToRegisteredTasks(
        msg, [name](Task* t) { return t->name != nullptr && strcmp(t->name, name) == 0; }, false, &rc);
    return count < 0 ? 0 : count;
}

int postToTaskId(int32_t id, TaskMessage msg) {
    int rc = 0;
    int count = postToRegisteredTasks(msg, [id](Task* t) { return t->id == id; }, true, &rc);
    return count <= 0 ? -1 : rc;
}

int broadcastToTasks(TaskMessage msg) {
    int rc = 0;
    postToRegisteredTasks(msg, [](Task*) { return true; }, false, &rc);
    return rc;
}

bool taskTableHasRoomForClient() {
    if (!TLOCK())
        return false;
    int free = 0;
    for (Task* t : taskTable)
        free += t == nullptr;
    unlockTaskTable();
    // The client's own task takes one of them.
    return free - 1 >= TASK_SLOTS_KEPT_FOR_SYSTEM;
}

int signalOtherTasks(const char* name, int sig) {
    if (!TLOCK())
        return 0;
    int count = 0;
    pthread_t self = pthread_self();
    for (Task* t : taskTable) {
        // Only tasks whose thread was created have a handle to signal.
        if (t == nullptr || t->id <= 0 || pthread_equal(t->thread, self))
            continue;
        if (name != nullptr && (t->name == nullptr || strcmp(t->name, name) != 0))
            continue;
        if (pthread_kill(t->thread, sig) == 0)
            ++count;
    }
    unlockTaskTable();
    return count;
}

void shiftTaskStartTimes(int64_t deltaCs) {
    if (!TLOCK())
        return;
    for (Task* t : taskTable) {
        if (t != nullptr)
            t->createdCs += deltaCs;
    }
    unlockTaskTable();
}

// ---- receiving ----

int Task::receiveMessage() {
    TaskMessage msg{0, 0, 0, 0};
    char* p = reinterpret_cast<char*>(&msg);
    size_t got = 0;
    while (got < sizeof msg) {
        ssize_t n = read(pipeRead, p + got, sizeof msg - got);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (got < sizeof msg)
        exit();
    if (msg.flags & MSG_QUIT)
        exit();
    return onMessage(msg);
}

int Task::wait(int64_t timeoutCs, int extraFd) {
    pollfd fds[2] = {{pipeRead, POLLIN, 0}, {extraFd, POLLIN, 0}};
    nfds_t count = extraFd > 0 ? 2 : 1;
    int64_t deadline = timeoutCs > 0 ? monotonicMs() + timeoutCs * 10 : 0;
    for (;;) {
        int ms = -1;
        if (timeoutCs == 0) {
            ms = 0;
        } else if (timeoutCs > 0) {
            int64_t left = deadline - monotonicMs();
            ms = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        }
        int r = poll(fds, count, ms);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        if (r == 0) {
            if (ms != 0 && (timeoutCs < 0 || deadline - monotonicMs() > 0))
                continue;  // a clamped poll ran out before the real deadline
            return WAIT_TIMEOUT;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents & POLLNVAL)
                return WAIT_FAILED;
        }
        if (pollReadable(fds[0].revents)) {
            if (receiveMessage() & MSG_ENDS_WAIT)
                return WAIT_WOKEN;
        }
        if (count == 2 && pollReadable(fds[1].revents))
            return WAIT_FD_READY;
    }
}

int Task::servePendingMessage() {
    if (pipeRead < 0)
        return 0;
    int pending = 0;
    if (ioctl(pipeRead, FIONREAD, &pending) != 0 || pending <= 0)
        return 0;
    receiveMessage();
    return 1;
}

int Task::addEvent(TaskEventRecord* record, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = record;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, record->fd, &ev);
}

int Task::removeEvent(int fd) {
    epoll_event ev{};
    return epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, &ev);
}

int Task::modifyEvent(TaskEventRecord* record, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = record;
    return epoll_ctl(epollFd, EPOLL_CTL_MOD, record->fd, &ev);
}

int Task::pollEvents(int timeoutMs) {
    epoll_event events[kMaxEventsPerPoll];
    int n = epoll_wait(epollFd, events, kMaxEventsPerPoll, timeoutMs);
    for (int i = 0; i < n; ++i) {
        TaskEventRecord* record = static_cast<TaskEventRecord*>(events[i].data.ptr);
        if (record == nullptr || record->owner == nullptr || record->callback == nullptr)
            continue;
        void* owner = record->owner;
        if (record->callback(record, events[i].events) < 0) {
            for (int j = i + 1; j < n; ++j) {
                TaskEventRecord* later = static_cast<TaskEventRecord*>(events[j].data.ptr);
                if (later != nullptr && later->owner == owner)
                    later->owner = nullptr;
            }
        }
    }
    return n;
}

int taskPipeEventCallback(TaskEventRecord* record, uint32_t /*events*/) {
    if (record == nullptr || record->owner == nullptr)
        return 0;
    // A callback earlier in the same epoll batch may have waited and served
    // the message this event announced; a blocking read of the then empty
    // pipe would stop the task for good.
    Task* task = static_cast<Task*>(record->owner);
    int pending = 0;
    if (ioctl(record->fd, FIONREAD, &pending) == 0 && pending <= 0)
        return 0;
    return task->receiveMessage();
}

// ---- queries and the table lock ----

Task* currentTask() {
    if (!taskContextKeyReady.load(std::memory_order_acquire))
        return nullptr;
    return static_cast<Task*>(pthread_getspecific(taskContextKey));
}

int32_t currentTaskId() {
    Task* t = currentTask();
    return t != nullptr ? t->id : -1;
}

int32_t currentTaskIdForLog() {
    return currentTaskId();
}

const char* currentTaskName() {
    Task* t = currentTask();
    return t != nullptr ? t->name : "NoTask";
}

int TLOCK() {
    if (pthread_mutex_lock(&taskTableMutex) != 0) {
        fprintf(stderr, "TLOCK[%d] failed!\n", currentTaskId());
        return 0;
    }
    ++tableLockDepth;
    return 1;
}

void unlockTaskTable() {
    --tableLockDepth;
    pthread_mutex_unlock(&taskTableMutex);
}

int syncTaskTable() {
    if (!TLOCK())
        return 0;
    unlockTaskTable();
    return 1;
}

void setTaskThreadCreatorForTesting(TaskThreadCreator creator) {
    threadCreator.store(creator);
}

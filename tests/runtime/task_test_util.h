// Shared helpers of the task tests: a task whose body and handler are given
// by the test, a probe that sees what it did, and bounded waits for its end.
#ifndef TESTS_RUNTIME_TASK_TEST_UTIL_H
#define TESTS_RUNTIME_TASK_TEST_UTIL_H

#include "runtime/task/task.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace tasktest {

using namespace std::chrono_literals;

// What a ProbeTask did; shared between the task and the test.
struct TaskProbe {
    std::mutex m;
    std::condition_variable cv;
    bool running = false;
    bool destroyed = false;
    int tid = 0;
    std::vector<TaskMessage> handled;
    std::vector<int> results;  // values the body chose to report

    void update(const std::function<void(TaskProbe&)>& change) {
        {
            std::lock_guard<std::mutex> g(m);
            change(*this);
        }
        cv.notify_all();
    }
    void report(int value) {
        update([value](TaskProbe& p) { p.results.push_back(value); });
    }
    // Waits (at most timeout) until pred holds under the probe's lock.
    bool waitUntil(const std::function<bool(TaskProbe&)>& pred, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, timeout, [&] { return pred(*this); });
    }
    size_t handledCount() {
        std::lock_guard<std::mutex> g(m);
        return handled.size();
    }
    std::vector<int> resultsCopy() {
        std::lock_guard<std::mutex> g(m);
        return results;
    }
    std::vector<TaskMessage> handledCopy() {
        std::lock_guard<std::mutex> g(m);
        return handled;
    }
};

class ProbeTask;
using TaskBody = std::function<void(ProbeTask&)>;
using TaskHandler = std::function<int(ProbeTask&, const TaskMessage&)>;

// Body: the given function, or serve messages until MSG_QUIT.
class ProbeTask : public Task {
public:
    ProbeTask(const char* name, std::shared_ptr<TaskProbe> probe, TaskBody body = nullptr,
              TaskHandler handler = nullptr)
        : Task(name), probe_(std::move(probe)), body_(std::move(body)), handler_(std::move(handler)) {}
    ~ProbeTask() override {
        probe_->update([](TaskProbe& p) { p.destroyed = true; });
    }
    void run() override {
        int tid = pid;
        probe_->update([tid](TaskProbe& p) {
            p.running = true;
            p.tid = tid;
        });
        if (body_) {
            body_(*this);
            return;
        }
        for (;;)
            wait(-1);
    }
    int onMessage(const TaskMessage& msg) override {
        probe_->update([&msg](TaskProbe& p) { p.handled.push_back(msg); });
        return handler_ ? handler_(*this, msg) : Task::onMessage(msg);
    }
    TaskProbe& probe() { return *probe_; }

private:
    std::shared_ptr<TaskProbe> probe_;
    TaskBody body_;
    TaskHandler handler_;
};

inline TaskMessage message(int32_t flags, int32_t param = 0) {
    return TaskMessage{0, flags, param, 0};
}

// True once the kernel thread tid has left the process (bounded).
inline bool threadGone(int tid, std::chrono::milliseconds timeout = 10s) {
    if (tid <= 0)
        return true;
    std::string path = "/proc/self/task/" + std::to_string(tid);
    auto end = std::chrono::steady_clock::now() + timeout;
    while (access(path.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// True once a started task has destroyed itself and its thread is gone.
inline bool taskEnded(TaskProbe& probe, std::chrono::milliseconds timeout = 10s) {
    if (!probe.waitUntil([](TaskProbe& p) { return p.destroyed; }, timeout))
        return false;
    int tid;
    {
        std::lock_guard<std::mutex> g(probe.m);
        tid = probe.tid;
    }
    return threadGone(tid, timeout);
}

inline bool taskRunning(TaskProbe& probe, std::chrono::milliseconds timeout = 10s) {
    return probe.waitUntil([](TaskProbe& p) { return p.running; }, timeout);
}

inline int freeTableSlots() {
    int n = 0;
    if (TLOCK()) {
        for (Task* t : taskTable)
            n += t == nullptr;
        unlockTaskTable();
    }
    return n;
}

inline bool inTable(const Task* task) {
    bool found = false;
    if (TLOCK()) {
        for (Task* t : taskTable)
            found = found || t == task;
        unlockTaskTable();
    }
    return found;
}

// A started task with the given body; null when start failed.
inline ProbeTask* startTask(const char* name, const std::shared_ptr<TaskProbe>& probe, TaskBody body = nullptr,
                            TaskHandler handler = nullptr) {
    auto* task = new ProbeTask(name, probe, std::move(body), std::move(handler));
    if (task->start(20480) < 0) {
        delete task;
        return nullptr;
    }
    return task;
}

// Runs body on a fresh task and waits for that task to end.
inline bool runInTask(const TaskBody& body, const char* name = "TestTask") {
    auto probe = std::make_shared<TaskProbe>();
    if (startTask(name, probe, body) == nullptr)
        return false;
    return taskEnded(*probe);
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tasktest

#endif

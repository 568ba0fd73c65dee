// The end hook of a task: run once on the task's own thread, while the task
// is still whole and registered, for every way a task can end.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "runtime/task/task.h"

namespace {

enum class Ending { RunReturns, Exit, Quit };

struct EndRecord {
  std::mutex m;
  std::condition_variable cv;
  int runTid = 0;
  int endTid = 0;
  int endCalls = 0;
  bool currentWasTask = false;
  bool registeredAtEnd = false;
  bool destroyedBeforeEnd = false;
  bool destroyed = false;
};

class EndingTask : public Task {
 public:
  EndingTask(Ending how, std::shared_ptr<EndRecord> record) : Task("EndProbe"), how_(how), record_(std::move(record)) {}
  ~EndingTask() override {
    std::lock_guard<std::mutex> g(record_->m);
    record_->destroyed = true;
    record_->cv.notify_all();
  }
  void run() override {
    {
      std::lock_guard<std::mutex> g(record_->m);
      record_->runTid = static_cast<int>(syscall(SYS_gettid));
      record_->cv.notify_all();
    }
    if (how_ == Ending::Exit) exit();
    if (how_ == Ending::Quit)
      for (;;) receiveMessage();
  }
  void onEnd() override {
    bool registered = false;
    if (TLOCK()) {
      for (Task* t : taskTable) registered = registered || t == this;
      unlockTaskTable();
    }
    std::lock_guard<std::mutex> g(record_->m);
    record_->endCalls += 1;
    record_->endTid = static_cast<int>(syscall(SYS_gettid));
    record_->currentWasTask = currentTask() == this;
    record_->registeredAtEnd = registered;
    record_->destroyedBeforeEnd = record_->destroyed;
  }

 private:
  Ending how_;
  std::shared_ptr<EndRecord> record_;
};

TEST(TaskEnd, HookRunsOnTheTasksThreadBeforeItGoesForEveryEnding) {
  const struct {
    Ending how;
    const char* name;
  } cases[] = {{Ending::RunReturns, "run returns"}, {Ending::Exit, "exit"}, {Ending::Quit, "MSG_QUIT"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto record = std::make_shared<EndRecord>();
    auto* task = new EndingTask(k.how, record);
    const int id = task->start(65536);
    ASSERT_GT(id, 0);
    {
      std::unique_lock<std::mutex> g(record->m);
      ASSERT_TRUE(record->cv.wait_for(g, std::chrono::seconds(10), [&] { return record->runTid != 0; }));
    }
    if (k.how == Ending::Quit) {
      ASSERT_EQ(0, postToTaskId(id, TaskMessage{0, MSG_QUIT, 0, 0}));
    }
    std::unique_lock<std::mutex> g(record->m);
    ASSERT_TRUE(record->cv.wait_for(g, std::chrono::seconds(10), [&] { return record->destroyed; }));
    EXPECT_EQ(1, record->endCalls);
    EXPECT_EQ(record->runTid, record->endTid);
    EXPECT_TRUE(record->currentWasTask);
    EXPECT_TRUE(record->registeredAtEnd);
    EXPECT_FALSE(record->destroyedBeforeEnd);
  }
}

}  // namespace

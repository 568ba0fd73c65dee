// The "ShutDown" task and the daily restart of "LazyHubWatcher", in process.
#include "app/shutdowntask.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/gpiodevice.h"
#include "app/lazyhubwatcher.h"
#include "app/processstate.h"
#include "app/signals.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "platform/board/simboard.h"
#include "runtime/file/paths.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"

namespace {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& cond, int timeoutMs = 10000) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

int tasksNamed(const char* name) {
  int n = 0;
  if (!TLOCK()) return -1;
  for (Task* t : taskTable)
    if (t && t->name && std::strcmp(t->name, name) == 0) ++n;
  unlockTaskTable();
  return n;
}

int registeredTasks() {
  int n = 0;
  if (!TLOCK()) return -1;
  for (Task* t : taskTable)
    if (t) ++n;
  unlockTaskTable();
  return n;
}

// Registered but never started: it never reads its pipe and never ends.
class IdleTask : public Task {
 public:
  IdleTask() : Task("Idle") {}
  void run() override {}
  // MSG_QUIT records that reached the pipe.
  int quitMessages() {
    int fl = fcntl(pipeRead, F_GETFL);
    fcntl(pipeRead, F_SETFL, fl | O_NONBLOCK);
    int quits = 0;
    TaskMessage m;
    while (read(pipeRead, &m, sizeof m) == static_cast<ssize_t>(sizeof m))
      if (m.flags & MSG_QUIT) ++quits;
    return quits;
  }
};

// Waits for messages; ends on MSG_QUIT like every well-behaved task.
class ObedientTask : public Task {
 public:
  explicit ObedientTask(std::atomic<int64_t>* endedMs) : Task("Obedient"), endedMs_(endedMs) {}
  ~ObedientTask() override {
    endedMs_->store(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
  }
  void run() override {
    for (;;) wait(-1);
  }

 private:
  std::atomic<int64_t>* endedMs_;
};

// Never looks at its messages; only a signal reaches it.
class StubbornTask : public Task {
 public:
  explicit StubbornTask(std::atomic<bool>* stop) : Task("Stubborn"), stop_(stop) {}
  void run() override {
    while (!stop_->load()) usleep(10000);
  }

 private:
  std::atomic<bool>* stop_;
};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void sigtermEntry(int sig) { sigXXX(sig); }

class ShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(eventually([] { return registeredTasks() == 0; })) << "tasks of earlier tests still run";
    savedRoot_ = dataRoot();
    char tmpl[] = "/tmp/shutdowntestXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setDataRoot(root_.c_str());
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
    rearmShutDownForTesting();
    // The task threads that ShutDown signals run the logging handler.
    struct sigaction action {};
    action.sa_handler = sigtermEntry;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &savedTerm_);
  }

  void TearDown() override {
    EXPECT_TRUE(eventually([] { return tasksNamed("ShutDown") == 0; }));
    sigaction(SIGTERM, &savedTerm_, nullptr);
    setShutDownStarterForTesting(nullptr);
    setWallClockForTesting(nullptr);
    rearmShutDownForTesting();
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
    setDataRoot(savedRoot_.c_str());
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string savedRoot_;
  std::string root_;
  struct sigaction savedTerm_ {};
};

TEST_F(ShutdownTest, TwoRestartsInARowShutDownOnce) {
  // Board 278 has the status display that shows "RS".
  ProductParams savedProduct = productParams();
  productParams().gpio_hw_project = 278;
  std::unique_ptr<SimBoard> board(new SimBoard);
  SimBoard* sim = board.get();
  gpioDevice.useDriver(std::move(board));
  ASSERT_TRUE(gpioDevice.open());

  IdleTask probe;
  std::atomic<int64_t> obedientEnded{0};
  std::atomic<bool> stop{false};
  ObedientTask* obedient = new ObedientTask(&obedientEnded);
  ASSERT_GT(obedient->start(20480), 0);
  StubbornTask* stubborn = new StubbornTask(&stop);
  ASSERT_GT(stubborn->start(20480), 0);

  testing::internal::CaptureStderr();
  ASSERT_TRUE(startShutDown(0));
  ASSERT_TRUE(startShutDown(0));
  // Two runs count twice; the stubborn task's SIGTERM once more.
  bool counted = eventually([] { return shutdownCount.load() >= 3 && tasksNamed("ShutDown") == 0; });
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(counted);
  EXPECT_EQ(shutdownCount.load(), 3);
  EXPECT_EQ(signalShutdownRequests(), 1u);
  EXPECT_NE(err.find("sigXXX(15) <Stubborn> shutdowns:"), std::string::npos) << err;
  EXPECT_GT(obedientEnded.load(), 0);
  EXPECT_EQ(probe.quitMessages(), 1);
  EXPECT_EQ(sim->displayWrites(), 1);
  EXPECT_EQ(sim->displayText(), "RS");

  stop.store(true);
  EXPECT_TRUE(eventually([] { return tasksNamed("Stubborn") == 0; }));
  gpioDevice.close();
  gpioDevice.useDriver(nullptr);
  productParams() = savedProduct;
}

TEST_F(ShutdownTest, TasksAreToldToQuitAfterTheDelay) {
  std::atomic<int64_t> ended{0};
  ObedientTask* obedient = new ObedientTask(&ended);
  ASSERT_GT(obedient->start(20480), 0);
  int64_t started = nowMs();
  ASSERT_TRUE(startShutDown(1));
  ASSERT_TRUE(eventually([&] { return ended.load() != 0; }));
  int64_t took = ended.load() - started;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 8000);
  EXPECT_TRUE(eventually([] { return shutdownCount.load() == 1; }));
}

TEST_F(ShutdownTest, StarterSeamTakesOverEveryCreator) {
  static std::atomic<int> calls{0};
  static std::atomic<int> delay{-1};
  calls = 0;
  setShutDownStarterForTesting([](int d) {
    calls.fetch_add(1);
    delay.store(d);
    return true;
  });
  EXPECT_TRUE(startShutDown(4));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(delay.load(), 4);
  EXPECT_EQ(tasksNamed("ShutDown"), 0);
}

TEST(DailyRestartRuleTest, HourUptimeAndKnownClock) {
  const char* savedTz = getenv("TZ");
  std::string saved = savedTz ? savedTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  tm at{};
  at.tm_year = 124;  // 2024
  at.tm_mon = 4;
  at.tm_mday = 1;
  at.tm_hour = 3;
  at.tm_min = 30;
  const time_t threeThirty = timegm(&at);
  const time_t in1970 = 3 * 3600 + 1800;
  const int64_t late = DAILY_RESTART_MIN_UPTIME + 1;
  struct Case {
    const char* what;
    int hour;
    int64_t uptime;
    time_t now;
    bool due;
  } cases[] = {
      {"in the hour, an hour after start", 3, late, threeThirty, true},
      {"last minute of the hour", 3, late, threeThirty + 29 * 60 + 59, true},
      {"within the first 61 minutes", 3, DAILY_RESTART_MIN_UPTIME, threeThirty, false},
      {"another hour", 4, late, threeThirty, false},
      {"the next hour has begun", 3, late, threeThirty + 30 * 60, false},
      {"24 switches it off", 24, late, threeThirty, false},
      {"clock still at 1970", 3, late, in1970, false},
      {"midnight", 0, late, threeThirty - 3 * 3600, true},
  };
  for (const Case& c : cases) EXPECT_EQ(dailyRestartDue(c.hour, c.uptime, c.now), c.due) << c.what;
  if (savedTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

class DailyRestartTest : public ShutdownTest {
 protected:
  void SetUp() override {
    ShutdownTest::SetUp();
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) savedTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    daily_ = paramStore.findInt("dailyrestart");
    ASSERT_NE(daily_, nullptr);
    savedHour_ = daily_->value();
    calls = 0;
    delay = -1;
    setShutDownStarterForTesting([](int d) {
      calls.fetch_add(1);
      delay.store(d);
      return true;
    });
    setWallClockForTesting([] {
      tm at{};
      at.tm_year = 124;
      at.tm_mon = 4;
      at.tm_mday = 1;
      at.tm_hour = 3;
      at.tm_min = 30;
      return timegm(&at);
    });
  }

  void TearDown() override {
    shiftUptimeForTesting(-shifted_);
    daily_->removeFlags(PF_HIDDEN);
    daily_->setChecked(savedHour_);
    daily_->clearModified();
    if (tasksNamed("LazyHubWatcher") > 0) postToTasksNamed("LazyHubWatcher", TaskMessage{0, MSG_QUIT, 0, 0});
    EXPECT_TRUE(eventually([] { return tasksNamed("LazyHubWatcher") == 0; }));
    if (hadTz_)
      setenv("TZ", savedTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
    ShutdownTest::TearDown();
  }

  // Moves the program clock past the first 61 minutes of the run.
  void passFirstHour() {
    int64_t step = DAILY_RESTART_MIN_UPTIME + 100 - uptimeCs();
    if (step > 0) {
      shiftUptimeForTesting(step);
      shifted_ += step;
    }
  }

  static void wake() { postToTasksNamed("LazyHubWatcher", TaskMessage{0, MSG_PARAMS_CHANGED, 0, 0}); }

  static std::atomic<int> calls;
  static std::atomic<int> delay;
  IntParam* daily_ = nullptr;
  int savedHour_ = 24;
  int64_t shifted_ = 0;
  bool hadTz_ = false;
  std::string savedTz_;
};

std::atomic<int> DailyRestartTest::calls{0};
std::atomic<int> DailyRestartTest::delay{-1};

TEST_F(DailyRestartTest, RestartsInTheHourOnlyAfterTheFirstHour) {
  daily_->setChecked(3);
  ASSERT_TRUE(startLazyHubWatcher());
  if (uptimeCs() <= DAILY_RESTART_MIN_UPTIME) {
    wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(exitCode.load(), EXIT_NORMAL);
  }
  passFirstHour();
  wake();
  ASSERT_TRUE(eventually([] { return calls.load() > 0; }));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(delay.load(), 1);
  EXPECT_EQ(exitCode.load(), EXIT_REBOOT);
  // The watcher ends once it has asked for the restart.
  EXPECT_TRUE(eventually([] { return tasksNamed("LazyHubWatcher") == 0; }));
}

TEST_F(DailyRestartTest, NeverWhenSwitchedOffOrHidden) {
  struct Case {
    const char* what;
    int hour;
    bool hidden;
  } cases[] = {{"hour 24", 24, false}, {"parameter hidden on this model", 3, true}};
  passFirstHour();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daily_->setChecked(c.hour);
    if (c.hidden) daily_->addFlags(PF_HIDDEN);
    ASSERT_TRUE(startLazyHubWatcher());
    wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(tasksNamed("LazyHubWatcher"), 1);
    postToTasksNamed("LazyHubWatcher", TaskMessage{0, MSG_QUIT, 0, 0});
    ASSERT_TRUE(eventually([] { return tasksNamed("LazyHubWatcher") == 0; }));
    daily_->removeFlags(PF_HIDDEN);
  }
}

}  // namespace

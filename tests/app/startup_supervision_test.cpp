// The supervision loop, in process: its two ways out, the single "ShutDown"
// start and the card reader of product 337.
#include "app/supervision.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/gpiodevice.h"
#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "app/signals.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/stringparam.h"
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

// Registered in the task table, never started: it never ends by itself.
class IdleTask : public Task {
 public:
  IdleTask() : Task("Idle") {}
  void run() override {}
};

// A program clock that moves only when the test moves it.
std::atomic<int64_t> heldTicks{0};
bool readHeldTicks(int64_t* cs) {
  *cs = heldTicks.load();
  return true;
}

std::atomic<int> starts{0};
std::atomic<int> startDelay{-1};
bool countStart(int delay) {
  starts.fetch_add(1);
  startDelay.store(delay);
  return true;
}

const SupervisionSetup kLanModel{326, false, true, true};

class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(eventually([] { return countRegisteredTasks() == 0; })) << "tasks of earlier tests still run";
    savedRoot_ = dataRoot();
    char tmpl[] = "/tmp/supervisiontestXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setDataRoot(root_.c_str());
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
    rearmShutDownForTesting();
    starts = 0;
    startDelay = -1;
    setShutDownStarterForTesting(countStart);
  }

  void TearDown() override {
    setBoardTickSource(nullptr);
    setShutDownStarterForTesting(nullptr);
    rearmShutDownForTesting();
    resetProcessStateForTesting();
    resetSignalRequestsForTesting();
    setDataRoot(savedRoot_.c_str());
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  // From here on the clock reads heldTicks; returns its reading, which is
  // never 0 (0 would mean "no request" as a request time).
  int64_t holdClock() {
    heldTicks = 1000000;
    setBoardTickSource(readHeldTicks);
    uptimeCs();  // take the held source from here on
    heldTicks += 1000;
    return uptimeCs();
  }

  std::string savedRoot_;
  std::string root_;
};

TEST_F(SupervisionTest, EndsAtOnceWhenNoTaskIsLeft) {
  Supervisor supervisor(kLanModel);
  auto started = Clock::now();
  supervisor.run();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_FALSE(supervisor.shutDownStarted());
}

TEST_F(SupervisionTest, StartsOneShutDownHoweverOftenTheCountRises) {
  IdleTask idle;
  Supervisor supervisor(kLanModel);
  EXPECT_TRUE(supervisor.pass());
  EXPECT_EQ(starts.load(), 0);
  for (int i = 0; i < 5; ++i) {
    shutdownCount.fetch_add(1);
    EXPECT_TRUE(supervisor.pass());
  }
  EXPECT_EQ(starts.load(), 1);
  EXPECT_EQ(startDelay.load(), 1);
  EXPECT_TRUE(supervisor.shutDownStarted());
}

TEST_F(SupervisionTest, GraceEndsTheLoopFiveSecondsAfterTheLastRequest) {
  IdleTask idle;
  const int64_t requested = holdClock();
  const int64_t heldAtRequest = heldTicks.load();
  Supervisor supervisor(kLanModel);
  shutdownRequestTime.store(requested);
  struct Step {
    int64_t sinceRequest;
    bool goesOn;
  } steps[] = {{0, true}, {250, true}, {SHUTDOWN_GRACE_TICKS, true}, {SHUTDOWN_GRACE_TICKS + 1, false}};
  for (const Step& s : steps) {
    heldTicks = heldAtRequest + s.sinceRequest;
    EXPECT_EQ(supervisor.pass(), s.goesOn) << s.sinceRequest << " ticks after the request";
  }
}

TEST_F(SupervisionTest, SignalledShutdownEndsWithinTheGraceWhenATaskNeverEnds) {
  IdleTask neverEnds;
  setShutDownStarterForTesting(nullptr);  // the real "ShutDown" task
  testing::internal::CaptureStderr();
  sigXXX(SIGTERM);
  testing::internal::GetCapturedStderr();
  Supervisor supervisor(kLanModel);
  auto started = Clock::now();
  supervisor.run();
  auto took = Clock::now() - started;
  EXPECT_TRUE(supervisor.shutDownStarted());
  EXPECT_GE(took, std::chrono::milliseconds(4500));
  EXPECT_LT(took, std::chrono::seconds(15));
  EXPECT_NE(shutdownRequestTime.load(), 0);
  // The ShutDown run counted too.
  EXPECT_TRUE(eventually([] { return shutdownCount.load() >= 2; }));
  EXPECT_TRUE(eventually([] {
    return countRegisteredTasks() == 1;  // only the task that never ends
  }));
}

class CardReaderTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    savedProduct_ = productParams();
    productParams().gpio_hw_project = 248;  // port 1 LED: colour 1 = bit 0
    productParams().product_id = 337;
    productParams().usb_ports_phy = 1;
    std::unique_ptr<SimBoard> board(new SimBoard);
    sim_ = board.get();
    gpioDevice.useDriver(std::move(board));
    ASSERT_TRUE(gpioDevice.open());
    ASSERT_TRUE(gpioDevice.startUp(nullptr));
    sim_->holdTicks(true);
  }

  void TearDown() override {
    gpioDevice.close();
    gpioDevice.useDriver(nullptr);
    productParams() = savedProduct_;
    for (const char* key : kKeys)
      if (StringParam* p = paramStore.findString(key)) p->setStatusValue("-");
    SupervisionTest::TearDown();
  }

  // The next once-per-second pass.
  void nextSecond(Supervisor& supervisor) {
    sim_->advanceTicks(101);
    ASSERT_TRUE(supervisor.pass());
  }

  static std::string text(const char* key) {
    StringParam* p = paramStore.findString(key);
    return p ? p->getText() : "<none>";
  }

  static constexpr const char* kKeys[4] = {"usb_manu_1", "usb_prod_1", "usb_sern_1", "usb_owner_1"};
  ProductParams savedProduct_{};
  SimBoard* sim_ = nullptr;
};

TEST_F(CardReaderTest, AppearanceAndRemovalSetTheRowOnceAndThePortLed) {
  IdleTask idle;
  Supervisor supervisor(SupervisionSetup{337, false, true, true});
  sim_->setCardReader(1);
  nextSecond(supervisor);
  EXPECT_EQ(text("usb_manu_1"), "CardReader");
  EXPECT_EQ(text("usb_prod_1"), "MemoryCard");
  EXPECT_EQ(text("usb_sern_1"), "?");
  EXPECT_EQ(text("usb_owner_1"), "Available");
  EXPECT_EQ(sim_->litLeds() & 0x3u, 0x1u);

  // Set once, on the change: a present reader leaves the row alone.
  paramStore.findString("usb_owner_1")->setStatusValue("client");
  nextSecond(supervisor);
  EXPECT_EQ(text("usb_owner_1"), "client");

  // A colour the USB service chose is kept while the reader stays.
  gpioDevice.setPortLed(0, 2, 0);
  nextSecond(supervisor);
  EXPECT_EQ(sim_->litLeds() & 0x3u, 0x2u);

  sim_->setCardReader(0);
  nextSecond(supervisor);
  for (const char* key : kKeys) EXPECT_EQ(text(key), "-") << key;
  EXPECT_EQ(sim_->litLeds() & 0x3u, 0x0u);

  // A failing read changes nothing.
  sim_->setCardReader(-1);
  nextSecond(supervisor);
  EXPECT_EQ(text("usb_manu_1"), "-");
}

TEST_F(CardReaderTest, OnlyOnProduct337) {
  IdleTask idle;
  Supervisor supervisor(SupervisionSetup{336, false, true, true});
  sim_->setCardReader(1);
  nextSecond(supervisor);
  EXPECT_EQ(text("usb_manu_1"), "-");
}

}  // namespace

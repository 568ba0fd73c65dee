#include "app/buttontask.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string>

#include "app/gpiodevice.h"
#include "app/statusdisplay.h"
#include "app/support/boardtestenv.h"
#include "params/types/intparam.h"
#include "runtime/task/task.h"

namespace {

std::atomic<int> exitCodeSet{-1};
std::atomic<int> shutDownDelay{-1};
void recordExitCode(int code) { exitCodeSet.store(code); }
bool recordShutDown(int delaySeconds) {
  shutDownDelay.store(delaySeconds);
  return true;
}

// One command to the simulated board's control socket, as a test program
// outside the process sends it; the answer's lines.
std::string askBoard(const std::string& path, const std::string& command) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string line = command + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      ::shutdown(fd, SHUT_WR);
      char buf[256];
      ssize_t n;
      while ((n = ::read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

bool taskRegistered(const Task* task) {
  bool found = false;
  if (!TLOCK()) return false;
  for (Task* t : taskTable) found = found || t == task;
  unlockTaskTable();
  return found;
}

class ButtonTaskTest : public BoardTestEnv {
 protected:
  void SetUp() override {
    BoardTestEnv::SetUp();
    exitCodeSet.store(-1);
    shutDownDelay.store(-1);
    setRestartHooks({recordExitCode, recordShutDown});
    remember(param("button_cnt"));
    setParam("autoSync", "off");
    writeFile("/etc/params.dat", " life = 3\n");
  }
  void TearDown() override {
    setRestartHooks({nullptr, nullptr});
    BoardTestEnv::TearDown();
  }
  int buttonCount() {
    IntParam* p = paramStore.findInt("button_cnt");
    return p ? p->value() : -1;
  }
  // Starts a task over the device and waits until it listens to button 0.
  ButtonTask* startListening() {
    if (!device_->open()) return nullptr;
    ButtonTask* task = new ButtonTask(device_.get());
    if (task->start(BUTTON_TASK_STACK) < 0) {
      delete task;
      return nullptr;
    }
    if (!eventually([&] { return sim_->openButtonDevices(0) == 1; })) return nullptr;
    return task;
  }
  void quit(ButtonTask* task) {
    TaskMessage quitMsg{0, MSG_QUIT, 0, 0};
    ASSERT_EQ(task->post(quitMsg), 0);
    ASSERT_TRUE(eventually([&] { return !taskRegistered(task); }));
  }
};

TEST_F(ButtonTaskTest, PressReportsCountAndALongPressResetsTheDevice) {
  struct Case {
    const char* what;
    uint32_t board;
    std::string bytes;
    int counted;
    bool reset;
    int exitCode;  // -1: left as it was
  };
  const Case cases[] = {
      {"long press", 100, "1", 1, true, 2},
      {"long press on board 278 keeps the exit code", 278, "1", 1, true, -1},
      {"short press only counts", 100, "0", 1, false, -1},
      {"other characters count but do nothing", 100, "x0y", 3, false, -1},
      {"the scan ends at a NUL", 100, std::string("0\0" "1", 3), 1, false, -1},
      {"a long press among short ones", 100, "001", 3, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    freshBoard();
    remember(param("button_cnt"));
    setProduct(c.board, 0, 2);
    writeFile("/etc/params.dat", " life = 3\n");
    exitCodeSet.store(-1);
    shutDownDelay.store(-1);
    ASSERT_TRUE(device_->open());
    ASSERT_TRUE(device_->startUp(nullptr));
    sim_->clearLog();

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(::write(fds[1], c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
    int before = buttonCount();
    {
      ButtonTask task(device_.get());
      EXPECT_EQ(task.onButtonEvent(fds[0]), 0);
    }
    ::close(fds[0]);
    ::close(fds[1]);

    EXPECT_EQ(buttonCount(), before + c.counted);
    EXPECT_EQ(exitCodeSet.load(), c.exitCode);
    EXPECT_EQ(shutDownDelay.load(), c.reset ? 1 : -1);
    EXPECT_EQ(exists("/etc/params.dat"), !c.reset);
    if (c.reset && c.board == 100) {
      auto patterns = logWith("pattern ");
      ASSERT_FALSE(patterns.empty());
      EXPECT_EQ(patterns[0].text, "pattern mask=0x10000 bits=0x1 length=0x3 repeat=1 period=166")
          << "port LEDs blink colour 2 at 6 Hz";
      EXPECT_TRUE(eventually([&] { return logWith("outputs off 0x00000001").size() == 1; })) << "a short beep";
    }
    if (!c.reset) {
      EXPECT_TRUE(logTexts().empty());
    }
  }
}

TEST_F(ButtonTaskTest, TaskStartsTheBoardAndServesPressesFromTheSimulatedBoard) {
  setProduct(209, 0, 1);  // one-LED board: no LED walk
  ButtonTask* task = startListening();
  ASSERT_NE(task, nullptr);
  EXPECT_TRUE(device_->startUpDone());
  EXPECT_EQ(logWith("pattern mask=0x2 bits=0x15").size(), 1u) << "no address yet";

  int before = buttonCount();
  ASSERT_TRUE(sim_->pressButton(0, 200));
  EXPECT_TRUE(eventually([&] { return buttonCount() == before + 1; }));
  EXPECT_EQ(shutDownDelay.load(), -1);

  ASSERT_TRUE(sim_->pressButton(0, 4000));
  EXPECT_TRUE(eventually([&] { return shutDownDelay.load() == 1; }));
  EXPECT_EQ(exitCodeSet.load(), 2);
  EXPECT_FALSE(exists("/etc/params.dat"));
  quit(task);
  EXPECT_EQ(sim_->openButtonDevices(0), 0) << "the task closes its button devices";
}

TEST_F(ButtonTaskTest, ALongPressFromOutsideTheProcessResetsTheDevice) {
  setProduct(209, 0, 1);
  writeFile("/dev/gpio.sim", "buttons 1\n");
  device_.reset(new GpioDevice);  // the board the data root asks for
  ASSERT_TRUE(device_->open());
  ButtonTask* task = new ButtonTask(device_.get());
  ASSERT_GT(task->start(BUTTON_TASK_STACK), 0);
  std::string ctl = mapPath("/var/simboard.ctl");
  ASSERT_TRUE(eventually([&] { return device_->startUpDone(); }));

  auto outside = std::async(std::launch::async, [ctl] {
    // Until the task listens, the board answers that nobody has the button open.
    std::string answer;
    for (int i = 0; i < 200 && answer != "ok\n"; ++i) {
      answer = askBoard(ctl, "button 0 press 4000");
      if (answer != "ok\n") std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return answer + askBoard(ctl, "dump");
  });
  ASSERT_EQ(outside.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  std::string answers = outside.get();
  EXPECT_EQ(answers.compare(0, 3, "ok\n"), 0) << answers;
  EXPECT_NE(answers.find(" button-times mask=0x1 0,3500,3550,0\n"), std::string::npos) << answers;

  EXPECT_TRUE(eventually([&] { return shutDownDelay.load() == 1; }));
  EXPECT_EQ(exitCodeSet.load(), 2);
  EXPECT_FALSE(exists("/etc/params.dat"));
  quit(task);
}

TEST_F(ButtonTaskTest, AVanishedButtonDeviceIsDropped) {
  setProduct(209, 0, 1);
  ButtonTask* task = startListening();
  ASSERT_NE(task, nullptr);
  sim_->unplugButton(0);
  EXPECT_TRUE(eventually([&] { return sim_->openButtonDevices(0) == 0; }));
  quit(task);
}

TEST_F(ButtonTaskTest, WithoutButtonsTheTaskEndsAfterTheStartUp) {
  setProduct(209, 0, 1);
  sim_->setButtonMask(0);
  ASSERT_TRUE(device_->open());
  ButtonTask* task = new ButtonTask(device_.get());
  ASSERT_GT(task->start(BUTTON_TASK_STACK), 0);
  EXPECT_TRUE(eventually([&] { return !taskRegistered(task); }));
  EXPECT_TRUE(device_->startUpDone());
  EXPECT_EQ(device_->buttonMask(), 0u);
}

TEST_F(ButtonTaskTest, StartUpWalksTheLedsAndShowsTheDefaultText) {
  setProduct(278, 353, 2);
  setParam("disp_def", "HI");
  ButtonTask* task = startListening();
  ASSERT_NE(task, nullptr);
  auto frames = logWith("board-leds ");
  // Ports 0 and 1 colour 2, ten board steps, colour 1, all board LEDs,
  // then both ports off: a walk of 1 + 10 + 1 board steps.
  ASSERT_GE(frames.size(), 16u);
  EXPECT_EQ(frames[0].text, "board-leds select=00010100,00000000,00000000 on=00000000,00000000,00000000");
  EXPECT_NE(std::find_if(frames.begin(), frames.end(),
                         [](const SimBoard::LogEntry& e) {
                           return e.text == "board-leds select=00000000,00000000,7fff7fff on=00000000,00000000,7fff7fff";
                         }),
            frames.end());
  EXPECT_GE(frames.back().ms - frames.front().ms, 1500) << "the walk pauses between its steps";
  EXPECT_EQ(sim_->displayText(), "HI");
  EXPECT_EQ(sim_->boardLeds(0), 0u);
  quit(task);
}

}  // namespace

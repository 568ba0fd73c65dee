// The alarm relay of the built program (model 365) seen on the simulated
// board's outputs while the link, the event inputs and USB devices change.
// Needs root for the namespaces; skipped otherwise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/support/program_runner.h"

namespace {

class ProgramRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (access(TEST_BINARY_DIR "/usbdevsrv", X_OK) != 0) GTEST_SKIP() << "the program is not built";
  }
  static constexpr int kWait = 10000;
};

TEST_F(ProgramRelayTest, StateModeFollowsTheLinkAndTheDeviceOnPortOne) {
  ProgramRunner run;
  ProgramSetup setup;
  setup.fixture = "p365";
  setup.params = "relay_ctrl = stat\nrelay_stat_net = netoff\nrelay_stat_ucon = 1\n";
  ASSERT_TRUE(run.start(setup)) << run.err();
  // The link at start-up released it once the board could switch.
  ASSERT_TRUE(eventuallyTrue([&] { return !run.relayEnergised(); }, kWait)) << run.board("dump");

  ASSERT_TRUE(run.setPeerLink(false));
  EXPECT_TRUE(eventuallyTrue([&] { return run.relayEnergised(); }, kWait)) << "link lost";
  ASSERT_TRUE(run.setPeerLink(true));
  EXPECT_TRUE(eventuallyTrue([&] { return !run.relayEnergised(); }, kWait)) << "link back";

  ASSERT_EQ(run.usb("plug 1-1.2 hid"), "ok\n");  // port 2: not named
  ASSERT_EQ(run.usb("plug 1-1.1 hid"), "ok\n");
  EXPECT_TRUE(eventuallyTrue([&] { return run.relayEnergised(); }, kWait)) << "device on port 1";
  ASSERT_EQ(run.usb("unplug 1-1.1"), "ok\n");
  EXPECT_TRUE(eventuallyTrue([&] { return !run.relayEnergised(); }, kWait)) << "device gone";
  EXPECT_TRUE(run.stop()) << run.err();
}

TEST_F(ProgramRelayTest, EventModeLatchesOnTheNamedEvent) {
  struct Case {
    const char* name;
    const char* params;
    const char* board;
    std::vector<std::string> quiet;  // USB or board commands that leave the relay
    std::string trigger;
  } cases[] = {
      {"device on port 1", "relay_ctrl = eve\nrelay_eve_ucon = 1\n", "", {"usb plug 1-1.2 hid"},
       "usb plug 1-1.1 hid"},
      {"supply 1 interrupted", "relay_ctrl = eve\nrelay_eve_1pwr = pwroff\n", "psu 0 0\n", {"board psu 0 1"},
       "board psu 1 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRunner run;
    ProgramSetup setup;
    setup.fixture = "p365";
    setup.params = c.params;
    setup.board = c.board;
    ASSERT_TRUE(run.start(setup)) << run.err();
    auto send = [&](const std::string& command) {
      if (command.compare(0, 4, "usb ") == 0) return run.usb(command.substr(4));
      return run.board(command.substr(6));
    };
    // Released once the board has started, with nothing latched.
    ASSERT_TRUE(eventuallyTrue([&] { return !run.relayEnergised(); }, kWait)) << run.board("dump");
    for (const std::string& q : c.quiet) ASSERT_EQ(send(q), "ok\n") << q;
    EXPECT_FALSE(eventuallyTrue([&] { return run.relayEnergised(); }, 2500));
    ASSERT_EQ(send(c.trigger), "ok\n");
    EXPECT_TRUE(eventuallyTrue([&] { return run.relayEnergised(); }, kWait));
    // Latched: the opposite event does not release it.
    ASSERT_EQ(send(c.trigger.compare(0, 4, "usb ") == 0 ? "usb unplug 1-1.1" : "board psu 0 1"), "ok\n");
    EXPECT_FALSE(eventuallyTrue([&] { return !run.relayEnergised(); }, 2500));
    EXPECT_TRUE(run.stop()) << run.err();
  }
}

}  // namespace

// Traps of the built program as a manager receives them: the program in a
// namespace of its own (model 353), a trap sink on the veth peer
// (169.254.1.2, port 162, community "public"), events driven through the
// simulated board, the simulated USB host, the USB client and the link.
// The traps leave through the SNMP agent ("NET-SNMPD"): without it in the
// program the tests are skipped. Needs root for the namespaces.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/support/program_runner.h"
#include "notify/support/trapsink.h"

namespace {

const char kClient[] = TEST_BINARY_DIR "/tools/usbclient";
constexpr int kTrapPort = 162;

// A sink on the peer; the start trap tells the test that the notification
// task has passed its start wait.
std::string sinkParams(const std::string& more) {
  return "snmpv1 = on\ntrapto_1 = " + std::string(kPeerAddress) + "\ntrapcommu_1 = public\ntrappup = on\n" + more;
}

class ProgramTrapsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (access(TEST_BINARY_DIR "/usbdevsrv", X_OK) != 0) GTEST_SKIP() << "the program is not built";
  }

  // Starts the program with the sink listening; skips when the program has
  // no SNMP agent to send traps.
  void startWithSink(const std::string& params, const char* kickOff = "1", const std::string& board = "") {
    if (agentMissing) GTEST_SKIP() << "the program has no SNMP agent (no NET-SNMPD thread): traps cannot leave it";
    run_.reset(new ProgramRunner);
    ProgramSetup setup;
    setup.params = params;
    setup.kickOff = kickOff;
    setup.board = board;
    ASSERT_TRUE(run_->start(setup)) << run_->err();
    if (!eventuallyTrue([&] { return run_->hasThread("NET-SNMPD"); }, 3000)) {
      agentMissing = true;
      GTEST_SKIP() << "the program has no SNMP agent (no NET-SNMPD thread): traps cannot leave it";
    }
    sink_.reset(new TrapSink(run_->peerNamespace(), kPeerAddress, kTrapPort));
    ASSERT_TRUE(sink_->ok());
    ASSERT_TRUE(eventuallyTrue([&] { return run_->hasThread("Notify"); }, 5000)) << run_->err();
    if (params.find("trapto_1 = ") == std::string::npos) {
      ASSERT_EQ(run_->board("ticks +1600"), "ok\n");
      return;
    }
    ASSERT_TRUE(passStartWait()) << "no start trap\n" << run_->err();
  }

  // Moves the board clock past the notification task's start wait of 15 s
  // until the start trap arrives: a move made before the task has taken its
  // deadline would leave it waiting 15 s of real time, dropping the events
  // meanwhile.
  bool passStartWait() {
    for (int i = 0; i < 10; ++i) {
      if (run_->board("ticks +1600") != "ok\n") return false;
      std::vector<DecodedTrap> traps = sink_->receive(1, 2000);
      if (!traps.empty()) {
        startTrap_ = traps[0];
        return true;
      }
    }
    return false;
  }

  // The next trap; fails the test when none comes.
  DecodedTrap nextTrap(int timeoutMs = 10000) {
    std::vector<DecodedTrap> traps = sink_->receive(1, timeoutMs);
    if (traps.empty()) {
      ADD_FAILURE() << "no trap\n" << run_->err();
      return DecodedTrap();
    }
    return traps[0];
  }

  static void expectEventTrap(const DecodedTrap& t, long number, long value, const std::string& text) {
    EXPECT_EQ(t.community, "public");
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 51);
    ASSERT_NE(t.leaf(1), nullptr);
    EXPECT_EQ(t.leaf(1)->integer, number);
    ASSERT_NE(t.leaf(2), nullptr);
    EXPECT_EQ(t.leaf(2)->integer, value);
    ASSERT_NE(t.leaf(3), nullptr);
    EXPECT_EQ(t.leaf(3)->text, text);
  }

  // The USB server answers a device list. It opens once the board start-up
  // (LED walk and port power-up, in real time) is done, and finds devices
  // only in its rescans: a device plugged earlier shows up seconds later.
  bool waitForUsbServer() {
    return eventuallyTrue([&] { return runClient("list").find(" device(s)") != std::string::npos; }, 30000);
  }

  // The program has seen the link go down: the display shows "E5" (its
  // points mark further errors shown in turn).
  bool displaysLinkLoss() {
    const std::string state = run_->board("state");
    const size_t at = state.find("\ndisplay ");
    if (at == std::string::npos) return false;
    std::string shown = state.substr(at + 9, state.find('\n', at + 1) - at - 9);
    shown.erase(std::remove(shown.begin(), shown.end(), '.'), shown.end());
    return shown == "E5";
  }

  // Row of the device on port (from the client's list), -1 when absent.
  int rowOnPort(int port) {
    std::string out = runClient("list");
    const std::string mark = " port " + std::to_string(port) + " ";
    size_t at = out.find(mark);
    if (at == std::string::npos) return -1;
    size_t row = out.rfind("row ", at);
    return std::stoi(out.substr(row + 4));
  }

  std::string runClient(const std::string& args) {
    const std::string file = run_->root() + "/client.txt";
    run_->inPeer(std::string(kClient) + " --host " + run_->programAddress() + " " + args + " > " + file + " 2>&1");
    FILE* f = std::fopen(file.c_str(), "r");
    std::string text;
    if (f) {
      char buffer[512];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
      std::fclose(f);
    }
    return text;
  }

  std::unique_ptr<ProgramRunner> run_;
  std::unique_ptr<TrapSink> sink_;
  DecodedTrap startTrap_;
  // Seen once per test program: the same program has no agent next time.
  static bool agentMissing;
};

bool ProgramTrapsTest::agentMissing = false;

TEST_F(ProgramTrapsTest, StartTrapIsColdAfterAColdStartAndWarmOtherwise) {
  struct Case {
    const char* kickOff;
    long generic;
  } cases[] = {{"0", 0}, {"1", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kickOff);
    startWithSink(sinkParams("life = 16\n"), c.kickOff);
    if (IsSkipped() || HasFatalFailure()) return;
    const DecodedTrap& t = startTrap_;
    EXPECT_EQ(t.generic, c.generic);
    EXPECT_EQ(t.specific, 17) << "life counts this start";
    EXPECT_TRUE(t.varbinds.empty() || t.leaf(1) == nullptr);
    EXPECT_TRUE(run_->stop()) << run_->err();
  }
}

TEST_F(ProgramTrapsTest, PlugAndUnplugGiveDeviceTrapsWithThePortAndTexts) {
  startWithSink(sinkParams("trapdev = on\n"));
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_TRUE(waitForUsbServer()) << run_->err();
  ASSERT_EQ(run_->usb("plug 1-1.2 loopback manufacturer=Sim product=Loop serial=L7"), "ok\n");
  DecodedTrap attached = nextTrap();
  expectEventTrap(attached, 3, 2, "device attached");
  ASSERT_NE(attached.leaf(4), nullptr);
  EXPECT_EQ(attached.leaf(4)->text, "Sim");
  ASSERT_NE(attached.leaf(6), nullptr);
  EXPECT_EQ(attached.leaf(6)->text, "Loop");
  ASSERT_NE(attached.leaf(8), nullptr);
  EXPECT_EQ(attached.leaf(8)->text, "L7");
  ASSERT_EQ(run_->usb("unplug 1-1.2"), "ok\n");
  expectEventTrap(nextTrap(), 4, 2, "device detached");
  EXPECT_TRUE(run_->stop()) << run_->err();
}

TEST_F(ProgramTrapsTest, AnAttachWithoutItsClassSendsNothingAndTheConnectIsTrapped) {
  startWithSink(sinkParams("trapact = on\n"));
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_TRUE(waitForUsbServer()) << run_->err();
  ASSERT_EQ(run_->usb("plug 1-1.3 loopback manufacturer=Sim product=Loop serial=L3"), "ok\n");
  int row = -1;
  ASSERT_TRUE(eventuallyTrue([&] { return (row = rowOnPort(3)) >= 0; }, 10000));
  EXPECT_TRUE(sink_->receive(1, 2000).empty()) << "attach trapped with trapdev off";
  runClient("connect " + std::to_string(row) + " 3 1");
  expectEventTrap(nextTrap(), 5, 3, "device connected: 169.254.001.002");
  expectEventTrap(nextTrap(), 6, 3, "device disconnected");
  EXPECT_TRUE(run_->stop()) << run_->err();
}

// A trap cannot leave through a link that is down: the link-down trap
// follows when the link is back, before the trap of its return.
TEST_F(ProgramTrapsTest, PowerSupplyAndLinkTraps) {
  startWithSink(sinkParams("trap_pwr = on\ntrap_lnk = on\ndisp_lnk = on\n"));
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(run_->board("psu 1 0"), "ok\n");
  DecodedTrap power = nextTrap();
  expectEventTrap(power, 11, 1, "power supply event");
  EXPECT_EQ(power.varbinds.size(), 3u);

  ASSERT_TRUE(run_->setPeerLink(false));
  ASSERT_TRUE(eventuallyTrue([&] { return displaysLinkLoss(); }, 10000)) << run_->board("state");
  // Down long enough for a trap sent at once to be lost: past the few
  // seconds the kernel keeps a packet while it tries to resolve the sink.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(run_->setPeerLink(true));
  DecodedTrap down = nextTrap();
  expectEventTrap(down, 17, 0, "network link event");
  EXPECT_EQ(down.varbinds.size(), 3u);
  DecodedTrap up = nextTrap();
  ASSERT_NE(up.leaf(1), nullptr);
  EXPECT_EQ(up.leaf(1)->integer, 17);
  ASSERT_NE(up.leaf(2), nullptr);
  EXPECT_NE(up.leaf(2)->integer, 0) << "the link mask";
  EXPECT_TRUE(run_->stop()) << run_->err();
}

TEST_F(ProgramTrapsTest, WithoutASinkNoTrapLeaves) {
  startWithSink("snmpv1 = on\ntrapdev = on\ntrappup = on\n");
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(run_->usb("plug 1-1.2 hid"), "ok\n");
  EXPECT_TRUE(sink_->receive(1, 3000).empty());
  EXPECT_TRUE(run_->stop()) << run_->err();
}

}  // namespace

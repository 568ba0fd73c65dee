// Storms of device events in the built program (model 353): plug/unplug
// cycles through the simulated USB host and connect/release cycles of a
// client on the veth peer, with every event class switched on. The program
// stays up, clients keep being served, and with an SNMP agent in the
// program every trap is well-formed and none repeats. Run under the
// sanitizer builds too. Needs root for the namespaces.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/support/program_runner.h"
#include "notify/support/trapsink.h"
#include "support/control_client.h"
#include "tools/usbclientlib.h"

namespace {

const std::string kParams =
    "snmpv1 = on\ntrapto_1 = " + std::string(kPeerAddress) +
    "\ntrapcommu_1 = public\n"
    "trapdev = on\ntrapact = on\ntrap_lnk = on\n"
    "mailto_1 = ops@example.org\nnoti_dev_1 = on\nnoti_act_1 = on\n";

class ProgramStormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (access(TEST_BINARY_DIR "/usbdevsrv", X_OK) != 0) GTEST_SKIP() << "the program is not built";
    ProgramSetup setup;
    setup.environment = environment();
    setup.params = kParams;
    setup.usb = "1-1 hub 4\n1-1.3 loopback manufacturer=Sim product=Loop serial=L3\n";
    ASSERT_TRUE(run_.start(setup)) << run_.err();
    agent_ = eventuallyTrue([&] { return run_.hasThread("NET-SNMPD"); }, 2000);
    if (agent_) sink_.reset(new TrapSink(run_.peerNamespace(), kPeerAddress, 162));
    // Past the notification task's start wait on the board clock, once the
    // task runs (a move before it takes its deadline would not end the wait).
    ASSERT_TRUE(eventuallyTrue([&] { return run_.hasThread("Notify"); }, 5000));
    ASSERT_EQ(run_.board("ticks +1600"), "ok\n");
    // The USB server listens once the board has started.
    std::atomic<bool> listening{false};
    const std::string host = run_.programAddress();
    threadInNamespace(run_.peerNamespace(), [&] {
      listening.store(eventuallyTrue(
          [&] {
            usbclient::Client probe;
            return probe.open(host, 9200, false, 1000);
          },
          30000));
    }).join();
    ASSERT_TRUE(listening.load()) << run_.err();
  }

  virtual std::vector<std::string> environment() { return {}; }

  // cycles plug/unplug of a device on port 2, each with its own serial.
  std::thread plugStorm(int cycles, std::atomic<int>* failures, std::atomic<bool>* stop) {
    const std::string socketPath = run_.root() + "/var/simusb.ctl";
    return std::thread([socketPath, cycles, failures, stop] {
      ControlClient usb(socketPath);
      for (int i = 0; i < cycles && !stop->load(); ++i) {
        if (usb.ask("plug 1-1.2 hid manufacturer=Sim product=Key serial=S" + std::to_string(i)) != "ok\n")
          failures->fetch_add(1);
        if (usb.ask("unplug 1-1.2") != "ok\n") failures->fetch_add(1);
      }
    });
  }

  // cycles connect/release of the loopback device on port 3 from the peer.
  std::thread connectStorm(int cycles, std::atomic<int>* failures, std::atomic<int>* served,
                           std::atomic<bool>* stop) {
    const std::string host = run_.programAddress();
    return threadInNamespace(run_.peerNamespace(), [host, cycles, failures, served, stop] {
      usbclient::Client client;
      std::vector<usbclient::Device> devices;
      if (!client.open(host, 9200, false) || !client.hello(1) || !client.listDevices(devices)) {
        std::fprintf(stderr, "client at %s: %s\n", host.c_str(), client.lastError().c_str());
        failures->fetch_add(1);
        return;
      }
      int row = -1;
      for (const usbclient::Device& d : devices)
        if (d.port == 3) row = d.row;
      if (row < 0) {
        std::fprintf(stderr, "no device on port 3 among %zu\n", devices.size());
        failures->fetch_add(1);
        return;
      }
      for (int i = 0; i < cycles && !stop->load(); ++i) {
        usbclient::Message reply;
        if (!client.connect(row, 3, "storm", reply) || reply.status != 0 || !client.disconnect(row, 3, reply) ||
            reply.status != 0)
          failures->fetch_add(1);
        else
          served->fetch_add(1);
      }
    });
  }

  ProgramRunner run_;
  bool agent_ = false;
  std::unique_ptr<TrapSink> sink_;
};

TEST_F(ProgramStormTest, ThroughPlugAndConnectStormsTheProgramKeepsServingAndTrapping) {
  std::atomic<int> failures{0}, served{0};
  std::atomic<bool> stop{false};
  std::vector<DecodedTrap> traps;
  std::atomic<bool> collecting{true};
  std::atomic<bool> lastArrived{false};
  std::thread collector;
  if (sink_) {
    // The collector owns traps until it is joined.
    collector = std::thread([&] {
      while (collecting.load()) {
        for (const DecodedTrap& t : sink_->receive(64, 100)) {
          traps.push_back(t);
          if (t.leaf(8) && t.leaf(8)->text == "LAST") lastArrived.store(true);
        }
      }
    });
  }
  std::thread plugs = plugStorm(500, &failures, &stop);
  std::thread connects = connectStorm(2000, &failures, &served, &stop);
  plugs.join();
  connects.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(served.load(), 2000);
  ASSERT_TRUE(run_.running()) << run_.err();

  // Still served after the storm, and one event still gets its trap.
  std::atomic<int> after{0};
  std::thread last = connectStorm(1, &failures, &after, &stop);
  last.join();
  EXPECT_EQ(after.load(), 1);
  ASSERT_EQ(run_.usb("plug 1-1.2 hid manufacturer=Sim product=Key serial=LAST"), "ok\n");
  if (sink_) {
    eventuallyTrue([&] { return lastArrived.load(); }, 10000);
    collecting.store(false);
    collector.join();
    std::map<std::string, int> plugged;
    bool lastSeen = false;
    for (const DecodedTrap& t : traps) {
      ASSERT_EQ(t.generic, 6);
      ASSERT_NE(t.leaf(1), nullptr);
      ASSERT_NE(t.leaf(3), nullptr);
      const long number = t.leaf(1)->integer;
      const std::string text = t.leaf(3)->text;
      const std::map<long, std::string> texts = {{3, "device attached"}, {4, "device detached"},
                                                 {5, "device connected: 169.254.001.002"},
                                                 {6, "device disconnected"}, {17, "network link event"}};
      ASSERT_TRUE(texts.count(number)) << number;
      EXPECT_EQ(text, texts.at(number));
      if (number == 3) {
        const std::string serial = t.leaf(8) ? t.leaf(8)->text : "";
        EXPECT_EQ(++plugged[serial], 1) << "trapped twice: " << serial;
        lastSeen = lastSeen || serial == "LAST";
      }
    }
    EXPECT_TRUE(lastSeen) << "no trap for the event after the storm";
  }
  EXPECT_TRUE(run_.stop()) << run_.err();
}

// The shutdown ends connection tasks wherever they are; under the
// sanitizer build a leak fails the program's end code like any other finding.
class ProgramStormShutdownTest : public ProgramStormTest {};

TEST_F(ProgramStormShutdownTest, AShutdownInTheMiddleOfAStormEndsCleanly) {
  std::atomic<int> failures{0}, served{0};
  std::atomic<bool> stop{false};
  std::thread plugs = plugStorm(100000, &failures, &stop);
  std::thread connects = connectStorm(100000, &failures, &served, &stop);
  ASSERT_TRUE(eventuallyTrue([&] { return served.load() > 200; }, 20000));
  EXPECT_TRUE(run_.stop()) << run_.err();
  stop.store(true);
  plugs.join();
  connects.join();
}

}  // namespace

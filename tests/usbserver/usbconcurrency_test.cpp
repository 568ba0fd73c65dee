// The table under concurrent readers, string fetches and rescans.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "runtime/task/task.h"
#include "usbserver/devices/usbdevicetable.h"
#include "usbserver/discovery/usbscan.h"
#include "usbserver/support/scripted_string_host.h"
#include "usbserver/support/usb_table_fixture.h"

namespace {

using namespace std::chrono_literals;

class UsbConcurrency : public UsbTableFixture {
 protected:
  std::unique_ptr<SimUsbHost> makeHost() override {
    auto h = std::make_unique<ScriptedStringHost>();
    scripted_ = h.get();
    return h;
  }
  // Plugs and unplugs devices behind two hubs and rescans, rounds times.
  void churn(int rounds) {
    plug("1-1", "hub 4");
    plug("1-2", "hub 4");
    for (int round = 0; round < rounds; ++round) {
      for (int port = 1; port <= 4; ++port) plug("1-1." + std::to_string(port), "loopback");
      plug("1-2.1", "storage size=1M");
      rescanUsbDevices();
      for (int port = 1; port <= 4; port += 2) unplug("1-1." + std::to_string(port));
      rescanUsbDevices();
      passQuarantine();
      for (int port = 2; port <= 4; port += 2) unplug("1-1." + std::to_string(port));
      unplug("1-2.1");
      rescanUsbDevices();
      passQuarantine();
    }
  }
  ScriptedStringHost* scripted_ = nullptr;
};

TEST_F(UsbConcurrency, ReadersUnderTheTableLockNeverSeeAHalfWrittenRow) {
  // Slow string reads widen the window in which a row is being probed.
  scripted_->answer = [](uint8_t index, uint16_t, uint8_t* data, uint16_t length) -> int {
    std::this_thread::sleep_for(1ms);
    if (index != 0 || length < 4) return -EPIPE;
    const uint8_t languages[] = {4, 3, 0x09, 0x04};
    std::memcpy(data, languages, sizeof languages);
    return 4;
  };
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0}, broken{0};
  std::thread reader([&] {
    while (!stop.load()) {
      lockUsbDeviceTable(1);
      for (int i = 0; i < USB_MAXDEVS; ++i) {
        const UsbDeviceRow& row = usbDeviceTable[i];
        if (!row.isPresent()) continue;
        ++seen;
        const bool complete = row.descriptors.device[1] == 1 && row.descriptors.configTableSize >= 1 &&
                              row.descriptors.idVendor() == row.idVendor && row.idVendor == 0x1209 &&
                              std::strcmp(row.manufacturer, "Simulated Devices") == 0 && row.port >= 1 &&
                              row.port <= 20;
        if (!complete) ++broken;
      }
      lockUsbDeviceTable(0);
      std::this_thread::yield();
    }
  });
  churn(4);
  stop = true;
  reader.join();
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(0, broken.load());
}

TEST_F(UsbConcurrency, StringCacheUseFromOtherThreadsIsSafeWhileRowsAreRecycled) {
  std::atomic<bool> stop{false};
  std::atomic<long> lookups{0};
  // As a connection task serving GET_DESCRIPTOR(string) does, on every row.
  std::thread client([&] {
    uint8_t out[255];
    const uint8_t data[] = {4, 3, 'x', 0};
    while (!stop.load()) {
      for (int i = 0; i < USB_MAXDEVS; ++i) {
        UsbDeviceRow& row = usbDeviceTable[i];
        for (int index = 0; index < 4; ++index) row.findStringDescriptor(0, static_cast<uint8_t>(index), out, sizeof out);
        row.cacheStringDescriptor(0x7777, 200, data, sizeof data);
        ++lookups;
      }
    }
  });
  churn(6);
  stop = true;
  client.join();
  EXPECT_GT(lookups.load(), 0);
}

// A task that rescans while another thread's rescan is running.
struct WaitingRescan {
  std::atomic<bool> finished{false};
  std::atomic<int> result{-1};
  std::atomic<int> messages{0};
};

class RescanTask : public Task {
 public:
  explicit RescanTask(WaitingRescan* state) : Task("RescanTask"), state_(state) {}
  void run() override {
    state_->result = rescanUsbDevices();
    state_->finished = true;
  }
  int onMessage(const TaskMessage& msg) override {
    ++state_->messages;
    return msg.flags & ~MSG_NOTIFY;
  }

 private:
  WaitingRescan* state_;
};

TEST_F(UsbConcurrency, ATaskWaitingForAnotherRescanServesItsMessagesAndAddsNothing) {
  std::atomic<bool> release{false};
  std::atomic<bool> scanning{false};
  scripted_->answer = [&](uint8_t, uint16_t, uint8_t*, uint16_t) -> int {
    scanning = true;
    for (int i = 0; i < 1000 && !release.load(); ++i) std::this_thread::sleep_for(5ms);
    return -EPIPE;
  };
  plug("1-1", "loopback");
  int first = -1;
  std::thread scanner([&] { first = rescanUsbDevices(); });
  for (int i = 0; i < 1000 && !scanning.load(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(scanning.load());

  WaitingRescan state;
  auto* task = new RescanTask(&state);
  ASSERT_GT(task->start(0), 0);
  std::this_thread::sleep_for(100ms);
  TaskMessage msg{0, MSG_NOTIFY, 1, 0};
  EXPECT_EQ(0, task->post(msg));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(state.finished.load());  // still waiting for the scan
  release = true;
  scanner.join();
  for (int i = 0; i < 1000 && !state.finished.load(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(state.finished.load());
  EXPECT_EQ(1, first);
  EXPECT_EQ(0, state.result.load());
  EXPECT_EQ(1, state.messages.load());
  EXPECT_EQ(1, presentRows());
}

}  // namespace

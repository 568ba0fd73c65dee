// Fault injection of the simulated host: endpoint faults, a device that
// stops answering, hostile descriptors and the hard reset's answer.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/support/usbhosttest.h"

namespace {

constexpr uint8_t kBulk = USBDEVFS_URB_TYPE_BULK;

class SimUsbFaults : public SimUsbHostTest {
 protected:
  void SetUp() override {
    SimUsbHostTest::SetUp();
    ASSERT_EQ(host_->plug("1-1", "loopback"), 1);
  }
  std::vector<uint8_t> node() {
    int fd = openPlugged("1-1", O_RDONLY);
    std::vector<uint8_t> out(1024);
    int n = fd < 0 ? fd : host_->readDevice(fd, out.data(), out.size());
    if (fd >= 0) host_->closeDevice(fd);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
  }
};

TEST_F(SimUsbFaults, CommandsAreCheckedAndClearUndoesThem) {
  struct Case {
    const char* fault;
    int accepted;
  } cases[] = {
      {"stall 0x81", 1},      {"stall 0x83", 0},       {"stall 0x200", 0},   {"stall", 0},
      {"timeout 0x01", 1},    {"timeout 0", 1},        {"short 0x81 3", 1},  {"short 0x01 3", 0},
      {"short 0x81", 0},      {"blength 0", 1},        {"blength 255 2", 1}, {"blength 1 99", 0},
      {"totallength 9999", 1}, {"numinterfaces 200", 1}, {"numconfigs 33", 1}, {"numconfigs 300", 0},
      {"hardreset ok", 1},    {"hardreset EIO", 1},    {"hardreset 5", 1},   {"hardreset maybe", 0},
      {"nomem 0x81", 1},      {"nomem 0x01 2", 1},     {"nomem 0x81 -1", 0}, {"nomem 0x85", 0},
      {"melt", 0},            {"clear", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(host_->fault("1-1", c.fault), c.accepted) << c.fault;
  EXPECT_EQ(host_->fault("2-1", "stall 0x81"), 0);  // not plugged

  // After clear the device behaves again.
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  uint8_t data[4] = {1, 2, 3, 4};
  int actual = 0;
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, 4, &actual), 0);
  EXPECT_EQ(transfer(fd, kBulk, 0x81, data, 4, &actual), 0);
  EXPECT_EQ(host_->hardReset(fd), -ENOTTY);
  host_->closeDevice(fd);
  std::vector<uint8_t> image = node();
  ASSERT_GE(image.size(), 27u);
  EXPECT_EQ(image[17], 1);
  EXPECT_EQ(image[18 + 2] | image[18 + 3] << 8, 32);
}

TEST_F(SimUsbFaults, TimeoutKeepsUrbsInFlightAndControlTimesOut) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(host_->fault("1-1", "timeout 0x01"), 1);
  uint8_t data[4] = {};
  usbdevfs_urb write = makeUrb(kBulk, 0x01, data, sizeof data);
  ASSERT_EQ(host_->submitUrb(fd, &write), 0);
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(reapWithin(fd, &reaped, 50), -ETIME);
  EXPECT_EQ(host_->discardUrb(fd, &write), 0);
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(write.status, -ENOENT);

  ASSERT_EQ(host_->fault("1-1", "timeout 0"), 1);
  uint8_t device[18];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, device, sizeof device, 30), -ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  host_->closeDevice(fd);
}

TEST_F(SimUsbFaults, ControlStallLastsOneRequest) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(host_->fault("1-1", "stall 0"), 1);
  uint8_t device[18];
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, device, sizeof device, 1000), -EPIPE);
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, device, sizeof device, 1000), 18);
  host_->closeDevice(fd);
}

TEST_F(SimUsbFaults, ShortFaultEndsTheNextInTransferOnce) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> out(2048, 0x11), in(2048);
  int actual = 0;
  ASSERT_EQ(transfer(fd, kBulk, 0x01, out.data(), 2048, &actual), 0);
  ASSERT_EQ(host_->fault("1-1", "short 0x81 100"), 1);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in.data(), 2048, &actual), 0);
  EXPECT_EQ(actual, 100);
  ASSERT_EQ(transfer(fd, kBulk, 0x01, out.data(), 2048, &actual), 0);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in.data(), 2048, &actual), 0);
  EXPECT_EQ(actual, 2048);
  host_->closeDevice(fd);
}

TEST_F(SimUsbFaults, GoneDeviceStaysInSysfsButCannotBeUsed) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  uint8_t in[8];
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in, sizeof in);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  ASSERT_EQ(host_->fault("1-1", "gone"), 1);
  EXPECT_EQ(host_->fault("1-1", "gone"), 0);
  EXPECT_EQ(epollEventsNow(fd, 0) & (EPOLLHUP | EPOLLERR), static_cast<uint32_t>(EPOLLHUP | EPOLLERR));
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(read.status, -ESHUTDOWN);
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -ENODEV);
  EXPECT_TRUE(host_->hasSysfsAttribute(sysfsDevice("1-1"), "devnum"));
  int bus = 0, dev = 0;
  ASSERT_TRUE(host_->deviceNumbers("1-1", &bus, &dev));
  EXPECT_EQ(host_->openDevice(bus, dev, O_RDWR), -ENODEV);
  host_->closeDevice(fd);
  EXPECT_EQ(host_->unplug("1-1"), 1);
  EXPECT_FALSE(host_->hasSysfsAttribute(sysfsDevice("1-1"), "devnum"));
}

TEST_F(SimUsbFaults, GoneWhileWaitingForAControlTimeout) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(host_->fault("1-1", "timeout 0"), 1);
  std::thread puller([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host_->unplug("1-1");
  });
  uint8_t device[18];
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, device, sizeof device, 10000), -ENODEV);
  puller.join();
  host_->closeDevice(fd);
}

// Hostile descriptors change what the node and the device say; the sysfs
// view of the kernel stays sane.
TEST_F(SimUsbFaults, HostileDescriptorsReachTheNodeAndTheDevice) {
  const std::vector<uint8_t> clean = node();
  ASSERT_EQ(clean.size(), 18u + 32u);
  struct Case {
    const char* fault;
    size_t offset;  // in the node
    int value;      // byte there, -1: 16-bit wTotalLength
  } cases[] = {
      {"blength 0", 18 + 9, 0},         // the interface descriptor
      {"blength 1", 18 + 9, 1},         //
      {"blength 255 2", 18 + 18, 255},  // the first endpoint
      {"totallength 4000", 18 + 2, -1}, //
      {"numinterfaces 250", 18 + 4, 250},
      {"numconfigs 33", 17, 33},
  };
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(host_->fault("1-1", c.fault), 1);
    std::vector<uint8_t> image = node();
    ASSERT_EQ(image.size(), clean.size());  // the bytes themselves stay where they were
    if (c.value < 0)
      EXPECT_EQ(image[c.offset] | image[c.offset + 1] << 8, 4000);
    else
      EXPECT_EQ(image[c.offset], c.value);
    uint8_t config[64];
    ASSERT_EQ(host_->control(fd, 0x80, 6, 0x0200, 0, config, sizeof config, 1000), 32);
    EXPECT_EQ(std::memcmp(config, image.data() + 18, 32), 0);
    ASSERT_EQ(host_->fault("1-1", "clear"), 1);
    EXPECT_EQ(node(), clean);
  }
  host_->closeDevice(fd);
}

// usbfs at its memory limit: the chosen submission on an endpoint is
// refused with ENOMEM, the ones before and after it go through.
TEST_F(SimUsbFaults, RefusedSubmissionComesAfterTheGivenCount) {
  int fd = openPlugged("1-1");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(host_->fault("1-1", "nomem 0x01 1"), 1);
  uint8_t data[4] = {1, 2, 3, 4};
  int actual = 0;
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, 4, &actual), 0);
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, 4, &actual), -ENOMEM);
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, 4, &actual), 0);
  host_->closeDevice(fd);
}

// A revoked handle lets the device go at once while its number stays with
// its owner: its claims are free, its URB in flight never completes (and
// takes no data meant for the next owner), and closing it later works.
TEST_F(SimUsbFaults, RevokedHandleLetsGoOfTheDeviceAtOnce) {
  const int old = openPlugged("1-1");
  ASSERT_GE(old, 0);
  ASSERT_EQ(host_->claimInterface(old, 0), 0);
  uint8_t stale[8] = {};
  usbdevfs_urb pending{};
  pending.type = kBulk;
  pending.endpoint = 0x81;
  pending.buffer = stale;
  pending.buffer_length = sizeof stale;
  ASSERT_EQ(host_->submitUrb(old, &pending), 0);

  ASSERT_EQ(host_->revokeHandle(old), 0);
  const int next = openPlugged("1-1");
  ASSERT_GE(next, 0);
  EXPECT_EQ(host_->claimInterface(next, 0), 0);
  uint8_t data[4] = {9, 8, 7, 6};
  int actual = 0;
  ASSERT_EQ(transfer(next, kBulk, 0x01, data, 4, &actual), 0);
  uint8_t back[4] = {};
  ASSERT_EQ(transfer(next, kBulk, 0x81, back, 4, &actual), 0);
  EXPECT_EQ(4, actual);
  EXPECT_EQ(0, std::memcmp(data, back, 4));
  usbdevfs_urb* reaped = nullptr;
  EXPECT_NE(host_->reapUrbNoDelay(old, &reaped), 0);
  EXPECT_EQ(host_->claimInterface(old, 0), -ENODEV);
  EXPECT_EQ(0, stale[0]);
  EXPECT_EQ(host_->closeDevice(old), 0);
  host_->closeDevice(next);
}

}  // namespace

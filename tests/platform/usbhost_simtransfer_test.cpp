// URBs on the simulated host: bulk loopback, HID interrupt reports, mass
// storage, readiness through epoll, discard, stall, reset and unplug.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/support/usbhosttest.h"

namespace {

constexpr uint8_t kBulk = USBDEVFS_URB_TYPE_BULK;
constexpr uint8_t kInterrupt = USBDEVFS_URB_TYPE_INTERRUPT;

class SimUsbTransfer : public SimUsbHostTest {
 protected:
  void SetUp() override {
    SimUsbHostTest::SetUp();
    plugStandardTree();
  }
  void TearDown() override {
    for (int fd : open_) host_->closeDevice(fd);
    SimUsbHostTest::TearDown();
  }
  int open(const std::string& devpath) {
    int fd = openPlugged(devpath);
    EXPECT_GE(fd, 0) << devpath;
    if (fd >= 0) open_.push_back(fd);
    return fd;
  }
  std::vector<int> open_;
};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

TEST_F(SimUsbTransfer, LoopbackReturnsWhatWasWritten) {
  int fd = open("1-1.4");
  for (int size : {0, 1, 512, 1000, 65536}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> out = pattern(static_cast<size_t>(size), static_cast<uint8_t>(size));
    std::vector<uint8_t> in(static_cast<size_t>(size) + 1, 0);
    int actual = -1;
    ASSERT_EQ(transfer(fd, kBulk, 0x01, out.data(), size, &actual), 0);
    EXPECT_EQ(actual, size);
    ASSERT_EQ(transfer(fd, kBulk, 0x81, in.data(), size, &actual), 0);
    ASSERT_EQ(actual, size);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin()));
  }
}

TEST_F(SimUsbTransfer, ShortPacketEndsAnInTransferAndFullPacketsDoNot) {
  int fd = open("1-1.4");
  std::vector<uint8_t> block = pattern(512, 1), tail = pattern(1, 9), small = pattern(100, 3);
  std::vector<uint8_t> in(4096);
  int actual = -1;
  // 100 bytes: a short packet, so a 4096-byte read ends after 100.
  ASSERT_EQ(transfer(fd, kBulk, 0x01, small.data(), 100, &actual), 0);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in.data(), 4096, &actual), 0);
  EXPECT_EQ(actual, 100);

  // 512 bytes: one full packet; the read goes on into the next transfer
  // and ends with its short packet.
  ASSERT_EQ(transfer(fd, kBulk, 0x01, block.data(), 512, &actual), 0);
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in.data(), 4096);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);
  ASSERT_EQ(transfer(fd, kBulk, 0x01, tail.data(), 1, &actual), 0);
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  ASSERT_EQ(reaped, &read);
  EXPECT_EQ(read.status, 0);
  ASSERT_EQ(read.actual_length, 513);
  EXPECT_EQ(std::memcmp(in.data(), block.data(), 512), 0);
  EXPECT_EQ(in[512], tail[0]);

  // A zero-length packet asked for by the writer ends it as well.
  usbdevfs_urb write = makeUrb(kBulk, 0x01, block.data(), 512);
  write.flags = USBDEVFS_URB_ZERO_PACKET;
  ASSERT_EQ(host_->submitUrb(fd, &write), 0);
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in.data(), 4096, &actual), 0);
  EXPECT_EQ(actual, 512);

  // Short not allowed: the short read fails.
  ASSERT_EQ(transfer(fd, kBulk, 0x01, small.data(), 100, &actual), 0);
  read = makeUrb(kBulk, 0x81, in.data(), 4096);
  read.flags = USBDEVFS_URB_SHORT_NOT_OK;
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  EXPECT_EQ(read.status, -EREMOTEIO);
  EXPECT_EQ(read.actual_length, 100);
}

TEST_F(SimUsbTransfer, InterruptInWaitsForAReport) {
  int fd = open("1-1.2");
  uint8_t report[8] = {};
  usbdevfs_urb urb = makeUrb(kInterrupt, 0x81, report, sizeof report);
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);
  EXPECT_EQ(epollEventsNow(fd, EPOLLOUT | EPOLLHUP), 0u);
  ASSERT_EQ(host_->hidReport("1-1.2", {0, 0, 0x04, 0, 0, 0, 0, 0}), 1);
  EXPECT_EQ(epollEventsNow(fd, EPOLLOUT | EPOLLHUP), static_cast<uint32_t>(EPOLLOUT));
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &urb);
  EXPECT_EQ(urb.status, 0);
  EXPECT_EQ(urb.actual_length, 8);
  EXPECT_EQ(report[2], 0x04);
  EXPECT_EQ(epollEventsNow(fd, EPOLLOUT | EPOLLHUP), 0u);
  // A report waits in the device until it is asked for.
  ASSERT_EQ(host_->hidReport("1-1.2", {0, 0, 0x05, 0, 0, 0, 0, 0}), 1);
  int actual = 0;
  ASSERT_EQ(transfer(fd, kInterrupt, 0x81, report, 8, &actual), 0);
  EXPECT_EQ(report[2], 0x05);
  EXPECT_EQ(host_->hidReport("1-1.4", {1}), 0);  // not a HID device
}

TEST_F(SimUsbTransfer, TimedReportsArriveFromTheWorker) {
  ASSERT_EQ(host_->plug("1-1.1", "hid interval=5"), 1);
  int fd = open("1-1.1");
  uint8_t report[8];
  for (int i = 0; i < 4; ++i) {
    int actual = 0;
    ASSERT_EQ(transfer(fd, kInterrupt, 0x81, report, sizeof report, &actual), 0);
    EXPECT_EQ(actual, 8);
  }
}

TEST_F(SimUsbTransfer, CompletionMakesTheHandleWritableForEpoll) {
  int fd = open("1-1.4");
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event e{};
  e.events = EPOLLOUT | EPOLLHUP;
  ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e), 0);
  epoll_event out{};
  EXPECT_EQ(::epoll_wait(ep, &out, 1, 0), 0);
  uint8_t in[64];
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in, sizeof in);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  EXPECT_EQ(::epoll_wait(ep, &out, 1, 0), 0);  // in flight, nothing done

  // Data written on another thread completes the read while this one
  // waits; the write's own completion is reaped after it.
  uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  usbdevfs_urb write = makeUrb(kBulk, 0x01, data, sizeof data);
  std::thread writer([this, fd, &write] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host_->submitUrb(fd, &write);
  });
  int woke = ::epoll_wait(ep, &out, 1, 5000);
  writer.join();
  ASSERT_EQ(woke, 1);
  EXPECT_EQ(out.events, static_cast<uint32_t>(EPOLLOUT));
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &write);
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &read);
  EXPECT_EQ(read.actual_length, 10);
  EXPECT_EQ(::epoll_wait(ep, &out, 1, 0), 0);
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);
  ::close(ep);
}

TEST_F(SimUsbTransfer, DelayedDeviceCompletesLater) {
  ASSERT_EQ(host_->plug("1-1.1", "loopback delay=30"), 1);
  int fd = open("1-1.1");
  uint8_t data[4] = {9, 8, 7, 6};
  usbdevfs_urb write = makeUrb(kBulk, 0x01, data, sizeof data);
  ASSERT_EQ(host_->submitUrb(fd, &write), 0);
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  EXPECT_EQ(reaped, &write);
  EXPECT_EQ(write.actual_length, 4);
}

TEST_F(SimUsbTransfer, UnplugHangsUpAndEndsUrbsInFlight) {
  int fd = open("1-1.4");
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event e{};
  e.events = EPOLLOUT | EPOLLHUP;
  ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e), 0);
  uint8_t a[64], b[64];
  usbdevfs_urb first = makeUrb(kBulk, 0x81, a, sizeof a);
  usbdevfs_urb second = makeUrb(kBulk, 0x81, b, sizeof b);
  ASSERT_EQ(host_->submitUrb(fd, &first), 0);
  ASSERT_EQ(host_->submitUrb(fd, &second), 0);

  std::thread unplugger([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host_->unplug("1-1.4");
  });
  epoll_event out{};
  int woke = ::epoll_wait(ep, &out, 1, 5000);
  unplugger.join();
  ASSERT_EQ(woke, 1);
  EXPECT_TRUE(out.events & EPOLLHUP);
  EXPECT_EQ(epollEventsNow(fd, EPOLLOUT) & (EPOLLHUP | EPOLLERR), static_cast<uint32_t>(EPOLLHUP | EPOLLERR));
  ::close(ep);

  // The URBs in flight come back, then the device is reported gone.
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &first);
  EXPECT_EQ(first.status, -ESHUTDOWN);
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &second);
  EXPECT_EQ(second.status, -ESHUTDOWN);
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -ENODEV);
  EXPECT_EQ(host_->submitUrb(fd, &first), -ENODEV);
  EXPECT_EQ(host_->discardUrb(fd, &first), -ENODEV);
  EXPECT_EQ(host_->control(fd, 0x80, 6, 0x0100, 0, a, 18, 1000), -ENODEV);
  EXPECT_EQ(host_->claimInterface(fd, 0), -ENODEV);
  EXPECT_EQ(host_->reset(fd), -ENODEV);
  EXPECT_EQ(host_->readDevice(fd, a, sizeof a), -ENODEV);
  // The others on the hub are untouched.
  int hid = open("1-1.2");
  EXPECT_EQ(host_->claimInterface(hid, 0), 0);
}

TEST_F(SimUsbTransfer, DiscardedUrbComesBackWithEnoent) {
  int fd = open("1-1.4");
  uint8_t in[64];
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in, sizeof in);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  EXPECT_EQ(host_->discardUrb(fd, &read), 0);
  EXPECT_EQ(host_->discardUrb(fd, &read), -EINVAL);  // no longer in flight
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &read);
  EXPECT_EQ(read.status, -ENOENT);
  EXPECT_EQ(read.actual_length, 0);

  // A completed URB that waits to be reaped cannot be discarded.
  uint8_t data[3] = {1, 2, 3};
  usbdevfs_urb write = makeUrb(kBulk, 0x01, data, sizeof data);
  ASSERT_EQ(host_->submitUrb(fd, &write), 0);
  EXPECT_EQ(host_->discardUrb(fd, &write), -EINVAL);
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(write.status, 0);
  // The next reader gets the data: the discarded read took nothing.
  int actual = 0;
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in, sizeof in, &actual), 0);
  EXPECT_EQ(actual, 3);
}

// IN data lands in the caller's buffer as it arrives: a read discarded
// after one full packet gives back that packet, and the reused record of
// the next read starts again at the buffer's first byte.
TEST_F(SimUsbTransfer, DiscardedReadKeepsWhatArrivedAndTheNextStartsAfresh) {
  int fd = open("1-1.4");
  const std::vector<uint8_t> packet = pattern(512, 5), tail = pattern(3, 77);
  int actual = -1;
  ASSERT_EQ(transfer(fd, kBulk, 0x01, const_cast<uint8_t*>(packet.data()), 512, &actual), 0);
  std::vector<uint8_t> in(4096, 0xee);
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in.data(), 4096);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  ASSERT_EQ(host_->discardUrb(fd, &read), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(read.status, -ENOENT);
  ASSERT_EQ(read.actual_length, 512);
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), in.begin()));
  EXPECT_EQ(in[512], 0xee);  // nothing past what arrived

  ASSERT_EQ(transfer(fd, kBulk, 0x01, const_cast<uint8_t*>(tail.data()), 3, &actual), 0);
  std::vector<uint8_t> next(64, 0xee);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, next.data(), 64, &actual), 0);
  ASSERT_EQ(actual, 3);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), next.begin()));
  EXPECT_EQ(next[3], 0xee);
}

// The handle's readiness follows every completion and every reap, also
// after many rounds (each round toggles the socket pair behind it).
TEST_F(SimUsbTransfer, ReadinessFollowsManyRounds) {
  int fd = open("1-1.4");
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event e{};
  e.events = EPOLLOUT;
  ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e), 0);
  epoll_event out{};
  uint8_t data[16] = {};
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    data[0] = static_cast<uint8_t>(round);
    usbdevfs_urb write = makeUrb(kBulk, 0x01, data, sizeof data);
    ASSERT_EQ(host_->submitUrb(fd, &write), 0);
    ASSERT_EQ(::epoll_wait(ep, &out, 1, 0), 1);
    usbdevfs_urb* reaped = nullptr;
    ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
    ASSERT_EQ(::epoll_wait(ep, &out, 1, 0), 0);
    uint8_t in[16] = {};
    usbdevfs_urb read = makeUrb(kBulk, 0x81, in, sizeof in);
    ASSERT_EQ(host_->submitUrb(fd, &read), 0);
    ASSERT_EQ(::epoll_wait(ep, &out, 1, 0), 1);
    ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
    ASSERT_EQ(reaped, &read);
    ASSERT_EQ(in[0], data[0]);
    ASSERT_EQ(::epoll_wait(ep, &out, 1, 0), 0);
  }
  ::close(ep);
}

TEST_F(SimUsbTransfer, StalledEndpointFailsUntilClearHalt) {
  int fd = open("1-1.4");
  uint8_t in[64];
  usbdevfs_urb pending = makeUrb(kBulk, 0x81, in, sizeof in);
  ASSERT_EQ(host_->submitUrb(fd, &pending), 0);
  ASSERT_EQ(host_->fault("1-1.4", "stall 0x81"), 1);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(fd, &reaped), 0);
  EXPECT_EQ(pending.status, -EPIPE);
  int actual = 0;
  EXPECT_EQ(transfer(fd, kBulk, 0x81, in, sizeof in, &actual), -EPIPE);
  EXPECT_EQ(transfer(fd, kBulk, 0x81, in, sizeof in, &actual), -EPIPE);
  // Resetting the host's toggle is not clearing the halt.
  EXPECT_EQ(host_->resetEndpoint(fd, 0x81), 0);
  EXPECT_EQ(transfer(fd, kBulk, 0x81, in, sizeof in, &actual), -EPIPE);
  uint8_t status[2] = {};
  EXPECT_EQ(host_->control(fd, 0x82, 0, 0, 0x81, status, 2, 1000), 2);
  EXPECT_EQ(status[0], 1);
  EXPECT_EQ(host_->clearHalt(fd, 0x81), 0);
  EXPECT_EQ(host_->control(fd, 0x82, 0, 0, 0x81, status, 2, 1000), 2);
  EXPECT_EQ(status[0], 0);
  uint8_t data[5] = {5, 4, 3, 2, 1};
  ASSERT_EQ(transfer(fd, kBulk, 0x01, data, sizeof data, &actual), 0);
  ASSERT_EQ(transfer(fd, kBulk, 0x81, in, sizeof in, &actual), 0);
  EXPECT_EQ(actual, 5);
  // CLEAR_FEATURE(ENDPOINT_HALT) as a control request does the same.
  ASSERT_EQ(host_->fault("1-1.4", "stall 0x01"), 1);
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, sizeof data, &actual), -EPIPE);
  EXPECT_EQ(host_->control(fd, 0x02, 1, 0, 0x01, nullptr, 0, 1000), 0);
  EXPECT_EQ(transfer(fd, kBulk, 0x01, data, sizeof data, &actual), 0);
  EXPECT_EQ(host_->clearHalt(fd, 0x05), -ENOENT);
  EXPECT_EQ(host_->clearHalt(fd, 0), -ENOENT);  // usbfs: endpoint 0 is no interface's
}

TEST_F(SimUsbTransfer, SubmitChecks) {
  int loop = open("1-1.4");
  int hid = open("1-1.2");
  uint8_t buffer[64];
  struct Case {
    int handle;
    uint8_t type;
    uint8_t endpoint;
    void* data;
    int length;
    int result;
  } cases[] = {
      {loop, kBulk, 0x82, buffer, 8, -ENOENT},                  // no such endpoint
      {loop, kBulk, 0x20, buffer, 8, -EINVAL},                  // not an endpoint address
      {loop, kInterrupt, 0x81, buffer, 8, -EINVAL},             // interrupt on a bulk endpoint
      {loop, USBDEVFS_URB_TYPE_ISO, 0x81, buffer, 8, -EINVAL},  // no isochronous endpoint
      {loop, kBulk, 0x81, buffer, -1, -EINVAL},
      {loop, kBulk, 0x81, nullptr, 8, -EFAULT},
      {loop, kBulk, 0x81, buffer, (16 << 20) + 1, -ENOMEM},
      {-1, kBulk, 0x81, buffer, 8, -EBADF},
      {hid, kBulk, 0x81, buffer, 8, 0},  // a bulk URB may serve an interrupt endpoint
  };
  for (const Case& c : cases) {
    usbdevfs_urb urb = makeUrb(c.type, c.endpoint, c.data, c.length);
    EXPECT_EQ(host_->submitUrb(c.handle, &urb), c.result) << std::hex << int(c.endpoint) << " " << c.length;
    if (c.result == 0) {
      usbdevfs_urb* reaped = nullptr;
      EXPECT_EQ(host_->discardUrb(c.handle, &urb), 0);
      EXPECT_EQ(host_->reapUrbNoDelay(c.handle, &reaped), 0);
      EXPECT_EQ(reaped, &urb);
    }
  }
  EXPECT_EQ(host_->submitUrb(loop, nullptr), -EFAULT);
}

TEST_F(SimUsbTransfer, ControlUrbIsExecutedAtOnce) {
  int fd = open("1-1.2");
  uint8_t buffer[8 + 18] = {0x80, 6, 0x00, 0x01, 0, 0, 18, 0};
  usbdevfs_urb urb = makeUrb(USBDEVFS_URB_TYPE_CONTROL, 0, buffer, sizeof buffer);
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(urb.status, 0);
  EXPECT_EQ(urb.actual_length, 18);
  EXPECT_EQ(buffer[8], 18);
  EXPECT_EQ(buffer[9], 1);
  buffer[6] = 19;  // wLength longer than the buffer
  EXPECT_EQ(host_->submitUrb(fd, &urb), -EINVAL);
}

TEST_F(SimUsbTransfer, ResetEndsUrbsAndClaims) {
  int fd = open("1-1.4");
  int other = open("1-1.4");
  uint8_t in[8];
  usbdevfs_urb read = makeUrb(kBulk, 0x81, in, sizeof in);
  ASSERT_EQ(host_->submitUrb(fd, &read), 0);
  EXPECT_EQ(host_->claimInterface(other, 0), -EBUSY);
  EXPECT_EQ(host_->reset(fd), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(read.status, -ENOENT);
  EXPECT_EQ(host_->claimInterface(other, 0), 0);

  // The hard reset of the board kernel is missing unless a fault allows it.
  EXPECT_EQ(host_->hardReset(fd), -ENOTTY);
  ASSERT_EQ(host_->fault("1-1.4", "hardreset ok"), 1);
  ASSERT_EQ(host_->submitUrb(other, &read), 0);
  EXPECT_EQ(host_->hardReset(fd), 0);
  ASSERT_EQ(host_->reapUrbNoDelay(other, &reaped), 0);
  EXPECT_EQ(read.status, -ENOENT);
  ASSERT_EQ(host_->fault("1-1.4", "hardreset ENODEV"), 1);
  EXPECT_EQ(host_->hardReset(fd), -ENODEV);
}

TEST_F(SimUsbTransfer, ClosingAHandleDropsOnlyItsUrbs) {
  int keep = open("1-1.4");
  int drop = openPlugged("1-1.4");
  ASSERT_GE(drop, 0);
  uint8_t a[8], b[8];
  usbdevfs_urb mine = makeUrb(kBulk, 0x81, a, sizeof a);
  ASSERT_EQ(host_->submitUrb(keep, &mine), 0);
  host_->closeDevice(keep);  // gives up the interface and its URBs
  open_.clear();
  keep = open("1-1.4");
  usbdevfs_urb theirs = makeUrb(kBulk, 0x81, b, sizeof b);
  ASSERT_EQ(host_->submitUrb(drop, &theirs), 0);
  EXPECT_EQ(host_->closeDevice(drop), 0);
  uint8_t data[2] = {1, 2};
  int actual = 0;
  ASSERT_EQ(transfer(keep, kBulk, 0x01, data, sizeof data, &actual), 0);
  ASSERT_EQ(transfer(keep, kBulk, 0x81, a, sizeof a, &actual), 0);
  EXPECT_EQ(actual, 2);  // no dropped URB took the data
}

}  // namespace

// Transfer buffers mapped from a handle: the simulated host's own memory
// (used in place by its devices, refused on "nomap", kept valid after a
// revoke or close until given back) and the Linux host's mmap of the node,
// checked on a plain file standing in for a usbfs node: after a revoke or
// close the buffer keeps its bytes but no longer reaches the file.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/support/usbhosttest.h"
#include "platform/usb/usbhost_linux.h"
#include "runtime/file/paths.h"

namespace {

constexpr uint8_t kBulk = USBDEVFS_URB_TYPE_BULK;
constexpr size_t kChunk = 65536;

class SimTransferBuffers : public SimUsbHostTest {
 protected:
  void SetUp() override {
    SimUsbHostTest::SetUp();
    plugStandardTree();
  }
};

TEST_F(SimTransferBuffers, DevicesFillMappedBuffersInPlace) {
  const int fd = openPlugged("1-1.4");
  ASSERT_GE(fd, 0);
  void* out = nullptr;
  void* in = nullptr;
  ASSERT_EQ(0, host_->mapTransferBuffer(fd, kChunk, &out));
  ASSERT_EQ(0, host_->mapTransferBuffer(fd, kChunk, &in));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(out) % 4096) << "page-aligned, as an mmap is";
  for (size_t i = 0; i < kChunk; ++i) static_cast<uint8_t*>(out)[i] = static_cast<uint8_t>(i * 13 + 1);
  int actual = -1;
  ASSERT_EQ(0, transfer(fd, kBulk, 0x01, out, static_cast<int>(kChunk), &actual));
  ASSERT_EQ(0, transfer(fd, kBulk, 0x81, in, static_cast<int>(kChunk), &actual));
  EXPECT_EQ(static_cast<int>(kChunk), actual);
  EXPECT_EQ(0, std::memcmp(out, in, kChunk));
  // A URB that starts inside a mapped buffer must end inside it (usbfs).
  usbdevfs_urb past = makeUrb(kBulk, 0x01, static_cast<uint8_t*>(out) + 4096, static_cast<int>(kChunk));
  EXPECT_EQ(-EINVAL, host_->submitUrb(fd, &past));

  SimUsbHost::TransferBufferCounts counts = host_->transferBufferCounts();
  EXPECT_EQ(2, counts.live);
  EXPECT_EQ(2u, counts.mapped);
  EXPECT_EQ(2u, counts.urbsInMapped);
  // Ordinary memory works as before and is not counted.
  std::vector<uint8_t> plain(512, 7);
  ASSERT_EQ(0, transfer(fd, kBulk, 0x01, plain.data(), 512, &actual));
  EXPECT_EQ(2u, host_->transferBufferCounts().urbsInMapped);

  EXPECT_EQ(0, host_->unmapTransferBuffer(fd, out, kChunk));
  EXPECT_EQ(-EINVAL, host_->unmapTransferBuffer(fd, out, kChunk)) << "given back twice";
  EXPECT_EQ(-EINVAL, host_->unmapTransferBuffer(fd, plain.data(), 512)) << "not a mapped buffer";
  EXPECT_EQ(0, host_->unmapTransferBuffer(fd, in, kChunk));
  EXPECT_EQ(0, host_->transferBufferCounts().live);
  host_->closeDevice(fd);
}

TEST_F(SimTransferBuffers, MappingFailsOnBadHandlesAndUnderTheNomapFault) {
  void* buffer = reinterpret_cast<void*>(1);
  EXPECT_EQ(-EBADF, host_->mapTransferBuffer(12345, kChunk, &buffer));
  EXPECT_EQ(nullptr, buffer);
  const int fd = openPlugged("1-1.4");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(-EINVAL, host_->mapTransferBuffer(fd, 0, &buffer));
  ASSERT_EQ(1, host_->fault("1-1.4", "nomap"));
  EXPECT_EQ(-ENOMEM, host_->mapTransferBuffer(fd, kChunk, &buffer));
  EXPECT_EQ(nullptr, buffer);
  ASSERT_EQ(1, host_->fault("1-1.4", "clear"));
  ASSERT_EQ(0, host_->mapTransferBuffer(fd, kChunk, &buffer));
  EXPECT_EQ(0, host_->unmapTransferBuffer(fd, buffer, kChunk));
  host_->closeDevice(fd);
}

// After a revoke or close the buffers stay the caller's memory until given
// back; the handle's number, open again for another device, does not own
// them.
TEST_F(SimTransferBuffers, BuffersOutliveTheirHandle) {
  for (bool revoke : {true, false}) {
    SCOPED_TRACE(revoke ? "revoke" : "close");
    const int fd = openPlugged("1-1.4");
    ASSERT_GE(fd, 0);
    void* buffer = nullptr;
    ASSERT_EQ(0, host_->mapTransferBuffer(fd, kChunk, &buffer));
    std::memset(buffer, 0xA5, kChunk);
    if (revoke) ASSERT_EQ(0, host_->revokeHandle(fd));
    else ASSERT_EQ(0, host_->closeDevice(fd));
    EXPECT_EQ(0xA5, static_cast<uint8_t*>(buffer)[kChunk - 1]);
    static_cast<uint8_t*>(buffer)[0] = 1;  // still writable memory
    EXPECT_EQ(1, host_->transferBufferCounts().live);
    if (revoke) {
      usbdevfs_urb urb = makeUrb(kBulk, 0x01, buffer, 512);
      EXPECT_EQ(-ENODEV, host_->submitUrb(fd, &urb));
    }
    EXPECT_EQ(0, host_->unmapTransferBuffer(fd, buffer, kChunk));
    EXPECT_EQ(0, host_->transferBufferCounts().live);
    if (revoke) host_->closeDevice(fd);
  }
}

// The Linux host on a plain file in place of the usbfs node: the mapping
// is shared with the file, as usbfs memory is with the device.
class LinuxTransferBuffers : public UsbDataRootTest {
 protected:
  int openNode(const std::string& fill) {
    EXPECT_EQ(1, host_.prepareUsbDeviceFilesystem());
    EXPECT_TRUE(::mkdir(mapPath("/dev/bus/usb/001").c_str(), 0777) == 0 || errno == EEXIST);
    writeFile("/dev/bus/usb/001/002", fill);
    return host_.openDevice(1, 2, O_RDWR);
  }
  static std::string fileText() {
    std::ifstream in(mapPath("/dev/bus/usb/001/002"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // True when a line of /proc/self/maps maps the node.
  static bool nodeMapped() {
    std::ifstream maps("/proc/self/maps");
    const std::string node = mapPath("/dev/bus/usb/001/002");
    for (std::string line; std::getline(maps, line);)
      if (line.find(node) != std::string::npos) return true;
    return false;
  }
  LinuxUsbHost host_;
};

TEST_F(LinuxTransferBuffers, RevokeAndCloseSwapTheMappingForPrivateMemory) {
  for (bool revoke : {true, false}) {
    SCOPED_TRACE(revoke ? "revoke" : "close");
    const std::string fill(4096, 'd');
    const int fd = openNode(fill);
    ASSERT_GE(fd, 0);
    void* mapped = nullptr;
    ASSERT_EQ(0, host_.mapTransferBuffer(fd, 100, &mapped));
    char* bytes = static_cast<char*>(mapped);
    EXPECT_EQ('d', bytes[99]);
    bytes[0] = 'w';
    EXPECT_EQ('w', fileText()[0]) << "shared with the node";
    EXPECT_TRUE(nodeMapped());

    if (revoke) ASSERT_EQ(0, host_.revokeHandle(fd));
    else ASSERT_EQ(0, host_.closeDevice(fd));
    EXPECT_FALSE(nodeMapped()) << "nothing holds the node's file any more";
    EXPECT_EQ('w', bytes[0]) << "the bytes stay";
    EXPECT_EQ('d', bytes[4095]);
    bytes[1] = 'x';
    EXPECT_EQ('d', fileText()[1]) << "a write after the swap does not reach the node";

    EXPECT_EQ(0, host_.unmapTransferBuffer(fd, mapped, 100));
    EXPECT_EQ(-EINVAL, host_.unmapTransferBuffer(fd, mapped, 100));
    if (revoke) host_.closeDevice(fd);
  }
}

TEST_F(LinuxTransferBuffers, NodesThatCannotBeMappedRefuse) {
  void* mapped = reinterpret_cast<void*>(1);
  EXPECT_EQ(-EBADF, host_.mapTransferBuffer(-1, 4096, &mapped));
  EXPECT_EQ(nullptr, mapped);
  const int fd = openNode(std::string(4096, 'd'));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, host_.revokeHandle(fd));  // the number now names /dev/null
  EXPECT_EQ(-ENODEV, host_.mapTransferBuffer(fd, 4096, &mapped));
  EXPECT_EQ(nullptr, mapped);
  host_.closeDevice(fd);
}

}  // namespace

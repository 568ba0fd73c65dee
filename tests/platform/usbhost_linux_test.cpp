// The Linux USB host where this machine can check it: the sysfs reader on a
// tree written by hand, the usbfs directories and nodes, and the requests
// failing on a descriptor that is not a usbfs node.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/simusb/usbhost_sim.h"
#include "platform/support/usbhosttest.h"
#include "platform/usb/usbhost_linux.h"
#include "runtime/file/paths.h"

namespace {

class LinuxUsbHostTest : public UsbDataRootTest {
 protected:
  LinuxUsbHost host_;
};

std::string attribute(UsbHost& host, const std::string& dir, const char* name) {
  char buffer[64];
  int n = host.readSysfsAttribute(dir, name, buffer, sizeof buffer);
  return n < 0 ? "<" + std::to_string(n) + ">" : std::string(buffer, static_cast<size_t>(n));
}

TEST_F(LinuxUsbHostTest, ListsDeviceAndInterfaceDirectoriesInGlobOrder) {
  writeFile("/sys/bus/usb/devices/usb1/busnum", "1\n");
  writeFile("/sys/bus/usb/devices/1-0:1.0/bInterfaceClass", "09\n");
  writeFile("/sys/bus/usb/devices/1-1.10/busnum", "1\n");
  writeFile("/sys/bus/usb/devices/1-1.2/busnum", "1\n");
  writeFile("/sys/bus/usb/devices/1-1.2:1.0/bInterfaceClass", "03\n");
  writeFile("/sys/bus/usb/devices/2-1/busnum", "2\n");
  writeFile("/sys/bus/usb/devices/0-9/busnum", "0\n");  // not [1-9]*

  std::vector<std::string> paths;
  ASSERT_EQ(host_.listSysfsDevices(paths), 5);
  const std::string dir = UsbHost::sysfsDevicesDir() + "/";
  std::vector<std::string> expected = {dir + "1-0:1.0", dir + "1-1.10", dir + "1-1.2", dir + "1-1.2:1.0",
                                       dir + "2-1"};
  EXPECT_EQ(paths, expected);
}

TEST_F(LinuxUsbHostTest, ListingAMissingDirectoryFailsAndAnEmptyOneIsZero) {
  std::vector<std::string> paths{"stale"};
  EXPECT_EQ(host_.listSysfsDevices(paths), -ENOENT);
  EXPECT_TRUE(paths.empty());
  ASSERT_EQ(::mkdir(mapPath("/sys").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(mapPath("/sys/bus").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(mapPath("/sys/bus/usb").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(mapPath("/sys/bus/usb/devices").c_str(), 0755), 0);
  EXPECT_EQ(host_.listSysfsDevices(paths), 0);
}

TEST_F(LinuxUsbHostTest, AttributesAreReadRawAndBounded) {
  writeFile("/sys/bus/usb/devices/1-1/idVendor", "04b4\n");
  writeFile("/sys/bus/usb/devices/1-1/product", std::string(100, 'x') + "\n");
  const std::string dir = sysfsDevice("1-1");
  EXPECT_EQ(attribute(host_, dir, "idVendor"), "04b4\n");
  EXPECT_EQ(attribute(host_, dir, "product"), std::string(64, 'x'));
  EXPECT_EQ(attribute(host_, dir, "serial"), "<" + std::to_string(-ENOENT) + ">");
  EXPECT_TRUE(host_.hasSysfsAttribute(dir, "idVendor"));
  EXPECT_FALSE(host_.hasSysfsAttribute(dir, "serial"));
}

TEST_F(LinuxUsbHostTest, PreparesOpenNodeDirectoriesWhateverTheUmask) {
  mode_t old = ::umask(022);
  EXPECT_EQ(host_.prepareUsbDeviceFilesystem(), 1);
  struct stat st;
  ASSERT_EQ(::stat(mapPath("/dev/bus").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  ASSERT_EQ(::stat(mapPath("/dev/bus/usb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  // Present already: nothing more to do.
  EXPECT_EQ(host_.prepareUsbDeviceFilesystem(), 1);
  EXPECT_EQ(::umask(old), 022u);
}

TEST_F(LinuxUsbHostTest, MakesTheBusDirectoryAndTheNodeOpenToAll) {
  ASSERT_EQ(host_.prepareUsbDeviceFilesystem(), 1);
  mode_t old = ::umask(077);
  int made = host_.makeDeviceNode(1, 5, 189, 4);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(mapPath("/dev/bus/usb/001").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  if (!made) GTEST_SKIP() << "this machine does not let the test make device files";
  ASSERT_EQ(::stat(UsbHost::deviceNodePath(1, 5).c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_EQ(host_.makeDeviceNode(1, 5, 189, 4), 1);  // already there
  EXPECT_EQ(host_.removeDeviceNode(1, 5), 1);
  EXPECT_EQ(host_.removeDeviceNode(1, 5), 0);
}

TEST_F(LinuxUsbHostTest, NodePathHasThreeDigitNumbers) {
  EXPECT_EQ(UsbHost::deviceNodePath(2, 7), root_ + "/dev/bus/usb/002/007");
  EXPECT_EQ(UsbHost::deviceNodePath(1, 127), root_ + "/dev/bus/usb/001/127");
}

TEST_F(LinuxUsbHostTest, OpeningAMissingNodeGivesItsErrno) {
  EXPECT_EQ(host_.openDevice(1, 9, O_RDWR), -ENOENT);
}

// A regular file in place of the node: every usbfs request is refused the
// way the kernel refuses an unknown request.
TEST_F(LinuxUsbHostTest, RequestsOnAPlainFileFailWithEnotty) {
  writeFile("/dev/bus/usb/001/002", "not a device\n");
  int fd = host_.openDevice(1, 2, O_RDWR);
  ASSERT_GE(fd, 0);
  char buffer[8];
  usbdevfs_urb urb{};
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = 0x81;
  urb.buffer = buffer;
  urb.buffer_length = sizeof buffer;
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_.control(fd, 0x80, 6, 0x0100, 0, buffer, sizeof buffer, 100), -ENOTTY);
  EXPECT_EQ(host_.claimInterface(fd, 0), -ENOTTY);
  EXPECT_EQ(host_.releaseInterface(fd, 0), -ENOTTY);
  EXPECT_EQ(host_.setInterface(fd, 0, 1), -ENOTTY);
  EXPECT_EQ(host_.setConfiguration(fd, 1), -ENOTTY);
  EXPECT_EQ(host_.clearHalt(fd, 0x81), -ENOTTY);
  EXPECT_EQ(host_.resetEndpoint(fd, 0x81), -ENOTTY);
  EXPECT_EQ(host_.reset(fd), -ENOTTY);
  EXPECT_EQ(host_.hardReset(fd), -ENOTTY);
  EXPECT_EQ(host_.submitUrb(fd, &urb), -ENOTTY);
  EXPECT_EQ(host_.discardUrb(fd, &urb), -ENOTTY);
  EXPECT_EQ(host_.reapUrbNoDelay(fd, &reaped), -ENOTTY);
  EXPECT_EQ(reaped, nullptr);
  // Reading works as on any file.
  EXPECT_EQ(host_.readDevice(fd, buffer, 3), 3);
  EXPECT_EQ(std::memcmp(buffer, "not", 3), 0);
  EXPECT_EQ(host_.closeDevice(fd), 0);
  EXPECT_EQ(host_.closeDevice(fd), -EBADF);
  EXPECT_EQ(host_.reset(-1), -EBADF);
}

// The plain sysfs reader and the simulated host agree on what a simulated
// device looks like.
// A revoked handle's file goes at once (for usbfs: the claims and URBs with
// it) while its number stays the owner's until it closes it.
TEST_F(LinuxUsbHostTest, RevokedHandleKeepsItsNumberButNotItsFile) {
  UsbHost& host = host_;
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  EXPECT_EQ(0, host.revokeHandle(ends[1]));
  char byte;
  EXPECT_EQ(0, ::read(ends[0], &byte, 1)) << "the writing end has gone";
  EXPECT_GE(::fcntl(ends[1], F_GETFD), 0) << "the number is still taken";
  EXPECT_EQ(0, host.closeDevice(ends[1]));
  EXPECT_EQ(-EBADF, host.revokeHandle(-1));
  ::close(ends[0]);
}

TEST_F(LinuxUsbHostTest, ReadsTheTreeOfTheSimulatedHost) {
  SimUsbHost sim;
  ASSERT_EQ(sim.plug("1-1", "hub 4"), 1);
  ASSERT_EQ(sim.plug("1-1.2", "hid vid=046d pid=c31c"), 1);
  std::vector<std::string> paths;
  ASSERT_EQ(host_.listSysfsDevices(paths), 5);  // 1-0:1.0 1-1 1-1.2 and their interfaces
  const std::string dir = sysfsDevice("1-1.2");
  EXPECT_EQ(attribute(host_, dir, "idVendor"), "046d\n");
  EXPECT_EQ(attribute(host_, dir, "idProduct"), "c31c\n");
  EXPECT_EQ(attribute(host_, dir, "devpath"), "1.2\n");
  EXPECT_EQ(attribute(host_, dir, "busnum"), "1\n");
  EXPECT_EQ(attribute(host_, sysfsDevice("1-1.2:1.0"), "bInterfaceClass"), "03\n");
}

TEST_F(LinuxUsbHostTest, ChoiceFollowsTheDataRoot) {
  // Without the device file: the Linux host, which finds no sysfs tree.
  std::vector<std::string> paths;
  EXPECT_EQ(usbHost().listSysfsDevices(paths), -ENOENT);
  {
    // A test's own host wins.
    SimUsbHost sim;
    setUsbHostForTesting(&sim);
    EXPECT_EQ(&usbHost(), &sim);
    setUsbHostForTesting(nullptr);
  }

  // A data root holding the device file gets the simulated host with its
  // devices plugged and its control socket served.
  char pattern[] = "/tmp/usbhost-choice.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string other = pattern;
  setDataRoot(other.c_str());
  writeFile("/etc/simusb.conf", "# test devices\n1-1 loopback\n\n1-2 hid\n");
  UsbHost& sim = usbHost();
  EXPECT_TRUE(sim.hasSysfsAttribute(sysfsDevice("1-1"), "idVendor"));
  EXPECT_TRUE(sim.hasSysfsAttribute(sysfsDevice("1-2"), "idVendor"));
  struct stat st;
  EXPECT_EQ(::stat(mapPath("/var/simusb.ctl").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(&usbHost(), &sim);
  // Back in the first root, whose hand-written tree has a "1-1" as well:
  // the simulated host of the other root goes and leaves this tree alone.
  setDataRoot(root_.c_str());
  writeFile("/sys/bus/usb/devices/1-1/busnum", "1\n");
  EXPECT_EQ(usbHost().listSysfsDevices(paths), 1);
  EXPECT_TRUE(usbHost().hasSysfsAttribute(sysfsDevice("1-1"), "busnum"));
  removeTree(other);
}

}  // namespace

#include "runtime/system/loopdev.h"

#include "support/scratch_root.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

class LoopDevice : public ScratchRoot {};

TEST_F(LoopDevice, FailsWithoutFileOrDevice) {
  writeFile("image", std::string(4096, 0));
  writeFile("notaloop", "");
  EXPECT_EQ(attachLoopDevice(path("missingloop").c_str(), path("image").c_str(), 0), 0);
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("missing").c_str(), 0), 0);
  // A plain file refuses the loop requests.
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("image").c_str(), 512), 0);
  EXPECT_EQ(attachLoopDevice(path("notaloop").c_str(), path("image").c_str(), -1), 0);
  EXPECT_EQ(attachLoopDevice(nullptr, path("image").c_str(), 0), 0);
  EXPECT_EQ(detachLoopDevice(path("notaloop").c_str()), 0);
  EXPECT_EQ(detachLoopDevice(path("missingloop").c_str()), 0);
  EXPECT_EQ(detachLoopDevice(nullptr), 0);
}

// A free loop device of this machine, or "" where loop devices cannot be
// had (no privileges, no driver).
std::string freeLoopDevice() {
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) return "";
  const int n = ioctl(control, LOOP_CTL_GET_FREE);
  close(control);
  return n < 0 ? "" : "/dev/loop" + std::to_string(n);
}

TEST_F(LoopDevice, BindsTheFileFromTheOffsetAndReleasesIt) {
  std::string image(8192, 'h');
  const std::string payload = "payload behind a 4096-byte header";
  image.replace(4096, payload.size(), payload);
  writeFile("image.bin", image);

  std::string device;
  for (int attempt = 0; attempt < 5 && device.empty(); ++attempt) {
    device = freeLoopDevice();
    if (device.empty()) GTEST_SKIP() << "no loop devices here";
    // Another process may take the same device first.
    if (!attachLoopDevice(device.c_str(), path("image.bin").c_str(), 4096)) device.clear();
  }
  ASSERT_FALSE(device.empty()) << "no free loop device could be bound";
  // Released even when a check below stops the test early.
  struct Release {
    const std::string& device;
    ~Release() { detachLoopDevice(device.c_str()); }
  } release{device};

  const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char start[64] = {};
  EXPECT_EQ(pread(fd, start, payload.size(), 0), static_cast<ssize_t>(payload.size()));
  EXPECT_EQ(std::string(start, payload.size()), payload);
  struct loop_info64 info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(ioctl(fd, LOOP_GET_STATUS64, &info), 0);
  EXPECT_EQ(info.lo_offset, 4096u);
  const std::string name(reinterpret_cast<const char*>(info.lo_file_name));
  EXPECT_EQ(name, path("image.bin").substr(0, LO_NAME_SIZE - 1));
  close(fd);

  // A bound device refuses a second file.
  writeFile("other.bin", std::string(4096, 'o'));
  EXPECT_EQ(attachLoopDevice(device.c_str(), path("other.bin").c_str(), 0), 0);

  EXPECT_EQ(detachLoopDevice(device.c_str()), 1);
  EXPECT_EQ(detachLoopDevice(device.c_str()), 0);  // nothing bound any more
}

}  // namespace

#include "runtime/file/filecopy.h"

#include "support/scratch_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

class FileCopy : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    savedMask_ = umask(022);
  }
  void TearDown() override {
    umask(savedMask_);
    ScratchRoot::TearDown();
  }

  mode_t modeOf(const std::string& relative) const {
    struct stat st;
    if (stat(path(relative).c_str(), &st) != 0) return 07777;
    return st.st_mode & 07777;
  }

  static mode_t currentMask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }

 private:
  mode_t savedMask_ = 0;
};

std::string patterned(size_t length) {
  std::string s(length, 0);
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

TEST_F(FileCopy, CopiesContentsAndAccumulatesTheRawCrc) {
  for (size_t length : {0, 1, 4095, 4096, 4097, 8192, 10000}) {
    const std::string data = patterned(length);
    writeFile("src", data);
    uint32_t crc = 0xdeadbeef;
    ASSERT_EQ(copyFile(path("src").c_str(), path("dst").c_str(), &crc), 1) << length;
    EXPECT_EQ(readFile("dst"), data) << length;
    EXPECT_EQ(crc, crc32Step(0, data.data(), data.size())) << length;
    ASSERT_EQ(copyFile(path("src").c_str(), path("dst2").c_str(), nullptr), 1);
    EXPECT_EQ(readFile("dst2"), data);
  }
  // A longer existing destination is truncated.
  writeFile("src", "short");
  writeFile("dst", std::string(9000, 'z'));
  ASSERT_EQ(copyFile(path("src").c_str(), path("dst").c_str(), nullptr), 1);
  EXPECT_EQ(readFile("dst"), "short");
}

TEST_F(FileCopy, NewDestinationModeFollowsTheSourceWhateverTheMask) {
  struct Case {
    mode_t sourceMode;
    mode_t mask;
    mode_t destinationMode;
  };
  const Case cases[] = {
      {0644, 022, 0644}, {0644, 077, 0644}, {0644, 0, 0644}, {0604, 077, 0644},
      {0640, 022, 0600}, {0600, 0, 0600},   {0660, 0, 0600}, {0755, 0, 0644},
  };
  for (const Case& c : cases) {
    writeFile("src", "data");
    ASSERT_EQ(chmod(path("src").c_str(), c.sourceMode), 0);
    std::filesystem::remove(path("dst"));
    umask(c.mask);
    ASSERT_EQ(copyFile(path("src").c_str(), path("dst").c_str(), nullptr), 1);
    EXPECT_EQ(currentMask(), c.mask) << "the mask is left alone";
    EXPECT_EQ(modeOf("dst"), c.destinationMode)
        << std::oct << "source " << c.sourceMode << " mask " << c.mask;
  }
}

TEST_F(FileCopy, ExistingDestinationKeepsItsMode) {
  writeFile("src", "new contents");
  ASSERT_EQ(chmod(path("src").c_str(), 0644), 0);
  for (mode_t existing : {0600, 0640, 0666, 0444}) {
    writeFile("dst", "old");
    ASSERT_EQ(chmod(path("dst").c_str(), existing), 0);
    // A read-only destination cannot be opened for writing, except by root.
    const bool writable = (existing & 0200) || geteuid() == 0;
    EXPECT_EQ(copyFile(path("src").c_str(), path("dst").c_str(), nullptr), writable ? 1 : 0);
    EXPECT_EQ(modeOf("dst"), existing) << std::oct << existing;
    if (writable) {
      EXPECT_EQ(readFile("dst"), "new contents");
    }
    chmod(path("dst").c_str(), 0600);
  }
}

TEST_F(FileCopy, NeverTouchesTheProcessMaskWhileOtherThreadsRun) {
  writeFile("src", "private");
  ASSERT_EQ(chmod(path("src").c_str(), 0600), 0);
  umask(0);
  std::atomic<bool> done{false};
  std::atomic<int> changedMaskSeen{0};
  std::thread watcher([&] {
    // The mask as the kernel reports it, read without changing it.
    while (!done.load()) {
      FILE* status = fopen("/proc/self/status", "r");
      if (!status) break;
      char line[128];
      while (fgets(line, sizeof line, status)) {
        unsigned mask;
        if (sscanf(line, "Umask: %o", &mask) == 1 && mask != 0) changedMaskSeen.fetch_add(1);
      }
      fclose(status);
    }
  });
  for (int i = 0; i < 300; ++i) {
    const std::string dst = path("copy" + std::to_string(i % 10));
    std::filesystem::remove(dst);
    ASSERT_EQ(copyFile(path("src").c_str(), dst.c_str(), nullptr), 1);
  }
  done.store(true);
  watcher.join();
  EXPECT_EQ(changedMaskSeen.load(), 0);
  EXPECT_EQ(modeOf("copy0"), 0600u);
}

TEST_F(FileCopy, Failures) {
  uint32_t crc = 77;
  EXPECT_EQ(copyFile(path("missing").c_str(), path("dst").c_str(), &crc), 0);
  EXPECT_EQ(crc, 0u);
  EXPECT_FALSE(std::filesystem::exists(path("dst")));

  writeFile("src", "x");
  EXPECT_EQ(copyFile(path("src").c_str(), path("no/dir/dst").c_str(), nullptr), 0);
  EXPECT_EQ(copyFile(dir_.c_str(), path("dst").c_str(), nullptr), 0);  // a directory reads with an error
  EXPECT_EQ(copyFile(path("src").c_str(), "/dev/full", nullptr), 0);    // short write
}

TEST_F(FileCopy, Crc32OfFileIsTheStandardCrcAndRewinds) {
  writeFile("check", "123456789tail");
  const int fd = open(path("check").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  unsigned char buffer[4];
  EXPECT_EQ(crc32OfFile(fd, 9, sizeof buffer, buffer), 0xCBF43926u);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  EXPECT_EQ(crc32OfFile(fd, 9, 1, buffer), 0xCBF43926u);
  EXPECT_EQ(crc32OfFile(fd, 0, 4, buffer), 0u);
  EXPECT_EQ(crc32OfFile(fd, 100, sizeof buffer, buffer), 0u);  // short read
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  close(fd);

  const char check[] = "123456789";
  EXPECT_EQ(crc32Step(0xFFFFFFFFu, check, 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
}

}  // namespace

#include "runtime/file/fatattr.h"
#include "runtime/file/fileutil.h"

#include "support/scratch_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class FileUtil : public ScratchRoot {};

TEST_F(FileUtil, FileSizeOfFilesDirectoriesAndMissingPaths) {
  writeFile("empty", "");
  writeFile("five", "12345");
  EXPECT_EQ(fileSize(path("five").c_str(), nullptr, 0, nullptr), 5);
  EXPECT_EQ(fileSize(path("empty").c_str(), nullptr, 0, nullptr), 0);
  EXPECT_EQ(fileSize(dir_.c_str(), nullptr, 0, nullptr), 1);
  EXPECT_EQ(fileSize(path("missing").c_str(), nullptr, 0, nullptr), -1);

  char when[32] = "unset";
  EXPECT_EQ(fileSize(path("five").c_str(), when, sizeof when, nullptr), 5);
  struct stat st;
  ASSERT_EQ(stat(path("five").c_str(), &st), 0);
  char expected[32];
  struct tm local;
  localtime_r(&st.st_ctime, &local);
  strftime(expected, sizeof expected, "%Y-%m-%d %H:%M", &local);
  EXPECT_STREQ(when, expected);
  EXPECT_EQ(std::strlen(when), 16u);
}

TEST_F(FileUtil, ArchiveAttributeOutsideFatIsLeftUnsetAndReportsFailure) {
  writeFile("plain", "x");
  int bit = 7;
  EXPECT_EQ(fileSize(path("plain").c_str(), nullptr, 0, &bit), 1);
  EXPECT_EQ(bit, 7);

  const int fd = open(path("plain").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readArchiveBit(fd, &bit), 0);
  // The attribute request fails on this file system: that is a failure.
  EXPECT_EQ(archivBit(fd, 1), 0);
  EXPECT_EQ(archivBit(fd, 0), 0);
  close(fd);
  EXPECT_EQ(archivBit(-1, 1), 0);
  EXPECT_EQ(setArchiveBitOfFile(path("plain").c_str(), 1), 0);
  EXPECT_EQ(setArchiveBitOfFile(path("missing").c_str(), 1), 0);
}

TEST_F(FileUtil, AnonymousTempFileLivesUnderTmpWithoutAName) {
  ASSERT_EQ(mkdir(path("tmp").c_str(), 0700), 0);
  const int fd = openAnonymousTempFile();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "abc", 3), 3);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_EQ(st.st_size, 3);
  close(fd);
  EXPECT_TRUE(std::filesystem::is_empty(path("tmp")));

  // Without the directory there is no file.
  std::filesystem::remove(path("tmp"));
  EXPECT_EQ(openAnonymousTempFile(), -1);
}

TEST_F(FileUtil, ReadLastLine) {
  struct Case {
    const char* content;
    int size;
    int result;
    const char* line;
  };
  const Case cases[] = {
      {"first\nsecond\n", 13, 1, "second\n"},
      {"first\nsecond\n", 8, 1, "second\n"},
      {"first\nsecond\n", 7, 0, nullptr},   // no line feed before the last line
      {"first\nsecond\n", 14, 0, nullptr},  // file shorter than size
      {"first\nsecond", 12, 1, "second"},
      {"first\nx", 7, 0, nullptr},          // only the final byte after the line feed
      {"first\n\n", 7, 0, nullptr},          // only the final byte after the line feed
      {"header\r\nsecret\r\n", 16, 1, "secret\r\n"},
  };
  for (const Case& c : cases) {
    writeFile("f", c.content);
    const int fd = open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[64];
    EXPECT_EQ(readLastLine(fd, buffer, c.size), c.result) << c.content << " size " << c.size;
    if (c.result) {
      EXPECT_STREQ(buffer, c.line);
    }
    close(fd);
  }
}

TEST_F(FileUtil, SkimTextFileStopsAtCountAndMinimum) {
  std::string text;
  for (int i = 0; i < 10; ++i) text += "line " + std::to_string(i) + "\n";
  text += std::string(300, 'w') + "\n";  // one long line reads in pieces of 127
  writeFile("conf", text);
  const std::string p = path("conf");
  EXPECT_EQ(skimTextFile(p.c_str(), -1, 0), 13);
  EXPECT_EQ(skimTextFile(p.c_str(), 3, 0), 3);
  EXPECT_EQ(skimTextFile(p.c_str(), 3, 5), 5);
  EXPECT_EQ(skimTextFile(p.c_str(), 0, 0), 0);
  EXPECT_EQ(skimTextFile(p.c_str(), 50, 0), 13);
  EXPECT_EQ(skimTextFile(path("missing").c_str(), -1, 0), -1);
}

TEST_F(FileUtil, WriteTextFileReplacesTheWholeFile) {
  writeFile("out", "a much longer old content");
  EXPECT_EQ(writeTextFile(path("out").c_str(), "new"), 1);
  EXPECT_EQ(readFile("out"), "new");
  EXPECT_EQ(writeTextFile(path("no/such/dir/out").c_str(), "x"), 0);
  EXPECT_EQ(writeTextFile("/dev/full", "x"), 0);  // the error shows at close
}

TEST_F(FileUtil, IsSymlinkToComparesTheResolvedInode) {
  writeFile("target", "t");
  writeFile("other", "o");
  ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(symlink("target", path("relative").c_str()), 0);
  EXPECT_EQ(isSymlinkTo(path("link").c_str(), path("target").c_str()), 1);
  EXPECT_EQ(isSymlinkTo(path("relative").c_str(), path("target").c_str()), 1);
  EXPECT_EQ(isSymlinkTo(path("link").c_str(), path("other").c_str()), 0);
  EXPECT_EQ(isSymlinkTo(path("target").c_str(), path("target").c_str()), 0);  // not a link
  EXPECT_EQ(isSymlinkTo(path("missing").c_str(), path("target").c_str()), 0);
  ASSERT_EQ(symlink(path("gone").c_str(), path("dangling").c_str()), 0);
  EXPECT_EQ(isSymlinkTo(path("dangling").c_str(), path("gone").c_str()), 0);
}

TEST(DiskSpace, ComputesInBytesBeforeDividing) {
  struct Case {
    uint64_t blockSize;
    uint64_t blocks;
    uint64_t kb;
  };
  const Case cases[] = {
      {4096, 1000, 4000},
      {512, 3, 1},                              // below 1 KB blocks are not lost
      {512, 4096, 2048},
      {4096, uint64_t(1) << 32, uint64_t(1) << 34},  // 16 TiB does not wrap
      {1 << 20, uint64_t(1) << 24, uint64_t(1) << 34},
  };
  for (const Case& c : cases) EXPECT_EQ(blocksToKb(c.blockSize, c.blocks), c.kb) << c.blockSize << " x " << c.blocks;
}

TEST(DiskSpace, MatchesTheFileSystemFigures) {
  const char* dir = TEST_BINARY_DIR;
  // stat -f: fundamental block size, total blocks, free blocks.
  const std::string command = std::string("stat -f -c '%S %b %f' '") + dir + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  unsigned long long blockSize = 0, blocks = 0, freeBlocks = 0;
  const int fields = fscanf(pipe, "%llu %llu %llu", &blockSize, &blocks, &freeBlocks);
  pclose(pipe);
  ASSERT_EQ(fields, 3);

  uint64_t total = 0, free = 0;
  ASSERT_EQ(diskSpaceKb(dir, &total, &free), 1);
  EXPECT_EQ(total, blockSize * blocks / 1024);
  // Free space moves while other builds run: allow a generous margin.
  const uint64_t expectedFree = blockSize * freeBlocks / 1024;
  const uint64_t margin = 1024 * 1024;  // 1 GB
  EXPECT_LE(free, total);
  EXPECT_LE(free, expectedFree + margin);
  EXPECT_GE(free + margin, expectedFree);

  total = free = 99;
  EXPECT_EQ(diskSpaceKb("/no/such/path", &total, &free), 0);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(free, 0u);
}

}  // namespace

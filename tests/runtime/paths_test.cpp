#include "runtime/file/paths.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
  const char* in;
  const char* out;
};

TEST(Paths, MapsFixedPathsUnderTheDataRootAndKeepsOwnProcEntries) {
  std::string saved = dataRoot();
  setDataRoot("/tmp/root/");
  const PathCase cases[] = {
      {"/etc/params.dat", "/tmp/root/etc/params.dat"},
      {"/flash/software.bin", "/tmp/root/flash/software.bin"},
      {"/dev/gpio", "/tmp/root/dev/gpio"},
      {"/proc/sys/vm/dirty_expire_centisecs", "/tmp/root/proc/sys/vm/dirty_expire_centisecs"},
      {"/proc/product_params", "/tmp/root/proc/product_params"},
      {"/proc/scsi/scsi", "/tmp/root/proc/scsi/scsi"},
      {"/proc/self/status", "/proc/self/status"},
      {"/proc/1234/status", "/proc/1234/status"},
      {"/proc/stat", "/proc/stat"},
      {"/proc/meminfo", "/proc/meminfo"},
      {"/proc/statistics", "/tmp/root/proc/statistics"},
      {"relative/file", "relative/file"},
  };
  for (const PathCase& c : cases) EXPECT_EQ(mapPath(c.in), c.out) << c.in;

  setDataRoot("/");
  EXPECT_EQ(mapPath("/etc/params.dat"), "/etc/params.dat");
  setDataRoot(saved.c_str());
}

}  // namespace

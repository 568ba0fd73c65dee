#include "runtime/system/kernelsettings.h"
#include "runtime/system/netconsole.h"
#include "runtime/system/stickdata.h"

#include "support/scratch_root.h"

#include <sys/stat.h>

namespace {

class KernelSettings : public ScratchRoot {};

TEST_F(KernelSettings, WriteTheirValuesUnderTheDataRoot) {
  std::filesystem::create_directories(path("proc/sys/vm"));
  std::filesystem::create_directories(path("proc/sys/net/ipv4/conf/default"));
  std::filesystem::create_directories(path("proc/scsi"));

  EXPECT_EQ(setSwappiness(160), 1);
  EXPECT_EQ(readFile("proc/sys/vm/swappiness"), "60");
  EXPECT_EQ(setSwappiness(30), 1);
  EXPECT_EQ(readFile("proc/sys/vm/swappiness"), "30");
  EXPECT_EQ(setForceIgmpVersion(2), 1);
  EXPECT_EQ(readFile("proc/sys/net/ipv4/conf/default/force_igmp_version"), "2");
  EXPECT_EQ(setMinFreeKbytes(4096), 1);
  EXPECT_EQ(readFile("proc/sys/vm/min_free_kbytes"), "4096");
  EXPECT_EQ(rescanScsiBus(), 1);
  EXPECT_EQ(readFile("proc/scsi/scsi"), "scsi add-single-device 0 0 0 0");
}

TEST_F(KernelSettings, FailWhenTheFileCannotBeWritten) {
  EXPECT_EQ(setSwappiness(10), 0);
  EXPECT_EQ(setMinFreeKbytes(10), 0);
  EXPECT_EQ(rescanScsiBus(), 0);
}

class Netconsole : public ScratchRoot {
 protected:
  const NetconsoleTarget target_{"eth0", "192.0.2.9", "192.0.2.1", "6666", "00:11:22:33:44:55"};
  const std::string dirName_ = "sys/kernel/config/netconsole/target1/";
};

TEST_F(Netconsole, WritesTheTargetAndEnablesIt) {
  for (const char* enabled : {"1\n", "0\n"}) {
    writeFile(dirName_ + "enabled", enabled);
    ASSERT_EQ(setupNetconsole(target_), 1);
    EXPECT_EQ(readFile(dirName_ + "dev_name"), "eth0");
    EXPECT_EQ(readFile(dirName_ + "remote_ip"), "192.0.2.9");
    EXPECT_EQ(readFile(dirName_ + "local_ip"), "192.0.2.1");
    EXPECT_EQ(readFile(dirName_ + "remote_port"), "6666");
    EXPECT_EQ(readFile(dirName_ + "remote_mac"), "00:11:22:33:44:55");
    EXPECT_EQ(readFile(dirName_ + "enabled"), "1");
  }
}

TEST_F(Netconsole, FailsOnAnEmptyOrMissingSwitch) {
  writeFile(dirName_ + "enabled", "");
  EXPECT_EQ(setupNetconsole(target_), 0);
  std::filesystem::remove(path(dirName_ + "enabled"));
  EXPECT_EQ(setupNetconsole(target_), 0);
  EXPECT_FALSE(std::filesystem::exists(path(dirName_ + "dev_name")));
}

class StickData : public ScratchRoot {};

TEST_F(StickData, NothingMountsWithoutADevice) {
  std::filesystem::create_directories(path("mnt"));
  EXPECT_EQ(mountStickData(), 0);
  EXPECT_FALSE(std::filesystem::exists(path("mnt/data")));
}

}  // namespace


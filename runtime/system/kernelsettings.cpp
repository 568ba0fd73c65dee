#include "runtime/system/kernelsettings.h"

#include "runtime/file/fileutil.h"
#include "runtime/file/paths.h"

#include <cstdio>

namespace {

int writeNumber(const char* fixedPath, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return writeTextFile(mapPath(fixedPath).c_str(), text);
}

}  // namespace

int setSwappiness(int value) { return writeNumber("/proc/sys/vm/swappiness", value % 100); }

int setForceIgmpVersion(int value) {
  return writeNumber("/proc/sys/net/ipv4/conf/default/force_igmp_version", value);
}

int setMinFreeKbytes(int value) { return writeNumber("/proc/sys/vm/min_free_kbytes", value); }

int rescanScsiBus() { return writeTextFile(mapPath("/proc/scsi/scsi").c_str(), "scsi add-single-device 0 0 0 0"); }

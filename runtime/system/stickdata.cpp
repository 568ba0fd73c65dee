#include "runtime/system/stickdata.h"

#include "runtime/file/dirlist.h"
#include "runtime/file/paths.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

int mountStickData() {
  static const char* const kDevices[] = {"/dev/sda1", "/dev/sda2", "/dev/sdb1", "/dev/sdb2"};
  const std::string mountPoint = mapPath("/mnt");
  bool mounted = false;
  for (const char* device : kDevices) {
    if (mount(mapPath(device).c_str(), mountPoint.c_str(), "vfat", MS_SYNCHRONOUS, nullptr) == 0) {
      mounted = true;
      break;
    }
  }
  if (!mounted) return 0;
  const std::string data = mapPath("/mnt/data");
  struct stat st;
  if (stat(data.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    DirList list(skipHiddenEntry);
    list.deleteEntries(data.c_str(), 1);
  } else {
    mkdir(data.c_str(), 0755);
  }
  return 1;
}

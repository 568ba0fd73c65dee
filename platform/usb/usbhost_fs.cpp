#include "platform/usb/usbhost_fs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "runtime/file/paths.h"

bool ensureOpenDirectory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  // The mode is set explicitly: the umask of the process stays as it is.
  ::chmod(path.c_str(), 0777);
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int prepareUsbNodeDirectories() {
  struct stat st;
  if (::stat(mapPath("/dev/bus/usb/").c_str(), &st) == 0) return 1;
  // Only a data root can lack "/dev" itself; it gets an ordinary mode.
  if (::mkdir(mapPath("/dev").c_str(), 0755) != 0 && errno != EEXIST) return 0;
  if (!ensureOpenDirectory(mapPath("/dev/bus"))) return 0;
  return ensureOpenDirectory(mapPath("/dev/bus/usb")) ? 1 : 0;
}

bool ensureUsbBusDirectory(int busnum) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "/dev/bus/usb/%03d", busnum);
  return ensureOpenDirectory(mapPath(tail));
}

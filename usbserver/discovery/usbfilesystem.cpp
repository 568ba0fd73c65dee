#include "usbserver/discovery/usbfilesystem.h"

#include <cstdio>
#include <cstring>

#include "platform/usb/usbhost.h"
#include "runtime/file/paths.h"

namespace {

// True when a line of the file contains text.
bool fileHasLineWith(const char* fixedPath, const char* text) {
  std::FILE* f = std::fopen(mapPath(fixedPath).c_str(), "r");
  if (!f) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) found = std::strstr(line, text) != nullptr;
  std::fclose(f);
  return found;
}

}  // namespace

int prepareUsbDeviceFilesystem() { return usbHost().prepareUsbDeviceFilesystem() == 1 ? 1 : 0; }

int isMountedInProcMounts(const char* text) {
  return text && fileHasLineWith("/proc/mounts", text) ? 0 : -1;
}

const char* findUsbfsFilesystemName() {
  if (fileHasLineWith("/proc/filesystems", "usbfs")) return "usbfs";
  if (fileHasLineWith("/proc/filesystems", "usbdevfs")) return "usbdevfs";
  return nullptr;
}

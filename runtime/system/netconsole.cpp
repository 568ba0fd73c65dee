#include "runtime/system/netconsole.h"

#include "runtime/file/fileutil.h"
#include "runtime/file/paths.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeTarget(const std::string& target) {
  const std::string configfs = mapPath("/sys/kernel/config");
  if (mount("configfs", configfs.c_str(), "configfs", 0, nullptr) != 0 && errno != EBUSY) return false;
  return mkdir(target.c_str(), 0755) == 0 || errno == EEXIST;
}

// The "enabled" switch: -1 when empty or unreadable, else its value.
int readEnabled(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return -1;
  char text[16];
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  if (!read || text[0] == 0 || text[0] == '\n') return -1;
  return std::atoi(text);
}

bool writeSetting(const std::string& target, const char* name, const char* value) {
  return writeTextFile((target + "/" + name).c_str(), value ? value : "") == 1;
}

}  // namespace

int setupNetconsole(const NetconsoleTarget& settings) {
  const std::string target = mapPath("/sys/kernel/config/netconsole/target1");
  if (!isDirectory(target) && !makeTarget(target)) return 0;
  const int enabled = readEnabled(target + "/enabled");
  if (enabled < 0) return 0;
  if (enabled != 0 && !writeSetting(target, "enabled", "0")) return 0;
  if (!writeSetting(target, "dev_name", settings.deviceName)) return 0;
  if (!writeSetting(target, "remote_ip", settings.remoteIp)) return 0;
  if (!writeSetting(target, "local_ip", settings.localIp)) return 0;
  if (!writeSetting(target, "remote_port", settings.remotePort)) return 0;
  if (!writeSetting(target, "remote_mac", settings.remoteMac)) return 0;
  return writeSetting(target, "enabled", "1") ? 1 : 0;
}

// The parts of the USB host that both implementations share: the sysfs
// device directory is read as plain files (the simulated host writes the
// same files into the data root) and the node paths are the same.
#include "platform/usb/usbhost.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "runtime/file/paths.h"

namespace {

// Escapes the characters glob would take as a pattern, so a data root
// with unusual characters is matched literally.
std::string globEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// An unreadable directory does not stop the expansion.
int ignoreGlobError(const char*, int) { return 0; }

}  // namespace

std::string UsbHost::sysfsDevicesDir() { return mapPath("/sys/bus/usb/devices"); }

int UsbHost::listSysfsDevices(std::vector<std::string>& paths) {
  paths.clear();
  const std::string dir = sysfsDevicesDir();
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  const std::string pattern = globEscape(dir) + "/[1-9]*";
  glob_t found{};
  int rc = ::glob(pattern.c_str(), 0, ignoreGlobError, &found);
  if (rc == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  ::globfree(&found);
  if (rc != 0 && rc != GLOB_NOMATCH) return rc == GLOB_NOSPACE ? -ENOMEM : -EIO;
  return static_cast<int>(paths.size());
}

int UsbHost::readSysfsAttribute(const std::string& devicePath, const char* name, char* out, size_t size) {
  if (!name || (!out && size)) return -EINVAL;
  const std::string path = devicePath + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -errno;
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return got ? static_cast<int>(got) : -err;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return static_cast<int>(got);
}

bool UsbHost::hasSysfsAttribute(const std::string& devicePath, const char* name) {
  if (!name) return false;
  const std::string path = devicePath + "/" + name;
  return ::access(path.c_str(), F_OK) == 0;
}

std::string UsbHost::deviceNodePath(int busnum, int devnum) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "/dev/bus/usb/%03d/%03d", busnum, devnum);
  return mapPath(tail);
}

int UsbHost::removeDeviceNode(int busnum, int devnum) {
  const std::string path = deviceNodePath(busnum, devnum);
  return ::unlink(path.c_str()) == 0 ? 1 : 0;
}

#include "snmp/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

bool replacePrivateFile(const std::string& path, const std::string& text) {
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);
  // mkstemp creates the file 0600 regardless of the umask.
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    std::perror(path.c_str());
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      ok = false;
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.data(), path.c_str()) != 0) ok = false;
  if (!ok) {
    std::perror(path.c_str());
    ::unlink(temp.data());
  }
  return ok;
}

#include "runtime/file/direntry.h"

#include "runtime/file/paths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr int kExtensionSlots = 32;
constexpr int kExtensionLength = 7;
constexpr unsigned char kEndOfList = 255;

struct ExtensionEntry {
  unsigned char length;
  char text[kExtensionLength];
};

std::mutex extensionMutex;
ExtensionEntry extensions[kExtensionSlots] = {{kEndOfList, {}}};

bool isBlankOrEnd(char c) { return c == 0 || c == ' ' || c == '\t'; }

}  // namespace

const char* DirEntry::name() const { return entry_ ? entry_->d_name : nullptr; }

bool DirEntry::isHidden() const { return !entry_ || entry_->d_name[0] == '.'; }

bool DirEntry::isDirectory() const { return !isHidden() && entry_->d_type == DT_DIR; }

bool DirEntry::isFile() const { return !isHidden() && entry_->d_type != DT_DIR; }

bool DirEntry::hasListedExtension() const {
  if (!isFile()) return false;
  const char* dot = std::strrchr(entry_->d_name, '.');
  const char* extension = dot ? dot + 1 : "";
  const size_t length = std::strlen(extension);
  std::lock_guard<std::mutex> lock(extensionMutex);
  for (int i = 0; i < kExtensionSlots && extensions[i].length != kEndOfList; ++i) {
    if (extensions[i].length == length && strncasecmp(extensions[i].text, extension, length) == 0) return true;
  }
  return false;
}

bool DirEntry::isDirOrListedFile() const { return isDirectory() || hasListedExtension(); }

int setFileExtensionList(const char* text) {
  std::lock_guard<std::mutex> lock(extensionMutex);
  int count = 0;
  for (const char* p = text ? std::strchr(text, '.') : nullptr; p && count < kExtensionSlots - 1;
       p = std::strchr(p, '.')) {
    ++p;
    const char* end = p;
    while (*end != '.' && !isBlankOrEnd(*end)) ++end;
    size_t length = static_cast<size_t>(end - p);
    if (length > kExtensionLength) length = kExtensionLength;
    extensions[count].length = static_cast<unsigned char>(length);
    std::memcpy(extensions[count].text, p, length);
    ++count;
    p = end;
  }
  extensions[count].length = kEndOfList;
  return count;
}

void clearFileExtensionList() {
  std::lock_guard<std::mutex> lock(extensionMutex);
  extensions[0].length = kEndOfList;
}

int skipHiddenEntry(const struct dirent* entry) {
  return entry && entry->d_name[0] != 0 && entry->d_name[0] != '.' ? 1 : 0;
}

int dirsFirstAlphaSort(const struct dirent** a, const struct dirent** b) {
  if (!a || !b || !*a || !*b) return 0;
  const bool aDir = (*a)->d_type == DT_DIR;
  const bool bDir = (*b)->d_type == DT_DIR;
  if (aDir != bDir) return aDir ? -1 : 1;
  return alphasort(a, b);
}

int compareDataFileTimes(const struct dirent* a, const struct dirent* b) {
  if (!a || !b) return 0;
  const std::string dir = mapPath("/mnt/data") + "/";
  struct stat sa, sb;
  if (stat((dir + a->d_name).c_str(), &sa) != 0 || stat((dir + b->d_name).c_str(), &sb) != 0) return 0;
  return static_cast<int>(sb.st_ctime - sa.st_ctime);
}

int byDataFileTime(const struct dirent** a, const struct dirent** b) {
  if (!a || !b) return 0;
  return compareDataFileTimes(*a, *b);
}

int globErr(const char* path, int error) {
  errno = error;
  std::fprintf(stderr, "% 4d %s(%s,%d) %m\n", 613, "globErr", path ? path : "", error);
  return 0;
}

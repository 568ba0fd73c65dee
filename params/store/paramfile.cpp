// The parameter file "/etc/params.dat" and its card mirror: one line per
// saved parameter, " %*s = value", keys right-aligned to the longest.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "params/store/commiteffects.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "params/types/paramflags.h"
#include "runtime/file/paths.h"

namespace {

const char kParamFile[] = "/etc/params.dat";
const char kCardDirectory[] = "/var/slot1";
const char kCardMirror[] = "/var/slot1/params.dat";
const char kCardBackup[] = "/var/slot1/params.bup";

// The loader reads lines of at most this many bytes (longer ones in pieces).
constexpr int kLineBuffer = 320;

// Medium state "mounted read-write".
constexpr int kMediumReadWrite = 3;

bool isSaved(const Param& p) { return !(p.flags() & (PF_HIDDEN | PF_VOLATILE)); }

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Replaces the file at path by data: written to one fixed temporary name
// beside it (mode 0600), synced, renamed over the old file, and the
// directory synced. 0, or -1 with the old file untouched.
int replaceFile(const std::string& path, const char* data, size_t size) {
  const std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data, size) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return -1;
  }
  int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  ok = ::fsync(dir) == 0;
  ::close(dir);
  return ok ? 0 : -1;
}

}  // namespace

int ParamStore::save(const char* path) {
  ensureFilled();
  std::lock_guard<std::mutex> lock(fileMutex_);

  int width = 0;
  for (int i = 0; i < count_; ++i) {
    if (isSaved(*items_[i])) width = std::max(width, static_cast<int>(std::strlen(items_[i]->key())));
  }
  char* data = nullptr;
  size_t size = 0;
  FILE* text = open_memstream(&data, &size);
  if (text == nullptr) return -1;
  bool ok = true;
  for (int i = 0; i < count_ && ok; ++i) {
    Param* p = items_[i];
    if (!isSaved(*p)) continue;
    ok = std::fprintf(text, " %*s = ", width, p->key()) >= 0 && p->print(text) >= 0 && std::fputc('\n', text) != EOF;
  }
  if (std::fclose(text) != 0) ok = false;
  int result = ok ? replaceFile(mapPath(path), data, size) : -1;

  if (result == 0) {
    IntParam* features = findInt("sw_features");
    bool mirror = features != nullptr && (static_cast<uint32_t>(features->value()) & FEATURE_SDBACKUP) &&
                  onOff("autoSync") && commitEffects().storageMediumState() == kMediumReadWrite;
    if (mirror) {
      if (replaceFile(mapPath(kCardMirror), data, size) != 0) {
        result = -1;
      } else {
        commitEffects().writeSlot1InfoLog(kCardDirectory);
        ::sync();
      }
    }
  }
  std::free(data);
  return result;
}

int ParamStore::load(FILE* in) {
  char line[kLineBuffer];
  int changes = 0;
  while (std::fgets(line, sizeof line, in) != nullptr) {
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = '\0';
    if (n < 4) continue;
    char* key = line;
    while (*key == ' ' || *key == '\t') ++key;
    char* keyEnd = key;
    while (*keyEnd != '\0' && *keyEnd != '=' && *keyEnd != ' ' && *keyEnd != '\t') ++keyEnd;
    Param* p = find(key, static_cast<int>(keyEnd - key), NO_INDEX);
    if (p == nullptr) continue;
    char* equals = std::strchr(keyEnd, '=');
    if (equals == nullptr) continue;
    char* value = equals + 1;
    while (*value == ' ' || *value == '\t') ++value;
    char* end = value + std::strlen(value);
    while (end > value && (end[-1] == ' ' || end[-1] == '\t')) --end;
    changes |= p->set(value, static_cast<int>(end - value));
  }
  return changes != 0 ? 1 : 0;
}

int ParamStore::loadFile(const char* path) {
  int result = 0;
  if (FILE* in = std::fopen(mapPath(path).c_str(), "re")) {
    result = load(in);
    std::fclose(in);
  }
  // Older software kept restricted access as the user name "switchon".
  OnOffParam* sessionKeys = findOnOff("sessKeys");
  StringParam* anyName = findString("any_name");
  if (sessionKeys != nullptr && anyName != nullptr && sessionKeys->isOff() && anyName->textEquals("switchon")) {
    sessionKeys->setChecked(1);
    anyName->set("User");
  }
  return result;
}

int ParamStore::loadFromFd(int* fd) {
  if (fd == nullptr || *fd < 0) return -1;
  FILE* in = ::fdopen(*fd, "r");
  if (in == nullptr) {
    ::close(*fd);
    *fd = -1;
    return -1;
  }
  *fd = -1;
  int result = load(in);
  std::fclose(in);
  return result;
}

int ParamStore::deleteParamFiles() {
  ensureFilled();
  std::lock_guard<std::mutex> lock(fileMutex_);
  const std::string file = mapPath(kParamFile);
  int removed = ::unlink(file.c_str()) == 0 ? 1 : 0;
  ::unlink((file + ".tmp").c_str());
  if (onOff("autoSync")) {
    ::rename(mapPath(kCardMirror).c_str(), mapPath(kCardBackup).c_str());
    ::sync();
  }
  return removed;
}

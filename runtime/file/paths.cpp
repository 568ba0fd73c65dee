#include "runtime/file/paths.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

const char kDataRootEnv[] = "APPLIANCE_ROOT";

namespace {

std::string& rootStorage() {
  static std::string root;
  return root;
}

std::once_flag envOnce;
bool rootSetExplicitly = false;

void normalise(std::string& root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
}

void loadFromEnvironment() {
  std::call_once(envOnce, [] {
    if (rootSetExplicitly) return;
    const char* env = std::getenv(kDataRootEnv);
    if (env && *env) {
      rootStorage() = env;
      normalise(rootStorage());
    }
  });
}

}  // namespace

bool isRealProcPath(const char* path) {
  if (std::strncmp(path, "/proc/", 6) != 0) return false;
  const char* rest = path + 6;
  // Per-process entries: /proc/self, /proc/thread-self, /proc/<pid>.
  if (std::strncmp(rest, "self", 4) == 0 && (rest[4] == '/' || rest[4] == 0)) return true;
  if (std::strncmp(rest, "thread-self", 11) == 0 && (rest[11] == '/' || rest[11] == 0)) return true;
  if (std::isdigit(static_cast<unsigned char>(*rest))) return true;
  // System-wide load and memory figures are read, never written.
  static const char* const kShared[] = {"stat", "meminfo", "loadavg", "uptime", "partitions", "net/", nullptr};
  for (const char* const* p = kShared; *p; ++p) {
    size_t n = std::strlen(*p);
    if (std::strncmp(rest, *p, n) == 0 && ((*p)[n - 1] == '/' || rest[n] == 0)) return true;
  }
  return false;
}

std::string mapPath(const char* fixedPath) {
  if (!fixedPath) return std::string();
  loadFromEnvironment();
  const std::string& root = rootStorage();
  if (fixedPath[0] != '/' || root.empty() || isRealProcPath(fixedPath)) return fixedPath;
  return root + fixedPath;
}

std::string dataRoot() {
  loadFromEnvironment();
  return rootStorage();
}

void setDataRoot(const char* root) {
  rootSetExplicitly = true;
  loadFromEnvironment();
  rootStorage() = root ? root : "";
  normalise(rootStorage());
}

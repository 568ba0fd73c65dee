#include "web/sessions/sessiontable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/param.h"
#include "runtime/file/paths.h"
#include "runtime/task/uptime.h"
#include "runtime/text/randomkey.h"

SessionTable sessionTable;

namespace {

// Offsets inside a row of the image.
constexpr size_t kKeyAt = 0;
constexpr size_t kLevelAt = 20;
constexpr size_t kLastAccessAt = 24;
constexpr size_t kLoginAt = 32;
constexpr size_t kNamePointerAt = 40;
constexpr size_t kInUseAt = 44;

void put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void put64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

uint64_t get64(const uint8_t* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

// The user name a restored row shows: the current name of its level.
std::string userNameOfLevel(int32_t level) {
  Param* name = paramStore.find(level == kSessionAdmin ? "admin_name" : "any_name");
  return name != nullptr ? name->displayText() : std::string();
}

bool writeWhole(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int64_t sessionIdleLimitSeconds() {
  Param* timer = paramStore.find("sessKeyTimer");
  if (timer == nullptr || !timer->isOn()) return 0;
  IntParam* timeout = paramStore.findInt("sessKeyTimeout");
  return timeout != nullptr && timeout->value() > 0 ? timeout->value() : 0;
}

void SessionEntry::clear() {
  inUse = kSessionFree;
  level = 0;
  lastAccess = 0;
  loginTime = 0;
  name[0] = '\0';
  std::memset(key, 0, 4);
  key[kSessionKeyLength] = '\0';
}

bool SessionEntry::fill(int32_t inUseValue, const char* userName, int32_t newLevel, int64_t now) {
  char fresh[kSessionKeyLength];
  if (!randomAlnum(fresh, kSessionKeyLength)) {
    clear();
    return false;
  }
  std::memcpy(key, fresh, kSessionKeyLength);
  key[kSessionKeyLength] = '\0';
  std::snprintf(name, sizeof name, "%s", userName != nullptr ? userName : "");
  level = newLevel;
  inUse = inUseValue;
  lastAccess = loginTime = now;
  return true;
}

int SessionEntry::expireIfIdle(int64_t now) {
  const int64_t limit = sessionIdleLimitSeconds();
  if (limit == 0) return 0;
  if ((now - lastAccess) / 100 <= limit) return 0;
  clear();
  return 1;
}

SessionTable::SessionTable() {
  for (SessionEntry& row : rows_) row.clear();
}

void SessionTable::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (SessionEntry& row : rows_) row.clear();
}

int SessionTable::findLocked(const char* key, int touch, int64_t now) {
  if (key == nullptr || !isSessionKey(key, std::strlen(key))) return -1;
  for (int i = 0; i < kSessionRows; ++i) {
    SessionEntry& row = rows_[i];
    if (!row.live() || !equalSecret(row.key, key)) continue;
    if (row.expireIfIdle(now)) return -2;
    if (touch) row.lastAccess = now;
    return i;
  }
  return -1;
}

int SessionTable::findByKey(const char* key, int touch, SessionEntry* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int row = findLocked(key, touch, uptimeCs());
  if (row >= 0 && out != nullptr) *out = rows_[row];
  return row;
}

// Administrators never take rows 0 and 1, so users always find room there;
// a full table gives the row with the oldest last access among those of the
// new login's level or below (the first of equal ones), so a user never
// pushes an administrator out.
int SessionTable::create(int32_t level, const char* name, SessionEntry* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int row = createLocked(level, name);
  if (row >= 0 && out != nullptr) *out = rows_[row];
  return row;
}

int SessionTable::createLocked(int32_t level, const char* name) {
  const int64_t now = uptimeCs();
  if (level == kSessionReserved)
    return rows_[kSessionReservedRow].fill(level, name, level, now) ? kSessionReservedRow : -1;
  if (level != kSessionUser && level != kSessionAdmin) return -1;
  const int first = level == kSessionAdmin ? 2 : 0;
  for (int i = first; i < kSessionLoginRows; ++i) {
    SessionEntry& row = rows_[i];
    if (row.live() && !row.expireIfIdle(now)) continue;
    return row.fill(level, name, level, now) ? i : -1;
  }
  int oldest = -1;
  for (int i = first; i < kSessionLoginRows; ++i) {
    const SessionEntry& row = rows_[i];
    if (row.level > level) continue;
    if (oldest < 0 || row.lastAccess < rows_[oldest].lastAccess) oldest = i;
  }
  if (oldest < 0) return -1;
  return rows_[oldest].fill(level, name, level, now) ? oldest : -1;
}

void SessionTable::countLive(int* admins, int* users) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = uptimeCs();
  int a = 0;
  int u = 0;
  for (int i = 0; i < kSessionLoginRows; ++i) {
    SessionEntry& row = rows_[i];
    if (!row.live() || row.expireIfIdle(now)) continue;
    if (row.level == kSessionAdmin) ++a;
    if (row.level == kSessionUser) ++u;
  }
  if (admins != nullptr) *admins = a;
  if (users != nullptr) *users = u;
}

int SessionTable::removeByKeyOrName(const char* key, const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = uptimeCs();
  if (key != nullptr) {
    const int row = findLocked(key, 1, now);
    if (row < 0) return 0;
    rows_[row].clear();
    return 1;
  }
  if (name == nullptr) return 0;
  int removed = 0;
  for (int i = 0; i < kSessionLoginRows; ++i) {
    SessionEntry& row = rows_[i];
    if (!row.live() || row.expireIfIdle(now)) continue;
    if (std::strcmp(row.name, name) != 0) continue;
    row.clear();
    ++removed;
  }
  return removed;
}

bool SessionTable::rowInfo(int row, SessionEntry* out) {
  if (row < 0 || row >= kSessionRows) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  SessionEntry& entry = rows_[row];
  if (!entry.live() || entry.expireIfIdle(uptimeCs())) return false;
  if (out != nullptr) *out = entry;
  return true;
}

void SessionTable::toImage(uint8_t* image) const {
  std::memset(image, 0, kSessionImageSize);
  put32(image, kSessionImageMagic);
  for (int i = 0; i < kSessionRows; ++i) {
    const SessionEntry& row = rows_[i];
    uint8_t* at = image + 8 + i * kSessionRowImageSize;
    std::memcpy(at + kKeyAt, row.key, kSessionKeyLength);
    put32(at + kLevelAt, static_cast<uint32_t>(row.level));
    put64(at + kLastAccessAt, static_cast<uint64_t>(row.lastAccess));
    put64(at + kLoginAt, static_cast<uint64_t>(row.loginTime));
    put32(at + kNamePointerAt, 0);  // the name is restored from the parameters
    put32(at + kInUseAt, static_cast<uint32_t>(row.inUse));
  }
}

bool SessionTable::fromImage(const uint8_t* image, size_t size, int64_t now) {
  if (image == nullptr || size != kSessionImageSize || get32(image) != kSessionImageMagic) return false;
  for (int i = 0; i < kSessionRows; ++i) {
    const uint8_t* at = image + 8 + i * kSessionRowImageSize;
    SessionEntry& row = rows_[i];
    row.clear();
    const int32_t inUse = static_cast<int32_t>(get32(at + kInUseAt));
    const int32_t level = static_cast<int32_t>(get32(at + kLevelAt));
    // Only login rows come back; the reserved row is never restored.
    if (i >= kSessionLoginRows || inUse == kSessionFree) continue;
    if (inUse != level || (level != kSessionUser && level != kSessionAdmin)) continue;
    if (!isSessionKey(reinterpret_cast<const char*>(at + kKeyAt), kSessionKeyLength)) continue;
    std::memcpy(row.key, at + kKeyAt, kSessionKeyLength);
    row.key[kSessionKeyLength] = '\0';
    row.level = level;
    row.inUse = inUse;
    // Stored times are ages before the save; the new clock started at 0.
    row.lastAccess = static_cast<int64_t>(get64(at + kLastAccessAt));
    row.loginTime = static_cast<int64_t>(get64(at + kLoginAt));
    // A last access in the future was never made relative: it belongs to
    // an earlier run and means nothing on this clock.
    if (row.lastAccess > now || row.expireIfIdle(now)) {
      row.clear();
      continue;
    }
    std::snprintf(row.name, sizeof row.name, "%s", userNameOfLevel(level).c_str());
  }
  return true;
}

int SessionTable::save(const char* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = uptimeCs();
  for (int i = 0; i < kSessionRows; ++i) {
    SessionEntry& row = rows_[i];
    if (!row.live()) continue;
    if (i >= kSessionLoginRows || row.expireIfIdle(now)) {
      row.clear();
      continue;
    }
    row.lastAccess -= now;
    row.loginTime -= now;
  }
  uint8_t image[kSessionImageSize];
  toImage(image);
  // The rows are not used after saving; making them absolute again keeps
  // the table right should a caller go on using it.
  for (int i = 0; i < kSessionLoginRows; ++i) {
    if (!rows_[i].live()) continue;
    rows_[i].lastAccess += now;
    rows_[i].loginTime += now;
  }
  const std::string target = mapPath(path);
  const std::string temporary = target + ".tmp";
  // The image holds live keys: only the owner may read it.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  bool ok = ::fchmod(fd, 0600) == 0 && writeWhole(fd, image, sizeof image) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  std::memset(image, 0, sizeof image);
  return ok ? 1 : 0;
}

int SessionTable::load(const char* path, int kickOff) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string mapped = mapPath(path);
  uint8_t image[kSessionImageSize + 1];
  ssize_t got = -1;
  if (kickOff != 0) {
    const int fd = ::open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      got = 0;
      // One byte more than the image shows a longer file.
      while (got < static_cast<ssize_t>(sizeof image)) {
        const ssize_t n = ::read(fd, image + got, sizeof image - static_cast<size_t>(got));
        if (n <= 0) break;
        got += n;
      }
      ::close(fd);
    }
  }
  const bool loaded = got == static_cast<ssize_t>(kSessionImageSize) &&
                      fromImage(image, kSessionImageSize, uptimeCs());
  std::memset(image, 0, sizeof image);
  if (loaded) return 1;
  ::unlink(mapped.c_str());
  for (int i = 0; i < kSessionLoginRows; ++i) rows_[i].clear();
  return 0;
}

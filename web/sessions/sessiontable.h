// Web sessions: up to 16 logins (and one reserved row) in a fixed table
// whose byte image is the file "/var/sessions.raw", so that logged-in
// browsers survive a restart of the program.
//
// Times are program-clock values (1/100 s). Each operation runs as one unit
// under the table's own lock.
#ifndef WEB_SESSIONS_SESSIONTABLE_H
#define WEB_SESSIONS_SESSIONTABLE_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "web/sessions/sessioncookie.h"

constexpr int kSessionRows = 17;
constexpr int kSessionLoginRows = 16;
constexpr int kSessionReservedRow = 16;
constexpr int32_t kSessionFree = -1;
constexpr uint32_t kSessionImageMagic = 0x00010030;
// Magic, a reserved word and 17 rows of 48 bytes.
constexpr size_t kSessionRowImageSize = 48;
constexpr size_t kSessionImageSize = 8 + kSessionRows * kSessionRowImageSize;  // 824
constexpr int kSessionNameSize = 65;
constexpr const char* kSessionFile = "/var/sessions.raw";

// Session levels.
constexpr int32_t kSessionUser = 2;
constexpr int32_t kSessionAdmin = 3;
constexpr int32_t kSessionReserved = 4;

struct SessionEntry {
  char key[kSessionKeyLength + 1];  // 16 characters of 0-9, A-Z, a-z
  int32_t level;
  int64_t lastAccess;
  int64_t loginTime;
  char name[kSessionNameSize];  // the user name of the login
  int32_t inUse;                // kSessionFree, or the level of a live row

  void clear();
  // Takes the row for a new login now: a fresh random key, both times now.
  // False (row cleared) when no random key could be drawn.
  bool fill(int32_t inUseValue, const char* userName, int32_t newLevel, int64_t now);
  // Clears the row when it was idle longer than the session time-out
  // ("sessKeyTimer", "sessKeyTimeout"); 1 when it did.
  int expireIfIdle(int64_t now);
  bool live() const { return inUse != kSessionFree; }
};

// The idle limit in seconds, 0 when sessions never expire.
int64_t sessionIdleLimitSeconds();

class SessionTable {
 public:
  SessionTable();

  // The first live row with this key: the row, -2 when it had expired
  // (then cleared), -1 when none. With touch its last access becomes now.
  // With out, a copy of the row found, taken in the same unit as the lookup.
  int findByKey(const char* key, int touch, SessionEntry* out = nullptr);
  // A row for a new login (see the eviction rules in the .cpp); -1 when
  // no row may be taken or no key could be drawn. With out, a copy of the
  // new row.
  int create(int32_t level, const char* name, SessionEntry* out = nullptr);
  // Live rows 0-15 of administrators and of users; expired rows are cleared.
  void countLive(int* admins, int* users);
  // With a key: clears its row, 1 (0 when none). Else with a name: clears
  // every live login row of that user, their number.
  int removeByKeyOrName(const char* key, const char* name);
  // A copy of a live, not expired row; false otherwise.
  bool rowInfo(int row, SessionEntry* out);
  // Every row free.
  void reset();

  // Writes the image to path (through a temporary file, mode 0600): expired
  // rows are cleared first, live times become ages (negative). 1 or 0.
  int save(const char* path);
  // Reads the image back unless kickOff is 0 (a first start). Without a
  // valid image the file is removed and every login row starts free: 0.
  // Rows whose last access lies in the future or that expired meanwhile
  // are cleared; live rows get their user names back: 1.
  int load(const char* path, int kickOff);

  // The image of the table (kSessionImageSize bytes), times as stored.
  void toImage(uint8_t* image) const;
  // Takes an image; false (table unchanged) when size or magic are wrong.
  // Rows that are not well-formed are cleared.
  bool fromImage(const uint8_t* image, size_t size, int64_t now);

 private:
  int createLocked(int32_t level, const char* name);
  int findLocked(const char* key, int touch, int64_t now);
  mutable std::mutex mutex_;
  SessionEntry rows_[kSessionRows];
};

// The program's sessions.
extern SessionTable sessionTable;

#endif

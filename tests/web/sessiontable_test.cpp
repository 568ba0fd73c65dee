// The session table: eviction order of logins, idle expiry on the moved
// program clock, and the session image across a restart.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/task/uptime.h"
#include "support/scratch_root.h"
#include "web/sessions/sessiontable.h"
#include "web/support/param_guard.h"

namespace {

using webtest::ParamGuard;

constexpr int64_t kSecond = 100;

class SessionTableTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    std::filesystem::create_directories(path("var"));
    resetUptimeForTesting();
    params_.set("admin_name", "Admin");
    params_.set("any_name", "User");
    params_.set("sessKeyTimer", "on");
    params_.set("sessKeyTimeout", "120");
  }
  void TearDown() override {
    params_.restore();
    resetUptimeForTesting();
    ScratchRoot::TearDown();
  }
  // Logs in and returns the key of the new row ("" when none).
  std::string login(SessionTable& table, int32_t level, int* row = nullptr) {
    SessionEntry entry;
    const int r = table.create(level, level == kSessionAdmin ? "Admin" : "User", &entry);
    if (row != nullptr) *row = r;
    return r >= 0 ? std::string(entry.key) : std::string();
  }
  std::string imagePath() const { return dir_ + "/var/sessions.raw"; }

  ParamGuard params_;
};

TEST_F(SessionTableTest, LoginsFillRowsByLevelAndEvictTheOldestOfTheirLevelOrBelow) {
  // Each case: logins before (level, one second apart), then the new
  // login's level and the row it must take (-1: refused).
  struct Case {
    const char* name;
    std::vector<int32_t> before;
    int32_t level;
    int expectRow;
  } cases[] = {
      {"first user takes row 0", {}, kSessionUser, 0},
      {"first administrator takes row 2", {}, kSessionAdmin, 2},
      {"administrators never take rows 0 and 1",
       std::vector<int32_t>(14, kSessionAdmin), kSessionAdmin, 2},
      {"full table: a user evicts the oldest user, not an older administrator",
       [] {
         std::vector<int32_t> v(14, kSessionAdmin);
         v.push_back(kSessionUser);
         v.push_back(kSessionUser);
         return v;
       }(),
       kSessionUser, 0},
      {"full table: an administrator evicts the oldest row of any level at or below",
       [] {
         std::vector<int32_t> v{kSessionUser, kSessionUser};
         v.insert(v.end(), 14, kSessionAdmin);
         return v;
       }(),
       kSessionAdmin, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionTable table;
    for (int32_t level : c.before) {
      ASSERT_FALSE(login(table, level).empty());
      shiftUptimeForTesting(kSecond);
    }
    int row = -9;
    login(table, c.level, &row);
    EXPECT_EQ(row, c.expectRow);
  }
}

TEST_F(SessionTableTest, EvictionFollowsLastAccessNotLoginOrder) {
  SessionTable table;
  std::vector<std::string> keys;
  for (int i = 0; i < 14; ++i) {
    keys.push_back(login(table, kSessionAdmin));
    shiftUptimeForTesting(kSecond);
  }
  // The first login (row 2) is used again; row 3 is now the oldest.
  ASSERT_EQ(table.findByKey(keys[0].c_str(), 1), 2);
  int row = -9;
  login(table, kSessionAdmin, &row);
  EXPECT_EQ(row, 3);
  EXPECT_EQ(table.findByKey(keys[1].c_str(), 0), -1);
  EXPECT_EQ(table.findByKey(keys[0].c_str(), 0), 2);
}

TEST_F(SessionTableTest, UserLoginIntoATableOfOnlyAdministratorsIsRefused) {
  // Rows 0 and 1 hold administrators only in a crafted image.
  SessionTable table;
  uint8_t image[kSessionImageSize];
  table.toImage(image);
  for (int i = 0; i < kSessionLoginRows; ++i) {
    uint8_t* row = image + 8 + i * kSessionRowImageSize;
    std::memcpy(row, "AAAAAAAAAAAAAAA", 15);
    row[15] = static_cast<uint8_t>('a' + i);
    row[20] = kSessionAdmin;
    std::memset(row + 24, 0, 16);
    std::memset(row + 44, 0, 4);
    row[44] = kSessionAdmin;
  }
  ASSERT_TRUE(table.fromImage(image, sizeof image, uptimeCs()));
  int admins = 0;
  int users = 0;
  table.countLive(&admins, &users);
  EXPECT_EQ(admins, 16);
  int row = -9;
  EXPECT_EQ(login(table, kSessionUser, &row), "");
  EXPECT_EQ(row, -1);
}

TEST_F(SessionTableTest, IdleSessionsExpireAndUntouchedLookupsDoNotRefresh) {
  SessionTable table;
  const std::string touched = login(table, kSessionAdmin);
  const std::string untouched = login(table, kSessionAdmin);
  shiftUptimeForTesting(100 * kSecond);
  EXPECT_GE(table.findByKey(touched.c_str(), 1), 0);
  EXPECT_GE(table.findByKey(untouched.c_str(), 0), 0);
  shiftUptimeForTesting(21 * kSecond);  // 121 s after login, 21 s after the touch
  EXPECT_EQ(table.findByKey(untouched.c_str(), 0), -2);
  EXPECT_EQ(table.findByKey(untouched.c_str(), 0), -1) << "an expired row is cleared";
  EXPECT_GE(table.findByKey(touched.c_str(), 0), 0);
  shiftUptimeForTesting(100 * kSecond);
  EXPECT_EQ(table.findByKey(touched.c_str(), 1), -2);

  // With the timer off nothing expires.
  params_.set("sessKeyTimer", "off");
  const std::string lasting = login(table, kSessionUser);
  shiftUptimeForTesting(10000 * kSecond);
  EXPECT_GE(table.findByKey(lasting.c_str(), 0), 0);
}

TEST_F(SessionTableTest, LogoutByKeyAndByName) {
  SessionTable table;
  const std::string admin = login(table, kSessionAdmin);
  const std::string user1 = login(table, kSessionUser);
  const std::string user2 = login(table, kSessionUser);
  EXPECT_EQ(table.removeByKeyOrName(admin.c_str(), nullptr), 1);
  EXPECT_EQ(table.findByKey(admin.c_str(), 0), -1);
  EXPECT_EQ(table.removeByKeyOrName(admin.c_str(), nullptr), 0);
  EXPECT_EQ(table.removeByKeyOrName(nullptr, "User"), 2);
  EXPECT_EQ(table.findByKey(user1.c_str(), 0), -1);
  EXPECT_EQ(table.findByKey(user2.c_str(), 0), -1);
  EXPECT_EQ(table.removeByKeyOrName(nullptr, nullptr), 0);
}

TEST_F(SessionTableTest, SavedSessionsComeBackWithTheirAgeAndNames) {
  std::string admin;
  std::string user;
  {
    SessionTable before;
    admin = login(before, kSessionAdmin);
    user = login(before, kSessionUser);
    shiftUptimeForTesting(100 * kSecond);  // 100 s idle before the end
    ASSERT_EQ(before.save("/var/sessions.raw"), 1);
  }
  struct stat st{};
  ASSERT_EQ(::stat(imagePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(kSessionImageSize));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(imagePath() + ".tmp"));

  // A new run: the clock starts at 0 again; the names are today's.
  resetUptimeForTesting();
  params_.set("admin_name", "Boss");
  SessionTable after;
  ASSERT_EQ(after.load("/var/sessions.raw", 1), 1);
  SessionEntry entry;
  const int adminRow = after.findByKey(admin.c_str(), 0, &entry);
  ASSERT_GE(adminRow, 0);
  EXPECT_STREQ(entry.name, "Boss");
  EXPECT_EQ(entry.level, kSessionAdmin);
  ASSERT_GE(after.findByKey(user.c_str(), 0, &entry), 0);
  EXPECT_STREQ(entry.name, "User");
  // 100 s of the 120 were spent before the restart.
  shiftUptimeForTesting(21 * kSecond);
  EXPECT_EQ(after.findByKey(admin.c_str(), 0), -2);
}

TEST_F(SessionTableTest, ExpiredSessionsStayGoneAfterARestart) {
  std::string stale;
  std::string fresh;
  {
    SessionTable before;
    stale = login(before, kSessionAdmin);
    shiftUptimeForTesting(200 * kSecond);  // expired; no lookup has cleared it
    fresh = login(before, kSessionUser);
    ASSERT_EQ(before.save("/var/sessions.raw"), 1);
  }
  // On the new clock the stale row's login time (0) would look recent.
  resetUptimeForTesting();
  SessionTable after;
  ASSERT_EQ(after.load("/var/sessions.raw", 1), 1);
  EXPECT_EQ(after.findByKey(stale.c_str(), 0), -1);
  EXPECT_GE(after.findByKey(fresh.c_str(), 0), 0);
}

TEST_F(SessionTableTest, RowWithAbsoluteTimeInTheFutureIsDroppedAtLoad) {
  // An image written without making a row relative: its last access lies
  // ahead of the new clock.
  SessionTable writer;
  const std::string key = login(writer, kSessionAdmin);
  uint8_t image[kSessionImageSize];
  writer.toImage(image);
  uint8_t* row = image + 8 + 2 * kSessionRowImageSize;
  const int64_t future = 500000;
  for (int i = 0; i < 8; ++i) row[24 + i] = static_cast<uint8_t>(future >> (8 * i));
  params_.set("sessKeyTimer", "off");
  SessionTable reader;
  ASSERT_TRUE(reader.fromImage(image, sizeof image, 1000));
  EXPECT_EQ(reader.findByKey(key.c_str(), 0), -1);
}

TEST_F(SessionTableTest, FirstStartAndBadImagesLeaveNoSessionsAndNoFile) {
  struct Case {
    const char* name;
    int kickOff;
    void (*spoil)(std::string&);
  } cases[] = {
      {"first start", 0, [](std::string&) {}},
      {"wrong magic", 1, [](std::string& bytes) { bytes[0] ^= 1; }},
      {"short file", 1, [](std::string& bytes) { bytes.resize(823); }},
      {"long file", 1, [](std::string& bytes) { bytes.push_back('x'); }},
      {"empty file", 1, [](std::string& bytes) { bytes.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string key;
    {
      SessionTable before;
      key = login(before, kSessionAdmin);
      ASSERT_EQ(before.save("/var/sessions.raw"), 1);
    }
    std::string bytes = readFile("var/sessions.raw");
    c.spoil(bytes);
    writeFile("var/sessions.raw", bytes);
    SessionTable after;
    ASSERT_FALSE(login(after, kSessionUser).empty());
    EXPECT_EQ(after.load("/var/sessions.raw", c.kickOff), 0);
    EXPECT_FALSE(std::filesystem::exists(imagePath()));
    EXPECT_EQ(after.findByKey(key.c_str(), 0), -1);
    int admins = -1;
    int users = -1;
    after.countLive(&admins, &users);
    EXPECT_EQ(admins + users, 0);
  }
}

TEST_F(SessionTableTest, MalformedRowsOfAnImageAreCleared) {
  SessionTable writer;
  const std::string good = login(writer, kSessionAdmin);
  const std::string badKey = login(writer, kSessionAdmin);
  const std::string badLevel = login(writer, kSessionAdmin);
  uint8_t image[kSessionImageSize];
  writer.toImage(image);
  image[8 + 3 * kSessionRowImageSize + 5] = '-';  // row 3: a key character out of range
  image[8 + 4 * kSessionRowImageSize + 20] = 7;   // row 4: a level no login has
  // The reserved row never comes back from a file.
  uint8_t* reserved = image + 8 + kSessionReservedRow * kSessionRowImageSize;
  std::memcpy(reserved, "ZZZZZZZZZZZZZZZZ", 16);
  reserved[20] = reserved[44] = kSessionReserved;
  SessionTable reader;
  ASSERT_TRUE(reader.fromImage(image, sizeof image, uptimeCs()));
  EXPECT_GE(reader.findByKey(good.c_str(), 0), 0);
  EXPECT_EQ(reader.findByKey(badLevel.c_str(), 0), -1);
  EXPECT_EQ(reader.findByKey("ZZZZZZZZZZZZZZZZ", 0), -1);
  SessionEntry entry;
  EXPECT_FALSE(reader.rowInfo(3, &entry));
}

}  // namespace

// Time zone texts from the zone list, checked against the C library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "net/time/timezone.h"
#include "params/table/choicelists.h"

namespace {

std::string tzText(const char* key, const char* offset) {
  char out[128];
  EXPECT_GE(buildTimeZoneText(key, offset, out, sizeof out), 0);
  return out;
}

// Keeps the test process's TZ as it was.
class TimeZoneEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_ = tz != nullptr;
    if (had_) saved_ = tz;
  }
  void TearDown() override {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  bool had_ = false;
  std::string saved_;
};

TEST(TimeZoneText, RowsGiveTheirPosixTexts) {
  struct Case {
    const char* key;
    const char* offset;
    const char* expected;
  } cases[] = {
      {"CET/CEST (EU)", "UTC+1:00 EU", "CET-1CEST,M3.5.0,M10.5.0"},
      {"NST/NDT (StJohns)", "UTC-3:30 StJohns", "NST3:30NDT,M3.2.0,M11.1.0"},
      {"CST (South Australia)", "UTC+9:30 South Australia", "CST-9:30CST,M10.5.0,M3.5.0"},
      {"GMT", "UTC+0:00", "GMT0"},
      {"NPT", "UTC+5:45", "NPT-5:45"},
      {"MSK/MSD (Russia)", "UTC+3:00 Russia", "MSK-3"},
      // The region is looked up ignoring case.
      {"EST/EDT (US)", "UTC-5:00 us", "EST5EDT,M3.2.0,M11.1.0"},
      // A name the C library would reject gets the quoted numeric form.
      {"CT", "UTC+8:00", "<+08>-8"},
  };
  for (const Case& c : cases) EXPECT_EQ(tzText(c.key, c.offset), c.expected) << c.key;
}

TEST(TimeZoneText, OutputIsCutToTheBuffer) {
  char out[6];
  EXPECT_EQ(buildTimeZoneText("CET/CEST (EU)", "UTC+1:00 EU", out, sizeof out), 5);
  EXPECT_STREQ(out, "CET-1");
}

// Every zone of the list: after tzset the C library's standard offset and
// name are the row's.
TEST_F(TimeZoneEnv, EveryZoneRowIsUnderstoodByTheCLibrary) {
  int zones = 0;
  for (int32_t i = 0; i < kChoicesTimeZoneCount; ++i) {
    const ChoiceRow& row = kChoicesTimeZone[i];
    if (std::strcmp(row.key, "optgroup") == 0) continue;
    ++zones;
    int hours = 0;
    int minutes = 0;
    ASSERT_EQ(std::sscanf(row.extra, "UTC%d:%d", &hours, &minutes), 2) << row.key;
    const bool west = std::strncmp(row.extra, "UTC-", 4) == 0;
    const long east = (west ? -1 : 1) * (std::labs(hours) * 3600L + minutes * 60L);

    const std::string text = tzText(row.key, row.extra);
    ASSERT_EQ(setTimeZoneText(text.c_str()), 0);
    EXPECT_EQ(timezone, -east) << row.key << " -> " << text;

    std::string name(row.key, std::strcspn(row.key, " /"));
    if (name.size() < 3) {
      char numeric[16];
      if (minutes)
        std::snprintf(numeric, sizeof numeric, "%c%02d%02d", west ? '-' : '+', std::abs(hours), minutes);
      else
        std::snprintf(numeric, sizeof numeric, "%c%02d", west ? '-' : '+', std::abs(hours));
      name = numeric;
    }
    EXPECT_STREQ(tzname[0], name.c_str()) << row.key << " -> " << text;
  }
  EXPECT_GT(zones, 100);
}

TEST_F(TimeZoneEnv, StartRunsInUtcWhateverTheEnvironmentSaid) {
  for (const char* before : {static_cast<const char*>(nullptr), "CET-1CEST,M3.5.0,M10.5.0"}) {
    if (before)
      setenv("TZ", before, 1);
    else
      unsetenv("TZ");
    tzset();
    initTimeZoneEnvironment();
    ASSERT_NE(std::getenv("TZ"), nullptr);
    EXPECT_STREQ(std::getenv("TZ"), kTzNone);
    EXPECT_EQ(timezone, 0);
  }
  // Later the value is replaced, the variable stays.
  ASSERT_EQ(setTimeZoneText("CET-1CEST,M3.5.0,M10.5.0"), 0);
  EXPECT_EQ(timezone, -3600);
  EXPECT_STREQ(std::getenv("TZ"), "CET-1CEST,M3.5.0,M10.5.0");
  EXPECT_EQ(timeZoneText(), "CET-1CEST,M3.5.0,M10.5.0");
}

TEST(TimeZoneRules, RegionsWithAndWithoutRule) {
  EXPECT_STREQ(tzRuleForRegion("Lord Howe Island"), "M10.5.0,M3.5.0");
  EXPECT_STREQ(tzRuleForRegion("zion"), "M3.4.5,J259");
  EXPECT_EQ(tzRuleForRegion("Russia"), nullptr);
  EXPECT_EQ(tzRuleForRegion(nullptr), nullptr);
}

}  // namespace

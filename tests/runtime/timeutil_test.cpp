#include "runtime/task/timeutil.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <string>

namespace {

TEST(FormatUptime, DaysHoursAndMinutes) {
  struct Case {
    int64_t cs;
    const char* text;
  };
  const int64_t second = 100, minute = 60 * second, hour = 60 * minute, day = 24 * hour;
  const Case cases[] = {
      {0, "  0/00/00"},
      {day + hour + minute + second, "  1/01/01"},
      {59 * second, "  0/00/00"},
      {23 * hour + 59 * minute, "  0/23/59"},
      {365 * day + 12 * hour, "365/12/00"},
      {1234 * day + 5 * minute, "1234/00/05"},
      {int64_t(30000) * day, "30000/00/00"},  // beyond 32 bits of 1/100 s
  };
  for (const Case& c : cases) {
    char buffer[32];
    EXPECT_EQ(formatUptime(c.cs, buffer, sizeof buffer), buffer);
    EXPECT_STREQ(buffer, c.text) << c.cs;
  }
  char small[6];
  formatUptime(day, small, sizeof small);
  EXPECT_STREQ(small, "  1/0");
}

TEST(MillisecondsSince, CountsFromTheBaseSecond) {
  struct timeval before;
  gettimeofday(&before, nullptr);
  const int64_t sinceEpoch = millisecondsSince(0);
  EXPECT_GE(sinceEpoch, static_cast<int64_t>(before.tv_sec) * 1000);

  const int64_t afterReset = millisecondsSince(1);
  EXPECT_GE(afterReset, 0);
  EXPECT_LT(afterReset, 1000);  // within the base second itself
  const int64_t later = millisecondsSince(0);
  EXPECT_GE(later, afterReset);
  EXPECT_LT(later, 60 * 1000);
}

}  // namespace

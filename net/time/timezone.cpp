#include "net/time/timezone.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/p3list.h"

const char kTzNone[] = "UTC0";

namespace {

std::mutex zoneMutex;   // one writer of TZ at a time
std::string zoneText;   // the value last set, for readers on other threads

struct TzRule {
  const char* region;
  const char* rule;
};

const TzRule kTzRuleTable[] = {
    {"New South Wales", "M10.5.0,M3.5.0"}, {"South Australia", "M10.5.0,M3.5.0"},
    {"Tasmania", "M10.1.0,M3.5.0"},        {"Victoria", "M10.5.0,M3.5.0"},
    {"Azer", "M3.5.0,M10.5.0"},            {"Bahamas", "M4.1.0,M10.5.0"},
    {"Brazil", "J309,J56"},                {"Canada", "M4.1.0,M10.5.0"},
    {"Chatham", "M10.1.0,M3.3.0"},         {"Chile", "M10.2.0,M3.2.0"},
    {"Cuba", "M4.1.0,M10.5.0"},            {"Egypt", "M4.5.5,M9.5.4"},
    {"EU", "M3.5.0,M10.5.0"},              {"Falklands", "M9.1.0,M4.3.0"},
    {"Guatemala", "J120,J274"},            {"Haiti", "M4.1.0,M10.5.0"},
    {"Honduras", "M5.1.0,M8.1.1"},         {"Iran", "J81,J265"},
    {"Iraq", "J91,J274"},                  {"Jordan", "M3.5.4,M10.5.5"},
    {"Lebanon", "M3.5.0,M10.5.0"},         {"Lord Howe Island", "M10.5.0,M3.5.0"},
    {"Mexico", "M4.1.0,M10.5.0"},          {"Mongolia", "M3.5.6,M9.5.6"},
    {"Namibia", "M9.1.0,M4.1.0"},          {"Nicaragua", "J120,M10.1.0"},
    {"New Zealand", "M10.1.0,M3.3.0"},     {"Palestine", "J91,M10.3.5"},
    {"Paraguay", "M10.3.0,M3.2.0"},        {"StJohns", "M3.2.0,M11.1.0"},
    {"Syria", "J91,J274"},                 {"TC", "M4.1.0,M10.5.0"},
    {"Thule", "M4.1.0,M10.5.0"},           {"Tunisia", "M3.5.0,M10.5.0"},
    {"Uruguay", "M10.1.0,M3.2.0"},         {"US", "M3.2.0,M11.1.0"},
    {"Zion", "M3.4.5,J259"},
};

// A zone name the C library accepts as it is: three or more characters.
// Shorter ones become "<+HH>" or "<+HHMM>" from the row's offset (east
// positive, as the name shows it).
void zoneName(const char* name, size_t length, int eastHours, int minutes, bool negative, char* out,
              size_t size) {
  if (length >= 3) {
    std::snprintf(out, size, "%.*s", static_cast<int>(length), name);
    return;
  }
  const int hours = eastHours < 0 ? -eastHours : eastHours;
  const char sign = negative ? '-' : '+';
  if (minutes != 0)
    std::snprintf(out, size, "<%c%02d%02d>", sign, hours, minutes);
  else
    std::snprintf(out, size, "<%c%02d>", sign, hours);
}

}  // namespace

const char* tzRuleForRegion(const char* region) {
  if (!region) return nullptr;
  for (const TzRule& row : kTzRuleTable)
    if (strcasecmp(row.region, region) == 0) return row.rule;
  return nullptr;
}

int buildTimeZoneText(const char* key, const char* offsetText, char* out, size_t size) {
  if (!key || !out || size == 0) return -1;
  if (!offsetText) offsetText = "";

  const char* blank = std::strchr(offsetText, ' ');
  const char* rule = blank ? tzRuleForRegion(blank + 1) : nullptr;

  int hours = 0;
  int minutes = 0;
  if (std::sscanf(offsetText, "UTC%d:%d", &hours, &minutes) < 2) minutes = 0;
  if (minutes < 0) minutes = -minutes;
  const bool west = std::strncmp(offsetText, "UTC-", 4) == 0;
  const int eastHours = hours;
  if (hours != 0) hours = -hours;  // POSIX counts west as positive

  // Names: the first word of the key, split at '/'.
  size_t wordLength = std::strcspn(key, " ");
  const char* slash = static_cast<const char*>(std::memchr(key, '/', wordLength));
  const size_t standardLength = slash ? static_cast<size_t>(slash - key) : wordLength;
  const char* daylight = slash ? slash + 1 : nullptr;
  const size_t daylightLength = slash ? wordLength - standardLength - 1 : 0;

  char standardName[40];
  char daylightName[40];
  zoneName(key, standardLength, eastHours, minutes, west, standardName, sizeof standardName);
  daylightName[0] = '\0';
  if (daylight && daylightLength > 0)
    zoneName(daylight, daylightLength, eastHours + (west ? -1 : 1), minutes, west, daylightName,
             sizeof daylightName);

  char offset[24];
  if (minutes != 0)
    std::snprintf(offset, sizeof offset, "%d:%02d", hours, minutes);
  else
    std::snprintf(offset, sizeof offset, "%d", hours);
  // "-0:30" must keep its sign, which %d of 0 loses.
  if (hours == 0 && minutes != 0 && !west) std::snprintf(offset, sizeof offset, "-0:%02d", minutes);

  int n;
  if (daylightName[0] && rule)
    n = std::snprintf(out, size, "%s%s%s,%s", standardName, offset, daylightName, rule);
  else if (rule)
    n = std::snprintf(out, size, "%s%s%s,%s", standardName, offset, standardName, rule);
  else
    n = std::snprintf(out, size, "%s%s", standardName, offset);
  if (n < 0) return -1;
  return n < static_cast<int>(size) ? n : static_cast<int>(size) - 1;
}

void initTimeZoneEnvironment() { setTimeZoneText(kTzNone); }

int setTimeZoneText(const char* text) {
  std::lock_guard<std::mutex> g(zoneMutex);
  if (setenv("TZ", text, 1) != 0) {
    std::fprintf(stderr, "setenv(TZ,%s): %s\n", text, std::strerror(errno));
    tzset();
    return -1;
  }
  zoneText = text;
  tzset();
  return 0;
}

std::string timeZoneText() {
  std::lock_guard<std::mutex> g(zoneMutex);
  return zoneText;
}

int applyTimeZoneParam() {
  P3List* zone = paramStore.findList("ntp_tzone");
  const int32_t row = zone ? zone->currentIndex() : NO_INDEX;
  if (!zone || row < 0 || row >= zone->rowCount()) return setTimeZoneText(kTzNone);
  const ChoiceRow& chosen = zone->rows()[row];
  if (std::strcmp(chosen.key, "optgroup") == 0) return setTimeZoneText(kTzNone);  // a heading, no zone
  char text[128];
  if (buildTimeZoneText(chosen.key, chosen.extra, text, sizeof text) < 0) return setTimeZoneText(kTzNone);
  return setTimeZoneText(text);
}

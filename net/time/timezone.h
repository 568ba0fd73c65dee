// The process time zone: the environment variable TZ, built from a row of
// the time-zone list (`ntp_tzone`) and the daylight-saving rules of its
// region.
//
// TZ is created once, before any task starts, and afterwards only its value
// is replaced, never removed: other threads read the environment (local
// time, the language of the web pages) while it changes. "UTC0" stands for
// "no zone chosen".
#ifndef NET_TIME_TIMEZONE_H
#define NET_TIME_TIMEZONE_H

#include <cstddef>
#include <string>

// The value TZ holds while no zone is set.
extern const char kTzNone[];

// The daylight-saving rule (POSIX TZ form) of a region, looked up ignoring
// case; null when the region has none.
const char* tzRuleForRegion(const char* region);

// The TZ text of a zone row: key (such as "CET/CEST (EU)") and its offset
// text (such as "UTC+1:00 EU"). Names shorter than three characters are
// written in the quoted numeric form ("<+08>-8"), since the C library
// rejects them. The length written (cut to size - 1), -1 without a key.
int buildTimeZoneText(const char* key, const char* offsetText, char* out, size_t size);

// Sets TZ to kTzNone, whatever the environment brought (all configuration
// is parameters), then tzset. For the start, before other threads run.
void initTimeZoneEnvironment();

// Replaces the value of TZ and calls tzset; 0, or -1 when setenv failed
// ("setenv(TZ,%s): %m" on standard error).
int setTimeZoneText(const char* text);

// The value TZ was last given here ("" before the first), for threads that
// did not set it themselves.
std::string timeZoneText();

// TZ from the chosen row of `ntp_tzone`, kTzNone without a row; the
// setTimeZoneText result.
int applyTimeZoneParam();

#endif

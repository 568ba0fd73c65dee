#include "notify/alarmrelay.h"

#include <atomic>
#include <ctime>
#include <mutex>

#include "notify/notifyhooks.h"
#include "notify/paramread.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/paramflags.h"
#include "runtime/task/uptime.h"

namespace {

constexpr int kWallClockYearAfter = 2015;

std::mutex relayMutex;
std::atomic<bool (*)(bool)> relaySwitch{nullptr};
// The state the last switching event decided; guarded by relayMutex.
bool relayEnergised = false;

RelayHistoryRow history[RELAY_HISTORY_ROWS + 1] = {
    {0x1, 0, "Restart"},
    {0x2, 0, "Network connection interrupted"},
    {0x4, 0, "Network connection established"},
    {0x10, 0, "Power supply 1 established"},
    {0x20, 0, "Power supply 2 established"},
    {0x40, 0, "Power supply 1 interrupted"},
    {0x80, 0, "Power supply 2 interrupted"},
    {0x100, 0, "SD card connected"},
    {0x200, 0, "SD card disconnected"},
    {0x400, 0, "SD card cannot be used"},
    {0x1000, 0, "USB device connected (port 1)"},
    {0x2000, 0, "USB device disconnected (port 1)"},
    {0x4000, 0, "USB device activated (port 1)"},
    {0x8000, 0, "USB device deactivated (port 1)"},
    {0x10000, 0, "USB device connected (port 2)"},
    {0x20000, 0, "USB device disconnected (port 2)"},
    {0x40000, 0, "USB device activated (port 2)"},
    {0x80000, 0, "USB device deactivated (port 2)"},
    {0, 0, nullptr},
};

// A USB port choice ("off", "any", "1", "2") that names the event's port.
bool usbChoiceNames(const char* key, bool portOne) {
  return notifyChoiceIs(key, "any") || notifyChoiceIs(key, portOne ? "1" : "2");
}

struct StatePair {
  int code;
  int opposite;
  const char* key;          // the choice that names code
  const char* oppositeKey;  // the choice that names the opposite
};

// State mode: the choice naming a code switches on, the one naming its
// opposite switches off.
bool stateDecision(int code, bool* on, bool* off, int* opposite) {
  if (code == RELAY_EVENT_LINK_DOWN || code == RELAY_EVENT_LINK_UP) {
    *opposite = code == RELAY_EVENT_LINK_DOWN ? RELAY_EVENT_LINK_UP : RELAY_EVENT_LINK_DOWN;
    const char* mine = code == RELAY_EVENT_LINK_DOWN ? "netoff" : "neton";
    const char* theirs = code == RELAY_EVENT_LINK_DOWN ? "neton" : "netoff";
    *on = notifyChoiceIs("relay_stat_net", mine);
    *off = notifyChoiceIs("relay_stat_net", theirs);
    return true;
  }
  static const StatePair kPairs[] = {
      {0x1000, 0x2000, "relay_stat_ucon", "relay_stat_udis"},
      {0x2000, 0x1000, "relay_stat_udis", "relay_stat_ucon"},
      {0x4000, 0x8000, "relay_stat_uact", "relay_stat_udea"},
      {0x8000, 0x4000, "relay_stat_udea", "relay_stat_uact"},
  };
  for (int scale : {1, 16}) {
    for (const StatePair& p : kPairs) {
      if (code != p.code * scale) continue;
      *opposite = p.opposite * scale;
      *on = usbChoiceNames(p.key, scale == 1);
      *off = usbChoiceNames(p.oppositeKey, scale == 1);
      return true;
    }
  }
  return false;
}

// Event mode: whether the event's choice asks for the relay.
bool eventSwitchesOn(int code) {
  switch (code) {
    case RELAY_EVENT_RESTART: return notifyChoiceIs("relay_eve_start", "warm");
    case RELAY_EVENT_LINK_DOWN: return notifyChoiceIs("relay_eve_net", "netoff");
    case RELAY_EVENT_LINK_UP: return notifyChoiceIs("relay_eve_net", "neton");
    case RELAY_EVENT_PSU1_UP: return notifyChoiceIs("relay_eve_1pwr", "pwron");
    case RELAY_EVENT_PSU2_UP: return notifyChoiceIs("relay_eve_2pwr", "pwron");
    case RELAY_EVENT_PSU1_DOWN: return notifyChoiceIs("relay_eve_1pwr", "pwroff");
    case RELAY_EVENT_PSU2_DOWN: return notifyChoiceIs("relay_eve_2pwr", "pwroff");
    case RELAY_EVENT_CARD_IN: return notifyChoiceIs("relay_eve_sd", "sdin");
    case RELAY_EVENT_CARD_OUT: return notifyChoiceIs("relay_eve_sd", "sdout");
    case RELAY_EVENT_CARD_ERROR: return notifyChoiceIs("relay_eve_sd", "sderr");
    default: break;
  }
  static const struct {
    int code;
    const char* key;
  } kUsb[] = {{0x1000, "relay_eve_ucon"}, {0x2000, "relay_eve_udis"}, {0x4000, "relay_eve_uact"},
              {0x8000, "relay_eve_udea"}};
  for (const auto& u : kUsb) {
    if (code == u.code) return usbChoiceNames(u.key, true);
    if (code == u.code * 16) return usbChoiceNames(u.key, false);
  }
  return false;
}

uint32_t historyTime() {
  const time_t now = static_cast<time_t>(notifyWallClock());
  tm local{};
  if (localtime_r(&now, &local) && local.tm_year + 1900 > kWallClockYearAfter) return static_cast<uint32_t>(now);
  return static_cast<uint32_t>(uptimeCs() / 100);
}

void stamp(int code) {
  for (int i = 0; i < RELAY_HISTORY_ROWS; ++i) {
    if (history[i].code == static_cast<uint32_t>(code)) {
      history[i].time = historyTime();
      return;
    }
  }
}

}  // namespace

void setRelaySwitch(bool (*setRelay)(bool on)) { relaySwitch.store(setRelay); }

int signalRelayEvent(int code) {
  if (!(notifyFeatures() & FEATURE_RELAY) || notifyChoiceIs("relay_ctrl", "fix")) return 0;
  std::lock_guard<std::mutex> lock(relayMutex);
  IntParam* eves = paramStore.findInt("relay_eves");
  int latched = eves ? eves->value() : 0;
  bool on = false;
  bool off = false;
  if (notifyChoiceIs("relay_ctrl", "stat")) {
    int opposite = 0;
    if (stateDecision(code, &on, &off, &opposite)) latched &= ~opposite;
  } else if (notifyChoiceIs("relay_ctrl", "eve")) {
    on = eventSwitchesOn(code);
  }
  if (!on && !off) return latched;
  if (latched & code) return latched;
  bool (*setRelay)(bool) = relaySwitch.load();
  relayEnergised = on;
  if (setRelay) setRelay(on);
  latched |= code;
  if (eves) eves->setValue(latched);
  stamp(code);
  return latched;
}

void clearRelayEvents() {
  std::lock_guard<std::mutex> lock(relayMutex);
  IntParam* eves = paramStore.findInt("relay_eves");
  if (eves) eves->setValue(0);
  relayEnergised = false;
  bool (*setRelay)(bool) = relaySwitch.load();
  if (setRelay) setRelay(false);
}

bool applyRelayDecision(bool (*setRelay)(void* context, bool on), void* context) {
  std::lock_guard<std::mutex> lock(relayMutex);
  return setRelay(context, relayEnergised);
}

RelayHistoryRow relayHistoryRow(int index) {
  std::lock_guard<std::mutex> lock(relayMutex);
  if (index < 0 || index > RELAY_HISTORY_ROWS) return RelayHistoryRow{0, 0, nullptr};
  return history[index];
}

void clearRelayHistory() {
  std::lock_guard<std::mutex> lock(relayMutex);
  for (int i = 0; i < RELAY_HISTORY_ROWS; ++i) history[i].time = 0;
}

// The alarm relay's reaction to device events (models with FEATURE_RELAY):
// from the relay parameters each event switches the relay on or off or
// leaves it; the codes seen are latched in relay_eves and time-stamped in
// the relay history that the relay page shows.
//
// Producers call signalRelayEvent directly from their own threads; one
// relay lock covers the whole decision (read, decide, switch, store,
// stamp), so concurrent events neither lose latched bits nor switch twice.
#ifndef NOTIFY_ALARMRELAY_H
#define NOTIFY_ALARMRELAY_H

#include <cstdint>

// Relay event codes.
constexpr int RELAY_EVENT_RESTART = 0x1;
constexpr int RELAY_EVENT_LINK_DOWN = 0x2;
constexpr int RELAY_EVENT_LINK_UP = 0x4;
constexpr int RELAY_EVENT_PSU1_UP = 0x10;
constexpr int RELAY_EVENT_PSU2_UP = 0x20;
constexpr int RELAY_EVENT_PSU1_DOWN = 0x40;
constexpr int RELAY_EVENT_PSU2_DOWN = 0x80;
constexpr int RELAY_EVENT_CARD_IN = 0x100;
constexpr int RELAY_EVENT_CARD_OUT = 0x200;
constexpr int RELAY_EVENT_CARD_ERROR = 0x400;
// USB on port 1; any other port uses the same codes times 16.
constexpr int RELAY_EVENT_USB_ATTACHED = 0x1000;
constexpr int RELAY_EVENT_USB_DETACHED = 0x2000;
constexpr int RELAY_EVENT_USB_CONNECTED = 0x4000;
constexpr int RELAY_EVENT_USB_RELEASED = 0x8000;

// Reacts to one event: the latched set afterwards (relay_eves), or 0
// without FEATURE_RELAY or with relay_ctrl "fix" (nothing touched).
int signalRelayEvent(int code);

// Switches the relay (energised when on); installed by the start-up over
// the board device. Null: events still latch, nothing switches.
void setRelaySwitch(bool (*setRelay)(bool on));

// At the board start-up, outside the fixed mode: switches the relay through
// setRelay to the state the events decided so far (released when none
// did). An event reported before the board could switch the relay (the
// link at start-up) thus still takes effect. setRelay's result.
bool applyRelayDecision(bool (*setRelay)(void* context, bool on), void* context);

// The relay page's "clear": the latched events (relay_eves) go to 0,
// without a commit, and the relay is released.
void clearRelayEvents();

constexpr int RELAY_HISTORY_ROWS = 18;

// One row of the history: the event, the time of its last occurrence
// (seconds since 1970 once the local clock shows a year after 2015, else
// seconds of uptime; 0 never) and its text.
struct RelayHistoryRow {
  uint32_t code;
  uint32_t time;
  const char* text;
};

// Row index 0..17 in table order; index 18 is the end row (code 0, null
// text). A copy, consistent under the relay lock.
RelayHistoryRow relayHistoryRow(int index);

// Tests: all times back to 0.
void clearRelayHistory();

#endif

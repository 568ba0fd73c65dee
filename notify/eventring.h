// The event ring of the notification task: 16 entries, the index of the
// next one to write, and two pending masks (bit i: entry i still waits for
// its mail / its trap), all under one lock.
//
// The lock is held only to copy an entry in or out: nothing waits, sends
// or serves messages while holding it.
#ifndef NOTIFY_EVENTRING_H
#define NOTIFY_EVENTRING_H

#include <cstdint>
#include <mutex>

#include "notify/notifyevent.h"

class EventRing {
 public:
  EventRing();
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  // Stores one event in the next entry and marks it pending for mail and
  // trap. Null or empty texts are stored as "-?-"; a longer text is cut to
  // its field (whole characters) and terminated. Power-supply and link
  // events keep the entry's previous texts. The 17th event overwrites the
  // oldest entry; its bits then stand for the new event.
  void push(uint32_t code, int32_t value, const char* manufacturer, const char* product, const char* serial,
            const char* host);

  // Trap side, each under one lock. Copies the entries whose trap bit is
  // set and whose code has a bit outside disabled, oldest first, with the
  // generation that identifies this use of each entry; their count (at
  // most NOTIFY_RING_SIZE).
  int trapCandidates(uint32_t disabled, NotifyEvent* copies, int* indexes, uint32_t* generations);
  // Clears the trap bits of the first count candidates, except for entries
  // written again since they were taken.
  void trapsDone(const int* indexes, const uint32_t* generations, int count);
  void clearTrapMask();

  // Mail side: the OR of the codes of the entries waiting for mail; clears
  // exactly the bits gathered.
  uint32_t takeMailCodes();

  void clearPendingMasks();

  // The latest network-link event reported no link at all (false before
  // the first one).
  bool linkLost() const;

  // The entry the next push writes (the oldest one once the ring is full).
  int writeIndex() const;
  uint32_t pendingMailMask() const;
  uint32_t pendingTrapMask() const;
  NotifyEvent entry(int index) const;

 private:
  mutable std::mutex mutex_;
  NotifyEvent entries_[NOTIFY_RING_SIZE];
  uint32_t generations_[NOTIFY_RING_SIZE];
  int writeIndex_ = 0;
  uint32_t pendingMail_ = 0;
  uint32_t pendingTrap_ = 0;
  // Link bit mask of the latest network-link event, -1 before one.
  int32_t linkMask_ = -1;
};

// Copies text into a field of width bytes: "-?-" for null or empty, at
// most width - 1 bytes, never a partial UTF-8 character, always terminated.
void copyEventText(char* field, int width, const char* text);

#endif

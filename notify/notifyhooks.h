// What the notification task calls above its own library: the mail client
// (until it is built, placeholders that send nothing), the storage medium,
// the "ShutDown" task. The start-up installs them; a null member does
// nothing (and a mail call counts as failed).
#ifndef NOTIFY_NOTIFYHOOKS_H
#define NOTIFY_NOTIFYHOOKS_H

#include <cstdint>

struct NotifyHooks {
  // One notification mail for the codes; true when it went out.
  bool (*sendEventMail)(uint32_t codes);
  // One poll of the POP3 mailbox; true when the poll succeeded.
  bool (*pollMailbox)();
  // Closes what the mail sessions hold.
  void (*closeSessions)();
  // The present storage medium yields its memory-card event again.
  void (*reannounceStorageMedium)();
  // Starts "ShutDown" with a delay (a parameter mail that needs a reboot).
  bool (*startShutDown)(int delaySeconds);
};

void setNotifyHooks(const NotifyHooks* hooks);
const NotifyHooks* notifyHooks();

// The wall clock (seconds since 1970) that the status-mail schedule and
// the relay history read; tests install their own (null: time()).
int64_t notifyWallClock();
void setNotifyWallClockForTesting(int64_t (*clock)());

#endif

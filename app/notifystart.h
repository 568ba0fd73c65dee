// Wiring of the notification task and the alarm relay into the program:
// the mail placeholders, the relay over the board device, the power-input
// event of the status display, and the start of "Notify".
#ifndef APP_NOTIFYSTART_H
#define APP_NOTIFYSTART_H

// Installs the hooks; before the first event producer runs.
void installNotifyHooks();

// Starts "Notify" (FEATURE_EMAIL models) with the agent's trap-sink flag.
bool startNotifications(bool trapSinks);

#endif

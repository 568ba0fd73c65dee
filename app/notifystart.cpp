#include "app/notifystart.h"

#include "app/gpiodevice.h"
#include "app/pending.h"
#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "app/statusdisplay.h"
#include "notify/alarmrelay.h"
#include "notify/notifyevent.h"
#include "notify/notifyhooks.h"
#include "notify/notifyproducer.h"
#include "notify/notifytask.h"

namespace {

bool switchRelay(bool on) { return gpioDevice.setRelay(on); }

void powerInputsChanged(uint32_t inputWord) {
  produceNotifyEvent(NOTIFY_POWER_SUPPLY, static_cast<int32_t>(inputWord));
}

const NotifyHooks kNotifyHooks = {sendNotificationMail, pollNotificationMailbox, closeMailSessions,
                                  reannounceStorageMedium, startShutDown};

}  // namespace

void installNotifyHooks() {
  setNotifyHooks(&kNotifyHooks);
  setRelaySwitch(switchRelay);
  setPowerInputEventHook(powerInputsChanged);
}

bool startNotifications(bool trapSinks) { return startNotifyTask(trapSinks, kickOffValue); }

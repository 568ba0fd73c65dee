#include "app/supervision.h"

#include <time.h>

#include <cerrno>

#include "app/gpiodevice.h"
#include "app/pending.h"
#include "app/processstate.h"
#include "app/shutdowntask.h"
#include "app/signals.h"
#include "app/statusdisplay.h"
#include "net/interface/netinterface.h"
#include "notify/alarmrelay.h"
#include "notify/notifyproducer.h"
#include "params/store/paramstore.h"
#include "params/types/intparam.h"
#include "params/types/p3list.h"
#include "params/types/paramflags.h"
#include "params/types/stringparam.h"
#include "platform/board/boarddriver.h"
#include "runtime/task/task.h"
#include "runtime/task/uptime.h"
#include "runtime/text/gettext.h"

namespace {

constexpr int64_t kSecondTicks = 100;
constexpr long kPassNs = 100L * 1000 * 1000;
constexpr uint32_t kCardReaderProduct = 337;
constexpr uint32_t kDualPhyProduct = 353;
constexpr int kBothPhysLinked = 0x11;
constexpr uint32_t kLinkEvent = 0x8000000;

// Relay events of the link and of the two event inputs.
constexpr int kRelayLinkDown = 2;
constexpr int kRelayLinkUp = 4;
constexpr int kRelayInput1Off = 0x10;
constexpr int kRelayInput2Off = 0x20;
constexpr int kRelayInput1On = 0x40;
constexpr int kRelayInput2On = 0x80;

uint32_t features() {
  IntParam* p = paramStore.findInt("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0u;
}

bool paramOn(const char* key) {
  Param* p = paramStore.find(key);
  return p && p->isOn();
}

void setStatusText(const char* key, const char* text) {
  if (StringParam* p = paramStore.findString(key)) p->setStatusValue(text);
}

void sleepOnePass() {
  timespec left{0, kPassNs};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

int countRegisteredTasks() {
  // On a lock failure TLOCK has reported it; the count is taken anyway.
  int locked = TLOCK();
  int used = 0;
  for (Task* t : taskTable)
    if (t != nullptr) ++used;
  if (locked) unlockTaskTable();
  return used;
}

Supervisor::Supervisor(const SupervisionSetup& setup)
    : setup_(setup),
      lastSecondTick_(uptimeCs()),
      previousLinkMask_(setup.productId == kDualPhyProduct ? kBothPhysLinked : 0x10) {}

void Supervisor::run() {
  while (pass()) sleepOnePass();
}

bool Supervisor::pass() {
  if (countRegisteredTasks() == 0) return false;
  int64_t now = uptimeCs();
  if (graceOver(now)) return false;

  if (now - lastSecondTick_ > kSecondTicks) {
    if (setup_.productId == kCardReaderProduct) pollCardReader();
    oncePerSecond();
  }

  if (shutdownCount.load() > 0 && !shutDownStarted_) {
    shutDownStarted_ = true;
    startShutDown(1);
  }
  powerOnExpiredUsbPorts();
  return true;
}

bool Supervisor::graceOver(int64_t now) {
  int64_t requestTime = 0;
  if (takeSignalShutdownRequest(&seenSignalRequests_, &requestTime)) shutdownRequestTime.store(requestTime);
  int64_t last = shutdownRequestTime.load();
  return last != 0 && now - last > SHUTDOWN_GRACE_TICKS;
}

void Supervisor::pollCardReader() {
  uint32_t state = 0;
  if (gpioDevice.control(boardreq::kCardReader, &state) != 0) return;
  bool present = state != 0;
  if (present != cardReaderPresent_) {
    setStatusText("usb_manu_1", present ? "CardReader" : "-");
    setStatusText("usb_prod_1", present ? "MemoryCard" : "-");
    setStatusText("usb_sern_1", present ? "?" : "-");
    setStatusText("usb_owner_1", present ? getmuText("Available") : "-");
    cardReaderPresent_ = present;
  }
  int led = gpioDevice.getPortLed(0);
  if (led != 0) savedCardReaderLed_ = led;
  gpioDevice.setPortLed(0, present ? (savedCardReaderLed_ ? savedCardReaderLed_ : 1) : 0, 0);
}

void Supervisor::oncePerSecond() {
  if (--cpuLoadCountdown_ <= 0) {
    IntParam* poll = paramStore.findInt("cpuLoadPoll");
    cpuLoadCountdown_ = poll ? poll->value() : 0;
    if (cpuLoadCountdown_ != 0) sampleSystemLoad();
  }
  watchInterfaceChoice();
  if (StatusDisplay* display = gpioDevice.statusDisplay()) {
    if (++displayPollCount_ >= 2) {
      displayPollCount_ = 0;
      display->poll();
    }
  }
  pollEthernetLink();
  pollEventInputs();
  lastSecondTick_ = uptimeCs();
}

void Supervisor::watchInterfaceChoice() {
  if (!setup_.watchLanLink || !setup_.wlanModel || !paramOn("wifi")) return;
  bool link = lanInterface.getLinkState(nullptr) == 1;
  // The restart chooses the interface anew.
  if (link != setup_.useLanInterface) shutdownCount.fetch_add(1);
}

void Supervisor::pollEthernetLink() {
  uint32_t mask = 0;
  if (lanInterface.getLinkState(&mask) < 0) mask = 0;
  int linkMask = static_cast<int>(mask);
  if (linkMask != previousLinkMask_) {
    produceNotifyEvent(kLinkEvent, linkMask);
    StatusDisplay* display = gpioDevice.statusDisplay();
    if (display && paramOn("disp_lnk")) {
      if (linkMask == kBothPhysLinked)
        display->show('E', '5', DISP_REMOVE);
      else
        display->show('E', '5', DISP_ADD | DISP_BLINK);
    }
    signalRelayEvent(linkMask != 0 ? kRelayLinkUp : kRelayLinkDown);
    previousLinkMask_ = linkMask;
  }
  if (linkMask != kBothPhysLinked && paramOn("beepLnk")) gpioDevice.beep(0);
}

void Supervisor::pollEventInputs() {
  if (!(features() & FEATURE_RELAY)) return;
  P3List* control = paramStore.findList("relay_ctrl");
  if (!control || !control->equals("eve")) return;
  uint32_t word = 0;
  gpioDevice.control(boardreq::kReadInputs, &word);
  if (word == previousEventInputs_) return;
  uint32_t changed = word ^ previousEventInputs_;
  if (changed & 0x1) signalRelayEvent((word & 0x1) ? kRelayInput1On : kRelayInput1Off);
  if (changed & 0x2) signalRelayEvent((word & 0x2) ? kRelayInput2On : kRelayInput2Off);
  previousEventInputs_ = word;
}

// Start of the USB service: the listener "UsbSrvd" with the board calls and
// the event hooks it needs.
#include "app/gpiodevice.h"
#include "app/pending.h"
#include "net/interface/netinterface.h"
#include "notify/alarmrelay.h"
#include "notify/notifyproducer.h"
#include "params/identity/productparams.h"
#include "params/store/paramstore.h"
#include "params/types/param.h"
#include "platform/board/boarddriver.h"
#include "usbserver/connections/usbeventsource.h"
#include "usbserver/connections/usblistener.h"
#include "usbserver/devices/portpower.h"
#include "usbserver/devices/publishedparams.h"

namespace {

bool boardStartUpDone() { return gpioDevice.startUpDone(); }

void showActivity() { gpioDevice.showStatusLedOn(); }

bool setPortPower(int portIndex, bool on) { return gpioDevice.setOutput(portIndex, on); }

bool queryCardReader(int* state) {
  uint32_t word = 0;
  if (gpioDevice.control(boardreq::kCardReader, &word) != 0) return false;
  *state = static_cast<int>(word);
  return true;
}

void setPortLed(int port, int state) { gpioDevice.setPortLed(port, state, 0); }

// Models with a single USB LED: LED 0 shows use.
void showUsbInUse() { gpioDevice.setPortLed(0, 1, 0); }

void showAddressPattern() {
  Ip4Param* addr = paramStore.findIp4("ip_addr");
  if (addr && addr->hasValue() && !addr->isLinkLocal())
    gpioDevice.showAddressOkPattern();
  else
    gpioDevice.showNoAddressPattern();
}

void beepOnce() { gpioDevice.beep(0); }

void pushDeviceEvent(const UsbDeviceEvent& event) {
  produceNotifyEvent(event.code, event.port, event.manufacturer, event.product, event.serial, event.owner);
}

void signalRelay(int event) { signalRelayEvent(event); }

const UsbBoardHooks kBoardHooks = {setPortPower, queryCardReader, setPortLed,
                                   showUsbInUse, showAddressPattern, beepOnce};
const UsbEventHooks kEventHooks = {pushDeviceEvent, signalRelay};

}  // namespace

bool startUsbServer(NetInterface& nif) {
  setUsbBoardHooks(&kBoardHooks);
  setUsbEventHooks(&kEventHooks);
  setUsbBoardReadyCheck(boardStartUpDone);
  const uint32_t product = productParams().product_id;
  if (product == 353 || product == 365) setUsbActivityHook(showActivity);
  return startUsbListener(&nif) >= 0;
}

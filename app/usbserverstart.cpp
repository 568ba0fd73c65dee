// Start of the USB service: the listener "UsbSrvd" with the board calls it
// needs.
#include "app/gpiodevice.h"
#include "app/pending.h"
#include "net/netinterface.h"
#include "params/productparams.h"
#include "usbserver/usbeventsource.h"
#include "usbserver/usblistener.h"

namespace {

bool boardStartUpDone() { return gpioDevice.startUpDone(); }

void showActivity() { gpioDevice.showStatusLedOn(); }

}  // namespace

bool startUsbServer(NetInterface& nif) {
  setUsbBoardReadyCheck(boardStartUpDone);
  const uint32_t product = productParams().product_id;
  if (product == 353 || product == 365) setUsbActivityHook(showActivity);
  return startUsbListener(&nif) >= 0;
}

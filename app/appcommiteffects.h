// What a parameter commit and a new interface address do to the hardware:
// port power, the alarm relay and the status display on the board device,
// the link state of the Ethernet interface, and the status LED's address
// pattern. The start-up installs both once the board device is open.
#ifndef APP_APPCOMMITEFFECTS_H
#define APP_APPCOMMITEFFECTS_H

#include "params/store/commiteffects.h"

class GpioDevice;
class NetInterface;

class AppCommitEffects final : public CommitEffects {
 public:
  // lan: the interface whose link the display reports (null: none).
  AppCommitEffects(GpioDevice& board, NetInterface* lan);

  void setPortPower(int output, bool on) override;
  void setRelay(bool on) override;
  // Only board 278 has the two-character display.
  bool hasDisplay() override;
  void showDisplay(const char* code, int flags) override;
  // The failed-supply bits only: a frozen display has nothing to report.
  int displayPowerState() override;
  // The PHY link mask; LINK_STATE_GOOD when the interface has no socket.
  int linkState() override;
  int storageMediumState() override;
  void writeSlot1InfoLog(const char* directory) override;

 private:
  GpioDevice& board_;
  NetInterface* lan_;
};

// The medium state while the program has no storage task: no medium.
int storageMediumWithoutStorageTask();

// Shows the address-ok / no-address pattern on the device's status LED for
// every address the network layer sets (null: the patterns stop).
void setAddressLedDevice(GpioDevice* device);

#endif

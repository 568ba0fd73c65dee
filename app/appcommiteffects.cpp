#include "app/appcommiteffects.h"

#include <atomic>
#include <cstdint>

#include "app/gpiodevice.h"
#include "app/statusdisplay.h"
#include "net/address/addressled.h"
#include "net/interface/netinterface.h"

namespace {

constexpr int kDisplayBoard = 278;
constexpr int kMediumAbsent = 0;

std::atomic<GpioDevice*> addressLedDevice{nullptr};

void showAddressPattern(int addressOk) {
  GpioDevice* device = addressLedDevice.load();
  if (!device) return;
  if (addressOk)
    device->showAddressOkPattern();
  else
    device->showNoAddressPattern();
}

}  // namespace

AppCommitEffects::AppCommitEffects(GpioDevice& board, NetInterface* lan) : board_(board), lan_(lan) {}

void AppCommitEffects::setPortPower(int output, bool on) { board_.setOutput(output, on); }

void AppCommitEffects::setRelay(bool on) { board_.setRelay(on); }

bool AppCommitEffects::hasDisplay() { return board_.boardId() == kDisplayBoard && board_.statusDisplay() != nullptr; }

void AppCommitEffects::showDisplay(const char* code, int flags) {
  StatusDisplay* display = board_.statusDisplay();
  if (!display || !code || !code[0]) return;
  display->show(code[0], code[1], flags);
}

int AppCommitEffects::displayPowerState() {
  StatusDisplay* display = board_.statusDisplay();
  return display ? display->powerState() & (DISP_PSU1_FAILED | DISP_PSU2_FAILED) : 0;
}

int AppCommitEffects::linkState() {
  if (!lan_ || lan_->socketFd() < 0) return LINK_STATE_GOOD;
  uint32_t mask = 0;  // stays 0 when the PHY cannot be read
  lan_->getLinkState(&mask);
  return static_cast<int>(mask);
}

int AppCommitEffects::storageMediumState() { return storageMediumWithoutStorageTask(); }

// Without a medium the card mirror is never written, so there is no
// information file to write either.
void AppCommitEffects::writeSlot1InfoLog(const char*) {}

int storageMediumWithoutStorageTask() { return kMediumAbsent; }

void setAddressLedDevice(GpioDevice* device) {
  addressLedDevice.store(device);
  setAddressLedHandler(device ? showAddressPattern : nullptr);
}

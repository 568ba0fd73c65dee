#include "usbserver/devices/portpower.h"

#include <atomic>

#include "runtime/task/uptime.h"

namespace {

constexpr int kPorts = 20;

std::atomic<const UsbBoardHooks*> boardHooks{nullptr};
// 0 while the port is powered; written by the USB tasks, read by the
// supervision loop.
std::atomic<int64_t> powerOffDeadlines[kPorts];

void switchPort(int portIndex, bool on) {
  const UsbBoardHooks* hooks = boardHooks.load();
  if (hooks && hooks->setPortPower) hooks->setPortPower(portIndex, on);
}

}  // namespace

void setUsbBoardHooks(const UsbBoardHooks* hooks) { boardHooks.store(hooks); }

const UsbBoardHooks* usbBoardHooks() { return boardHooks.load(); }

int queryUsbCardReader(int* state) {
  const UsbBoardHooks* hooks = boardHooks.load();
  int value = 0;
  if (!hooks || !hooks->queryCardReader || !hooks->queryCardReader(&value)) return 0;
  if (state) *state = value;
  return 1;
}

void powerOffUsbPortFor(int portIndex, int ticks) {
  if (portIndex < 0 || portIndex >= kPorts) return;
  int64_t deadline = uptimeCs() + (ticks > 0 ? ticks : 0);
  if (deadline <= 0) deadline = 1;  // 0 means "powered"
  switchPort(portIndex, false);
  powerOffDeadlines[portIndex].store(deadline);
}

void powerOnExpiredUsbPorts() {
  const int64_t now = uptimeCs();
  for (int i = 0; i < kPorts; ++i) {
    int64_t deadline = powerOffDeadlines[i].load();
    if (deadline == 0 || deadline > now) continue;
    // A new power-off between the load and here keeps its later deadline.
    if (!powerOffDeadlines[i].compare_exchange_strong(deadline, 0)) continue;
    switchPort(i, true);
  }
}

int64_t usbPortPowerOffDeadline(int portIndex) {
  if (portIndex < 0 || portIndex >= kPorts) return 0;
  return powerOffDeadlines[portIndex].load();
}

// The USB listener task "UsbSrvd": sets up the device table, listens for
// clients on every interface and VLAN (plain and TLS), starts a connection
// task per client and rescans the devices.
#ifndef USBSERVER_CONNECTIONS_USBLISTENER_H
#define USBSERVER_CONNECTIONS_USBLISTENER_H

#include <atomic>
#include <cstdint>

#include "runtime/task/task.h"

class InterfaceView;
class TlsConnection;

// Listener pairs: index 0 the main interface, 1 .. usb_ports_phy the VLAN
// of that port, usb_ports_phy + 1 the management VLAN.
constexpr int USB_LISTENER_PAIRS = 22;
// More live connections than this: a new one is closed at once.
constexpr int USB_MAX_CONNECTIONS = 60;

class UsbSrvd : public Task {
 public:
  // Listens on iface (the active network interface when null).
  explicit UsbSrvd(InterfaceView* iface = nullptr);
  ~UsbSrvd() override;
  void run() override;
  int onMessage(const TaskMessage& msg) override;
  // Closes the listeners, waits (bounded) for the connections to end, then
  // recycles the device rows.
  void onEnd() override;

  // 1; listeners that cannot be opened are left out.
  int openListeners();
  void closeListeners();
  // Accepts the client waiting on the listener with that descriptor.
  void acceptConnection(int fd);
  // Listeners open now.
  int openListenerCount() const;

 private:
  InterfaceView* iface_;
  uint8_t reopen_ = 0;
  int32_t listenerCount_ = 1;
  TlsConnection* listeners_[USB_LISTENER_PAIRS][2] = {};  // {plain, TLS}
};

// The callback of a listener registration: 0, or -1 when it has no owner.
int acceptOnUsbListener(TaskEventRecord* record, uint32_t events);

// The board start-up is done (the listener waits for it before listening);
// null (the default) counts as done. Set by the program's start-up.
void setUsbBoardReadyCheck(bool (*ready)());

// Starts "UsbSrvd" with the ordinary stack: its task id, or -1.
int startUsbListener(InterfaceView* iface);
// A "UsbSrvd" task exists (between construction and destruction).
extern std::atomic<int32_t> usbListenerTasks;

#endif

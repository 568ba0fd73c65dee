// Power of the USB ports and the other board outputs the USB service drives.
//
// The board device belongs to the program's start-up, which installs a
// UsbBoardHooks table; without one (no board, most tests) the outputs do
// nothing and the card-reader query fails.
#ifndef USBSERVER_DEVICES_PORTPOWER_H
#define USBSERVER_DEVICES_PORTPOWER_H

#include <cstdint>

struct UsbBoardHooks {
  // Switches the power output of the port (index 0 .. 19); true when done.
  bool (*setPortPower)(int portIndex, bool on);
  // The board's card-reader state query: true when it succeeded, the state
  // (0 absent) in *state.
  bool (*queryCardReader)(int* state);
  // The LED of a port (1 .. 20): 0 off, 1 device present, 2 in use.
  void (*setPortLed)(int port, int state);
  // Models with one USB LED: the status LED shows USB use (LED 0, state 1).
  void (*showUsbInUse)();
  // The status LED goes back to the address pattern (the last device was
  // released).
  void (*showAddressPattern)();
  // One short beep (a device was attached, with FEATURE_BEEPER).
  void (*beep)();
};

// Installs the table (null removes it); the table must outlive its use.
void setUsbBoardHooks(const UsbBoardHooks* hooks);
const UsbBoardHooks* usbBoardHooks();

// 1 and the state when the board answers the card-reader query, else 0.
int queryUsbCardReader(int* state);

// Switches the port (index 0 .. 19) off now and on again after ticks
// (1/100 s); a port switched off again before then gets the new deadline.
// An index outside 0 .. 19 is ignored.
void powerOffUsbPortFor(int portIndex, int ticks);
// Switches on each port whose deadline has passed (the supervision loop
// calls it every 100 ms).
void powerOnExpiredUsbPorts();
// The port's deadline on the program clock, 0 while it is powered.
int64_t usbPortPowerOffDeadline(int portIndex);

#endif

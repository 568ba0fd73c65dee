// The four moments of a device's life made visible outside the USB service
// (attached, detached, connected, released): the read-only parameters of
// its table row (usb_manu_, usb_prod_, usb_sern_, usb_vendid_, usb_prodid_,
// usb_slot_, usb_owner_), the port LEDs and the port power after a release,
// the notification events and the alarm relay.
//
// publishUsbDeviceAdded and publishUsbDeviceRemoved are declared in
// usbhooks.h (the device table calls them).
#ifndef USBSERVER_DEVICES_PUBLISHEDPARAMS_H
#define USBSERVER_DEVICES_PUBLISHEDPARAMS_H

#include <atomic>
#include <cstdint>

#include "usbserver/devices/usbhooks.h"

// Notification event codes.
constexpr uint32_t USB_EVENT_CONNECTED = 0x100;
constexpr uint32_t USB_EVENT_DISCONNECTED = 0x200;
constexpr uint32_t USB_EVENT_ATTACHED = 0x400;
constexpr uint32_t USB_EVENT_DETACHED = 0x800;

// Relay event codes of port 1; every other port uses them times 16.
constexpr int USB_RELAY_ATTACHED = 0x1000;
constexpr int USB_RELAY_DETACHED = 0x2000;
constexpr int USB_RELAY_CONNECTED = 0x4000;
constexpr int USB_RELAY_RELEASED = 0x8000;

// What a device event carries to the notification task.
struct UsbDeviceEvent {
  uint32_t code;
  int port;
  const char* manufacturer;
  const char* product;
  const char* serial;
  const char* owner;  // connected and disconnected only, else null
};

// The notification task and the relay logic live above this library; the
// start-up installs these (null members or no table: nothing happens).
struct UsbEventHooks {
  // Pushes the event when the notification task runs and announces it
  // (MSG_NOTIFY with the code) when the push succeeded.
  void (*pushDeviceEvent)(const UsbDeviceEvent& event);
  void (*signalRelayEvent)(int event);
};
void setUsbEventHooks(const UsbEventHooks* hooks);

// A client took the device of row (name may be null or empty). The owner
// address shown is the one noted with noteUsbRowOwnerAddress.
void publishUsbDeviceConnected(int row, const char* clientName);
// The client gave the device back or lost it.
void publishUsbDeviceReleased(int row);

// The IPv4 address (network order) of the client that owns row, 0 for an
// owner that is not an IPv4 peer. Noted at CONNECT before the publication.
void noteUsbRowOwnerAddress(int row, uint32_t ip4Word);

// One item of a row for web pages, mails and traps: 1 manufacturer,
// 2 product, 3 serial, 4 owner address ("%03d.%03d.%03d.%03d" or "----"),
// 5 "1" when in use (else empty), 6 idProduct and 7 idVendor ("0x%04X"),
// any other "id err !!". The length stored, or -1 for an invalid row or
// one that is neither PRESENT nor IN_USE.
int getUsbDeviceInfo(int row, int item, char* out, int size);

// Per port (index port - 1): +100 per device attached, +1 per connected
// client; they decide the port LED on models with one LED per port.
extern std::atomic<int32_t> usbPortUseCounters[20];
// Connected devices on models with a single USB LED.
extern std::atomic<int32_t> usbConnectedCount;
// Zeroes the counters (the listener's start).
void resetUsbPortUseCounters();
// The model has one LED per port.
bool hasUsbPortLeds();

#endif

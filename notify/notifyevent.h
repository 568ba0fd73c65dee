// Notification events: the codes and one entry of the event ring.
#ifndef NOTIFY_NOTIFYEVENT_H
#define NOTIFY_NOTIFYEVENT_H

#include <cstdint>

// Event codes, one bit each, so that sets of events travel as one mask.
constexpr uint32_t NOTIFY_USB_CONNECTED = 0x100;
constexpr uint32_t NOTIFY_USB_DISCONNECTED = 0x200;
constexpr uint32_t NOTIFY_USB_ATTACHED = 0x400;
constexpr uint32_t NOTIFY_USB_DETACHED = 0x800;
constexpr uint32_t NOTIFY_STATUS_REPORT = 0x1000;       // scheduled status mail (this task only)
constexpr uint32_t NOTIFY_SERVICE_START = 0x2000;       // start of the service (this task only)
constexpr uint32_t NOTIFY_FULL_STATUS = 0x4000;         // full status report (mail builder)
constexpr uint32_t NOTIFY_POLL_MAILBOX = 0x8000;        // poll POP3 now: posted, never pushed
constexpr uint32_t NOTIFY_GENERAL = 0x10000;
constexpr uint32_t NOTIFY_POWER_SUPPLY = 0x200000;
constexpr uint32_t NOTIFY_CARD_IN = 0x400000;
constexpr uint32_t NOTIFY_CARD_OUT = 0x800000;
constexpr uint32_t NOTIFY_CARD_MISSING = 0x1000000;
constexpr uint32_t NOTIFY_CARD_UNUSABLE = 0x2000000;
constexpr uint32_t NOTIFY_CARD_READONLY = 0x4000000;
constexpr uint32_t NOTIFY_NETWORK_LINK = 0x8000000;

// Masks.
constexpr uint32_t NOTIFY_USB_EVENTS = 0xf00;
constexpr uint32_t NOTIFY_USB_PLUG_EVENTS = 0xc00;
constexpr uint32_t NOTIFY_USB_USE_EVENTS = 0x300;
constexpr uint32_t NOTIFY_CARD_INOUT_EVENTS = 0xc00000;
constexpr uint32_t NOTIFY_CARD_TROUBLE_EVENTS = 0x7000000;
constexpr uint32_t NOTIFY_CARD_EVENTS = 0x7c00000;
constexpr uint32_t NOTIFY_RING_TRAP_CODES = 0xff20f00;  // trapped from the message handler at once
constexpr uint32_t NOTIFY_NO_DEVICE_TEXTS = 0xfe00000;  // traps without the device texts

constexpr int NOTIFY_RING_SIZE = 16;

constexpr int NOTIFY_TEXT_MANUFACTURER = 129;
constexpr int NOTIFY_TEXT_PRODUCT = 129;
constexpr int NOTIFY_TEXT_SERIAL = 33;
constexpr int NOTIFY_TEXT_HOST = 65;

// One ring entry: plain data of fixed size.
struct NotifyEvent {
  uint32_t code;
  // USB port, the power input bits, the link bit mask, or 0 for the memory
  // card; -1 in an entry never written.
  int32_t value;
  char manufacturer[NOTIFY_TEXT_MANUFACTURER];
  char product[NOTIFY_TEXT_PRODUCT];
  char serial[NOTIFY_TEXT_SERIAL];
  char host[NOTIFY_TEXT_HOST];  // client of a USB connect or release
};

// The text stored for an absent one.
constexpr const char NOTIFY_MISSING_TEXT[] = "-?-";

// Codes whose entries keep the texts of the entry's previous use.
inline bool notifyEventKeepsTexts(uint32_t code) {
  return code == NOTIFY_POWER_SUPPLY || code == NOTIFY_NETWORK_LINK;
}

#endif

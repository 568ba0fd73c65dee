#include "notify/trapcontents.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kEventOid[] = {1, 3, 6, 1, 4, 1, 32473, 2, 51};
constexpr int kEventOidLength = sizeof kEventOid / sizeof kEventOid[0];

struct TrapKind {
  uint32_t code;
  int32_t number;
  const char* text;
};

const TrapKind kTrapKinds[] = {
    {NOTIFY_USB_CONNECTED, 5, "device connected: "},
    {NOTIFY_USB_DISCONNECTED, 6, "device disconnected"},
    {NOTIFY_USB_ATTACHED, 3, "device attached"},
    {NOTIFY_USB_DETACHED, 4, "device detached"},
    {NOTIFY_POWER_SUPPLY, 11, "power supply event"},
    {NOTIFY_CARD_IN, 12, " SDCard is plugged in"},
    {NOTIFY_CARD_OUT, 13, " SDCard is plugged out"},
    {NOTIFY_CARD_MISSING, 14, " SDCard is missing"},
    {NOTIFY_CARD_UNUSABLE, 15, " SDCard is unusable"},
    {NOTIFY_CARD_READONLY, 16, " SDCard is write protected"},
    {NOTIFY_NETWORK_LINK, 17, "network link event"},
};

const TrapKind* kindOf(uint32_t code) {
  for (const TrapKind& k : kTrapKinds)
    if (k.code == code) return &k;
  return nullptr;
}

SnmpTrapVarbind& nextVarbind(SnmpTrapRecord* record, uint32_t leaf) {
  SnmpTrapVarbind& v = record->varbinds[record->varbindCount++];
  std::memcpy(v.oid, kEventOid, sizeof kEventOid);
  v.oid[kEventOidLength] = leaf;
  v.oidLength = kEventOidLength + 1;
  return v;
}

void addInteger(SnmpTrapRecord* record, uint32_t leaf, int32_t value) {
  SnmpTrapVarbind& v = nextVarbind(record, leaf);
  v.type = TRAP_TYPE_INTEGER;
  v.valueLength = sizeof value;
  std::memcpy(v.value, &value, sizeof value);
}

void addText(SnmpTrapRecord* record, uint32_t leaf, const char* text) {
  SnmpTrapVarbind& v = nextVarbind(record, leaf);
  v.type = TRAP_TYPE_OCTET_STRING;
  size_t n = strnlen(text, sizeof v.value);
  std::memcpy(v.value, text, n);
  v.valueLength = static_cast<int32_t>(n);
}

bool isMissingHost(const char* text, size_t length) {
  return length == 0 || (length == 3 && std::memcmp(text, NOTIFY_MISSING_TEXT, 3) == 0) ||
         (length == 5 && std::memcmp(text, "- ? -", 5) == 0);
}

}  // namespace

int32_t trapNumberOf(uint32_t code) {
  const TrapKind* k = kindOf(code);
  return k ? k->number : 1;
}

const char* trapTextOf(uint32_t code) {
  const TrapKind* k = kindOf(code);
  return k ? k->text : "device unknown event";
}

void connectedHostAddress(const char* host, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = 0;
  if (!host) return;
  size_t length = strnlen(host, NOTIFY_TEXT_HOST);
  const char* start = host;
  const char* open = static_cast<const char*>(memrchr(host, '(', length));
  if (open) {
    const char* close = static_cast<const char*>(std::memchr(open, ')', length - (open - host)));
    if (!close) return;  // cut before its ")": no address to show
    start = open + 1;
    length = static_cast<size_t>(close - start);
  }
  if (isMissingHost(start, length)) return;
  if (length >= size) length = size - 1;
  std::memcpy(out, start, length);
  out[length] = 0;
}

void buildTrapVarbinds(const NotifyEvent& event, SnmpTrapRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->easy = false;
  record->generic = TRAP_ENTERPRISE_SPECIFIC;
  record->specific = TRAP_EVENT_SPECIFIC;
  char text[128];
  if (event.code == NOTIFY_USB_CONNECTED) {
    char address[NOTIFY_TEXT_HOST];
    connectedHostAddress(event.host, address, sizeof address);
    std::snprintf(text, sizeof text, "%s%s", trapTextOf(event.code), address);
  } else {
    std::snprintf(text, sizeof text, "%s", trapTextOf(event.code));
  }
  addInteger(record, 1, trapNumberOf(event.code));
  addInteger(record, 2, event.value);
  addText(record, 3, text);
  if (event.code & NOTIFY_NO_DEVICE_TEXTS) return;
  addText(record, 4, event.manufacturer);
  addText(record, 6, event.product);
  addText(record, 8, event.serial);
}

void buildStartTrap(int kickOff, int32_t life, SnmpTrapRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->easy = true;
  record->generic = kickOff > 0 ? TRAP_WARM_START : TRAP_COLD_START;
  record->specific = life;
}

int32_t trapVarbindInteger(const SnmpTrapVarbind& varbind) {
  int32_t value = 0;
  if (varbind.type == TRAP_TYPE_INTEGER && varbind.valueLength == sizeof value)
    std::memcpy(&value, varbind.value, sizeof value);
  return value;
}

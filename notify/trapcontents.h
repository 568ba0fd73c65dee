// What an event trap carries: the trap number and text of an event code,
// and the variable bindings under the private enterprise subtree
// 1.3.6.1.4.1.32473.2.51, as plain records for the SNMP agent's outbox.
#ifndef NOTIFY_TRAPCONTENTS_H
#define NOTIFY_TRAPCONTENTS_H

#include <cstddef>
#include <cstdint>

#include "notify/notifyevent.h"
#include "snmp/trapoutbox.h"

// Generic trap numbers.
constexpr int32_t TRAP_COLD_START = 0;
constexpr int32_t TRAP_WARM_START = 1;
constexpr int32_t TRAP_ENTERPRISE_SPECIFIC = 6;
// Specific trap number of every event trap.
constexpr int32_t TRAP_EVENT_SPECIFIC = 51;

// ASN.1 types of the bindings. An INTEGER value is an int32_t in host byte
// order (valueLength 4); an OCTET STRING is the text without terminator.
constexpr uint8_t TRAP_TYPE_INTEGER = 0x02;
constexpr uint8_t TRAP_TYPE_OCTET_STRING = 0x04;

// Trap number and text of an event code (1 "device unknown event" for a
// code not in the table; 0x100 gets its address from the entry).
int32_t trapNumberOf(uint32_t code);
const char* trapTextOf(uint32_t code);

// The client address shown in the "device connected: " text, from the
// entry's host text: the text in its final parentheses ("name (address)"),
// or the whole text when it has none. Empty for a missing host, and for a
// text cut before its closing parenthesis.
void connectedHostAddress(const char* host, char* out, size_t size);

// The record of one event trap: number, value and text, then the
// manufacturer, product and serial texts except for the codes within
// 0xfe00000 (power supply, memory card, network link).
void buildTrapVarbinds(const NotifyEvent& event, SnmpTrapRecord* record);

// The start trap: warm start when the start counter KickOff is above 0,
// else cold start; the number of starts (`life`) as specific number.
void buildStartTrap(int kickOff, int32_t life, SnmpTrapRecord* record);

// Reading back (tests, diagnostics): the integer of a binding.
int32_t trapVarbindInteger(const SnmpTrapVarbind& varbind);

#endif

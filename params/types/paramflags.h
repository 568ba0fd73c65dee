// Flag bits of a parameter, change classes and commit result bits,
// and the model feature bits shared with `sw_features`.
#ifndef PARAMS_TYPES_PARAMFLAGS_H
#define PARAMS_TYPES_PARAMFLAGS_H

#include <cstdint>

// Parameter flag word.
constexpr uint32_t PF_NOREPORT = 0x1;           // left out of parameter listings
constexpr uint32_t PF_NOSNMP = 0x2;             // not reachable by SNMP
constexpr uint32_t PF_SECRET = 0x4;             // shown as "****"; "****" as input keeps the value
constexpr uint32_t PF_ALWAYS_HIDDEN = 0x8;      // hidden on every model
constexpr uint32_t PF_TRANSLATED = 0x10;        // display texts go through the catalogue
constexpr uint32_t PF_VOLATILE = 0x20;          // run-time value: never saved, no change class
constexpr uint32_t PF_FEATURE_MASK = 0xfff000;  // model features the parameter needs
constexpr uint32_t PF_HIDDEN = 0x1000000;       // not present on this model
constexpr uint32_t PF_PER_PORT = 0x2000000;     // family indexed by USB port
constexpr uint32_t PF_PER_DEVICE_SLOT = 0x8000000;  // family indexed by USB device-table row
constexpr uint32_t PF_IMMEDIATE = 0x10000000;   // takes effect without restart
constexpr uint32_t PF_SNMP_TEXT = 0x20000000;   // choice list exchanged over SNMP as key text
constexpr uint32_t PF_RESTART = 0x40000000;     // services must reload their configuration

// Change classes of Param::set and result bits of the commit.
constexpr int CHANGE_SAVE = 0x1;
constexpr int CHANGE_RESTART = 0x2;
constexpr int CHANGE_REBOOT = 0x4;
constexpr int CHANGE_ANY = 0x80;  // also the change class of a PF_IMMEDIATE parameter

// Model features (bits of `sw_features` and of PF_FEATURE_MASK).
constexpr uint32_t FEATURE_EMAIL = 0x1000;
constexpr uint32_t FEATURE_ACCCTRL = 0x2000;
constexpr uint32_t FEATURE_WLAN = 0x4000;
constexpr uint32_t FEATURE_POSWITCH = 0x8000;
constexpr uint32_t FEATURE_UCOMP = 0x10000;
constexpr uint32_t FEATURE_IP4VLAN = 0x20000;
constexpr uint32_t FEATURE_DISPLAY = 0x40000;
constexpr uint32_t FEATURE_PWRLNK = 0x80000;
constexpr uint32_t FEATURE_BEEPER = 0x100000;
constexpr uint32_t FEATURE_SDBACKUP = 0x200000;
constexpr uint32_t FEATURE_RELAY = 0x400000;

#endif

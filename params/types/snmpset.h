// The SNMP write protocol as the parameters see it: actions of a SET,
// ASN types of the values and the error statuses they answer (net-snmp's
// values, checked against its headers in snmpset.cpp).
#ifndef PARAMS_TYPES_SNMPSET_H
#define PARAMS_TYPES_SNMPSET_H

// Phases of a SET, in the order the agent calls them.
constexpr int SNMP_RESERVE1 = 0;
constexpr int SNMP_RESERVE2 = 1;
constexpr int SNMP_ACTION = 2;
constexpr int SNMP_COMMIT = 3;
constexpr int SNMP_FREE = 4;
constexpr int SNMP_UNDO = 5;

// ASN types of the written values.
constexpr int SNMP_TYPE_INTEGER = 0x02;
constexpr int SNMP_TYPE_OCTET_STRING = 0x04;
constexpr int SNMP_TYPE_IPADDRESS = 0x40;
constexpr int SNMP_TYPE_GAUGE32 = 0x42;

// Error statuses.
constexpr int SNMP_NO_ERROR = 0;
constexpr int SNMP_NO_SUCH_NAME = 2;
constexpr int SNMP_NO_ACCESS = 6;
constexpr int SNMP_WRONG_TYPE = 7;
constexpr int SNMP_WRONG_LENGTH = 8;
constexpr int SNMP_WRONG_VALUE = 10;

#include <cstddef>
#include <cstdint>

class Param;

// Largest length of an INTEGER or Gauge32 value: the agent hands it as a
// C long (4 bytes on the appliance).
constexpr size_t SNMP_MAX_INTEGER_LENGTH = sizeof(long);

// The INTEGER or Gauge32 value of length bytes (a long when length is the
// size of one, else a 32-bit or shorter integer in host order).
int64_t readSnmpInteger(const uint8_t* value, size_t length);

// The COMMIT phase shared by every class: an SNMP write of `ip_addr`
// records "snmp" in `ip_setby`, then the store commits and saves.
int snmpCommit(const Param& param);

#endif

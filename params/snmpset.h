// The SNMP write protocol as the parameters see it: actions of a SET,
// ASN types of the values and the error statuses they answer (net-snmp's
// values, checked against its headers in snmpset.cpp).
#ifndef PARAMS_SNMPSET_H
#define PARAMS_SNMPSET_H

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

#endif

// "ORV-AUTOSystem": the generated table of the private MIB, one object per
// published parameter plus the index and count objects of the families
// (rows from automib.map, expanded at build time).
#ifndef SNMP_AUTOMIB_H
#define SNMP_AUTOMIB_H

#include "snmp/mibvariable.h"

constexpr size_t kAutoMibVariableCount = 775;
constexpr uint16_t kAutoMibFirstParamNumber = 130;
constexpr uint16_t kAutoMibLastParamNumber = 844;
constexpr size_t kAutoMibParamRowCount = kAutoMibLastParamNumber - kAutoMibFirstParamNumber + 1;
// Index and count objects carry their value as their number.
constexpr uint16_t kAutoMibLastValueNumber = 128;

// The parameter row of object number 130 + n.
struct AutoMibParamRow {
  const char* key;
  WriteMethod* write;  // callWrapper_<key>; null for a read-only row
  bool hasObject;      // false: the row registers no object
};

extern const OrvMibVariable autoMibVariables[kAutoMibVariableCount];
extern const AutoMibParamRow autoMibParamRows[kAutoMibParamRowCount];
// Keys of the read-write rows, in table order, and their number.
extern const char* const autoMibWritableKeys[];
extern const size_t autoMibWritableKeyCount;

// The prefix 1.3.6.1.4.1.32473 of the private MIB.
extern const oid orvMibPrefix[7];

// The row of an object number, null for index, count and unknown numbers.
const AutoMibParamRow* autoMibParamRow(unsigned number);

// Find function of every descriptor of the table.
u_char* findAutoMibVariable(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                            WriteMethod** writeMethod);

// The body of every callWrapper_<key>: logs "call wrapper <key>" on
// standard output, then hands the phase to the parameter's setBySnmp.
int callParamWrapper(const char* key, int action, u_char* value, u_char type, size_t length);

#endif

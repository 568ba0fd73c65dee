// The hand-made groups of the private MIB: "ORV-System" (identity values
// and the control object) and "ORV-PrtCompat" (prtGeneralReset).
#ifndef SNMP_SYSTEMGROUP_H
#define SNMP_SYSTEMGROUP_H

#include "snmp/mibvariable.h"

constexpr size_t kSystemGroupVariableCount = 19;
extern const OrvMibVariable systemGroupVariables[kSystemGroupVariableCount];
extern const OrvMibVariable prtCompatVariables[1];
extern const oid prtCompatPrefix[7];

u_char* findSystemGroupVariable(const OrvMibObject* object, oid* name, size_t* length, int exact,
                                size_t* varLength, WriteMethod** writeMethod);
u_char* findPrtCompatVariable(const OrvMibObject* object, oid* name, size_t* length, int exact,
                              size_t* varLength, WriteMethod** writeMethod);

// Write method of the control object: in COMMIT, 9 removes the parameter
// files and restarts, 10 restarts, anything else does nothing. Always 0.
int writeRestartControl(int action, u_char* value, u_char type, size_t length, u_char* state, oid* name,
                        size_t nameLength);
// Write method of prtGeneralReset: accepts everything, changes nothing.
int writePrtGeneralReset(int action, u_char* value, u_char type, size_t length, u_char* state, oid* name,
                         size_t nameLength);

#endif

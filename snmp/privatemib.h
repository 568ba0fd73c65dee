// The private MIB: "ORV-AUTOSystem" (every published parameter), "ORV-System"
// (identity values and the control object) and "ORV-PrtCompat" (the
// Printer-MIB reset object), registered by the agent's first two modules.
//
// An SNMP write stores and saves a parameter but never broadcasts
// MSG_PARAMS_CHANGED and never restarts: written settings take effect at
// the next broadcast from elsewhere or after a restart through the control
// object.
#ifndef SNMP_PRIVATEMIB_H
#define SNMP_PRIVATEMIB_H

#include "snmp/mibvariable.h"

// MIB modules of the agent (agent thread, before the configuration is read).
void init_orvAutoMib();
void init_orv_mib();

// Values written to the control object 1.3.6.1.4.1.32473.2.8.1.
constexpr int SNMP_CONTROL_FACTORY_RESET = 9;
constexpr int SNMP_CONTROL_RESTART = 10;

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

// Starts the "ShutDown" task with a delay of 1 s through the starter the
// program installed (the task lives above this module).
void restartDeviceFromSnmp();
void setSnmpShutDownStarter(bool (*start)(int delaySeconds));

#endif

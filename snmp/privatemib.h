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

// MIB modules of the agent (agent thread, before the configuration is read).
void init_orvAutoMib();
void init_orv_mib();

// Values written to the control object 1.3.6.1.4.1.32473.2.8.1.
constexpr int SNMP_CONTROL_FACTORY_RESET = 9;
constexpr int SNMP_CONTROL_RESTART = 10;

// Starts the "ShutDown" task with a delay of 1 s through the starter the
// program installed at start (the task lives above this module).
void restartDeviceFromSnmp();
void setSnmpShutDownStarter(bool (*start)(int delaySeconds));

#endif

// What the agent asks of net-snmp beyond its stock daemon: the settings
// and module list of this program, sockets bound to the network device of
// the moment, sysUpTime on the program clock, configuration re-reads and
// the sending of queued traps. Agent thread only.
#ifndef SNMP_SNMPENGINE_H
#define SNMP_SNMPENGINE_H

#include <sys/select.h>

// The library's own files (an appliance path).
extern const char kSnmpStateDir[];

// The library settings: master agent without AgentX, application "snmpd",
// only configPath (an appliance path) read, no persistent state, no MIB files, no SIGALRM, no
// SMUX listener.
void configureSnmpLibrary(const char* configPath);

// The module list, in order, each when the library's init lists allow it.
void initAgentModules();

// Binds every listening UDP socket of the library to the device of the
// moment, printing one line per socket; false when one could not be bound.
bool bindListeningSockets();

// Binds every socket among the first `count` descriptors of `set` (the
// library's own) to the device of the moment.
void rebindSockets(const fd_set& set, int count, int skipFd);

// sysUpTime and trap time stamps: the program clock.
void followProgramClock();

// Drops the configuration and reads the file again, with the standard
// views the community and user directives rely on.
void rereadConfiguration();

// Sends every trap waiting in the outbox and counts it.
void sendQueuedTraps();

#endif

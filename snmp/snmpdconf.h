// The agent's configuration file "/var/snmpd.conf", written from the
// parameters at start and on every parameter change; the SNMP library
// reads no other configuration.
#ifndef SNMP_SNMPDCONF_H
#define SNMP_SNMPDCONF_H

#include <atomic>
#include <cstdint>
#include <string>

// The one file the agent reads (an appliance path).
extern const char kSnmpdConfPath[];

// Traps sent to trap sink 1 and 2; -1 while the sink is not configured.
// The writer sets them (0 or -1); the agent adds each trap it sends.
extern std::atomic<int32_t> trapSinkCounters[2];

// The file's text from the parameters and identity records, for an agent
// on UDP port `port`. *trapSinks becomes true when a trap sink line was
// written (left as it is otherwise); sinkWritten[i] tells which. Values
// that a directive cannot carry leave their user, community or sink out,
// with one line on standard error each.
std::string composeSnmpdConf(int port, bool sinkWritten[2]);

// Writes the file (a private temporary, synced and renamed over it):
// 1 after writing, with the trap sink counters reset (0 configured, -1
// not) and *trapSinks set to true when a sink was written; 0 when it
// could not be written: the old file, the counters and *trapSinks stay.
int writeSnmpdConf(int port, bool* trapSinks);

#endif

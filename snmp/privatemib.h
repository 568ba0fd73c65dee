// The private MIB's two modules, registered first in the agent's module
// list.
#ifndef SNMP_PRIVATEMIB_H
#define SNMP_PRIVATEMIB_H

// "orvAutoMib": the generated table of the parameters.
void init_orvAutoMib();
// "orv_mib": the identity and control groups.
void init_orv_mib();

#endif

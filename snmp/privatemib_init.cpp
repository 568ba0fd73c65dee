// The private MIB is not registered yet: its modules do nothing.
#include "snmp/privatemib.h"

void init_orvAutoMib() {}
void init_orv_mib() {}

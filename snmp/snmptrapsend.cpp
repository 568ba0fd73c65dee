// Sending the records of the trap outbox through the library.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "snmp/snmpdconf.h"
#include "snmp/snmpengine.h"
#include "snmp/trapoutbox.h"

namespace {

void countSentTrap() {
  for (std::atomic<int32_t>& counter : trapSinkCounters) {
    int32_t value = counter.load();
    while (value != -1 && !counter.compare_exchange_weak(value, value + 1)) {
    }
  }
}

void sendTrapRecord(const SnmpTrapRecord& record, void*) {
  if (record.easy) {
    send_easy_trap(record.generic, record.specific);
  } else {
    netsnmp_variable_list* vars = nullptr;
    int count = record.varbindCount < SNMP_TRAP_MAX_VARBINDS ? record.varbindCount : SNMP_TRAP_MAX_VARBINDS;
    for (int i = 0; i < count; ++i) {
      const SnmpTrapVarbind& v = record.varbinds[i];
      if (v.oidLength < 1 || v.oidLength > SNMP_TRAP_MAX_OID || v.valueLength < 0 ||
          v.valueLength > SNMP_TRAP_MAX_VALUE)
        continue;
      oid name[SNMP_TRAP_MAX_OID];
      for (int k = 0; k < v.oidLength; ++k) name[k] = v.oid[k];
      snmp_varlist_add_variable(&vars, name, static_cast<size_t>(v.oidLength), v.type, v.value,
                                static_cast<size_t>(v.valueLength));
    }
    send_trap_vars(record.generic, record.specific, vars);
    snmp_free_varbind(vars);
  }
  countSentTrap();
}

}  // namespace

void sendQueuedTraps() { drainTrapOutbox(sendTrapRecord, nullptr); }

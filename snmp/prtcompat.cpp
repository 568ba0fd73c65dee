// "ORV-PrtCompat": prtGeneralReset of the Printer-MIB, which printer
// management software reads and writes. It reads notResetting and accepts
// every write without effect.
#include "params/types/snmpset.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"

namespace {
constexpr int32_t kNotResetting = 3;
}

const oid prtCompatPrefix[7] = {1, 3, 6, 1, 2, 1, 43};

const OrvMibVariable prtCompatVariables[1] = {
    {1, ASN_INTEGER, MIB_READ_WRITE, findPrtCompatVariable, 4, {5, 1, 1, 3}},
};

u_char* findPrtCompatVariable(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                              WriteMethod** writeMethod) {
  thread_local int32_t word;
  const int match = orvMibHeaderSimpleTable(object, name, length, exact, varLength, writeMethod, 1);
  *writeMethod = writePrtGeneralReset;
  if (match == MIB_MATCH_FAILED) return nullptr;
  word = kNotResetting;
  *varLength = sizeof word;
  return reinterpret_cast<u_char*>(&word);
}

int writePrtGeneralReset(int, u_char*, u_char, size_t, u_char*, oid*, size_t) { return SNMP_NO_ERROR; }

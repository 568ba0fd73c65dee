#include <cstdio>

#include "snmp/automib.h"
#include "snmp/privatemib.h"
#include "snmp/systemgroup.h"

namespace {

bool autoRowRegisters(size_t index) {
  const AutoMibParamRow* row = autoMibParamRow(autoMibVariables[index].magic);
  return row == nullptr || row->hasObject;
}

const char* autoRowParam(size_t index) {
  const AutoMibParamRow* row = autoMibParamRow(autoMibVariables[index].magic);
  return row != nullptr ? row->key : nullptr;
}

}  // namespace

void init_orvAutoMib() {
  std::printf("Register ORV AUTO MIB.\n");
  registerOrvMib("ORV-AUTOSystem", autoMibVariables, kAutoMibVariableCount, orvMibPrefix, 7, autoRowRegisters,
                 autoRowParam);
}

void init_orv_mib() {
  registerOrvMib("ORV-System", systemGroupVariables, kSystemGroupVariableCount, orvMibPrefix, 7);
  registerOrvMib("ORV-PrtCompat", prtCompatVariables, 1, prtCompatPrefix, 7);
}

#include "snmp/automib.h"

#include <cstdio>
#include <string>

#include "params/store/paramstore.h"
#include "params/types/parambase.h"
#include "params/types/paramflags.h"
#include "params/types/snmpset.h"

const oid orvMibPrefix[7] = {1, 3, 6, 1, 4, 1, 32473};

const AutoMibParamRow* autoMibParamRow(unsigned number) {
  if (number < kAutoMibFirstParamNumber || number > kAutoMibLastParamNumber) return nullptr;
  return &autoMibParamRows[number - kAutoMibFirstParamNumber];
}

u_char* findAutoMibVariable(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                            WriteMethod** writeMethod) {
  // The library copies a value before the next request is looked at, so
  // one buffer of the agent's thread serves every answer.
  thread_local std::string text;
  thread_local int32_t word;

  if (orvMibHeaderGeneric(object, name, length, exact, varLength, writeMethod) == MIB_MATCH_FAILED)
    return nullptr;
  const unsigned number = object->variable->magic;
  if (const AutoMibParamRow* row = autoMibParamRow(number)) {
    Param* param = paramStore.find(row->key);
    // The copy is made under the parameter's lock: a concurrent change
    // cannot free what the library is about to read.
    if (param == nullptr || param->hasFlags(PF_HIDDEN | PF_NOSNMP) || !param->snmpGet(text)) return nullptr;
    *varLength = text.size();
    if (object->variable->acl == MIB_READ_WRITE) *writeMethod = row->write;
    return reinterpret_cast<u_char*>(&text[0]);
  }
  if (number >= 1 && number <= kAutoMibLastValueNumber) {
    // A whole 32-bit word: the library reads as many bytes as the length says.
    word = static_cast<int32_t>(number);
    *varLength = sizeof word;
    return reinterpret_cast<u_char*>(&word);
  }
  return nullptr;
}

int callParamWrapper(const char* key, int action, u_char* value, u_char type, size_t length) {
  std::printf("call wrapper %s\n", key);
  Param* param = paramStore.find(key);
  if (param == nullptr) return SNMP_NO_SUCH_NAME;
  return param->setBySnmp(action, value, type, length);
}

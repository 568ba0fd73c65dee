#include "snmp/mibvariable.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "params/parambase.h"
#include "params/paramstore.h"

namespace {

const char kSetStateName[] = "orvSet";

// What one variable of a SET carries from phase to phase.
struct SetState {
  WriteMethod* write = nullptr;
  // The parameter's saved text and modified mark before this variable's
  // ACTION; UNDO puts them back.
  bool saved = false;
  bool wasModified = false;
  std::string savedText;
};

void freeSetState(void* data) { delete static_cast<SetState*>(data); }

int callWrite(const SetState& state, int action, netsnmp_variable_list* vb) {
  return state.write(action, vb->val.string, vb->type, vb->val_len, nullptr, vb->name, vb->name_length);
}

void answerRead(const OrvMibObject& object, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request) {
  netsnmp_variable_list* vb = request->requestvb;
  const int exact = reqinfo->mode == MODE_GET;
  oid saved[MAX_OID_LEN];
  const size_t savedLength = vb->name_length;
  std::memcpy(saved, vb->name, savedLength * sizeof(oid));
  size_t length = 0;
  WriteMethod* write = nullptr;
  u_char* value = object.variable->findVar(&object, vb->name, &vb->name_length, exact, &length, &write);
  if (value != nullptr) {
    snmp_set_var_typed_value(vb, object.variable->type, value, length);
    return;
  }
  // Nothing here: the name goes back as asked, so a walk moves on.
  std::memcpy(vb->name, saved, savedLength * sizeof(oid));
  vb->name_length = savedLength;
  if (exact) netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
}

void reserve(const OrvMibObject& object, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request) {
  netsnmp_variable_list* vb = request->requestvb;
  oid name[MAX_OID_LEN];
  size_t nameLength = vb->name_length;
  std::memcpy(name, vb->name, nameLength * sizeof(oid));
  size_t length = 0;
  WriteMethod* write = nullptr;
  object.variable->findVar(&object, name, &nameLength, 1, &length, &write);
  if (write == nullptr) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
    return;
  }
  SetState* state = new (std::nothrow) SetState;
  if (state == nullptr) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_RESOURCEUNAVAILABLE);
    return;
  }
  state->write = write;
  netsnmp_request_add_list_data(request, netsnmp_create_data_list(kSetStateName, state, freeSetState));
  int status = callWrite(*state, MODE_SET_RESERVE1, vb);
  if (status != SNMP_ERR_NOERROR) netsnmp_set_request_error(reqinfo, request, status);
}

SetState* stateOf(netsnmp_request_info* request) {
  return static_cast<SetState*>(netsnmp_request_get_list_data(request, kSetStateName));
}

void saveParam(const OrvMibObject& object, SetState& state) {
  if (object.paramKey == nullptr) return;
  Param* param = paramStore.find(object.paramKey);
  if (param == nullptr) return;
  state.savedText = param->savedText();
  state.wasModified = param->isModified();
  state.saved = true;
}

void restoreParam(const OrvMibObject& object, const SetState& state) {
  if (!state.saved) return;
  Param* param = paramStore.find(object.paramKey);
  if (param == nullptr) return;
  if (param->savedText() != state.savedText) param->assign(state.savedText.c_str(), -1);
  if (state.wasModified)
    param->markModified();
  else
    param->clearModified();
}

int orvMibHandler(netsnmp_mib_handler* handler, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                  netsnmp_request_info* requests) {
  const OrvMibObject& object = *static_cast<const OrvMibObject*>(handler->myvoid);
  switch (reqinfo->mode) {
    case MODE_GET:
    case MODE_GETNEXT:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) answerRead(object, reqinfo, r);
      return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE1:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) reserve(object, reqinfo, r);
      return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO: {
      // Backwards: when one object is written twice in a SET, the first
      // variable's saved value, the one from before the SET, is put back last.
      std::vector<netsnmp_request_info*> list;
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) list.push_back(r);
      for (auto it = list.rbegin(); it != list.rend(); ++it) {
        SetState* state = stateOf(*it);
        if (state == nullptr) continue;
        int status = callWrite(*state, MODE_SET_UNDO, (*it)->requestvb);
        restoreParam(object, *state);
        if (status != SNMP_ERR_NOERROR) netsnmp_set_request_error(reqinfo, *it, status);
      }
      return SNMP_ERR_NOERROR;
    }
    case MODE_SET_RESERVE2:
    case MODE_SET_ACTION:
    case MODE_SET_COMMIT:
    case MODE_SET_FREE:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) {
        SetState* state = stateOf(r);
        if (state == nullptr) continue;
        if (reqinfo->mode == MODE_SET_ACTION) saveParam(object, *state);
        int status = callWrite(*state, reqinfo->mode, r->requestvb);
        if (status != SNMP_ERR_NOERROR) netsnmp_set_request_error(reqinfo, r, status);
      }
      return SNMP_ERR_NOERROR;
    default:
      return SNMP_ERR_GENERR;
  }
}

}  // namespace

bool makeOrvMibObject(OrvMibObject& object, const OrvMibVariable& v, const oid* prefix, size_t prefixLength,
                      const char* paramKey) {
  if (prefixLength > MIB_MAX_PREFIX || v.namelen > MIB_MAX_NAME) return false;
  object.variable = &v;
  object.paramKey = paramKey;
  OrvMibName& full = object.registered;
  full.namelen = static_cast<u_char>(prefixLength + v.namelen);
  std::memcpy(full.name, prefix, prefixLength * sizeof(oid));
  std::memcpy(full.name + prefixLength, v.name, v.namelen * sizeof(oid));
  return true;
}

namespace {

// The library's descriptor of the object, for one header check.
void toLibraryVariable(const OrvMibObject& object, struct variable& out) {
  const OrvMibVariable& v = *object.variable;
  out.magic = static_cast<u_char>(v.magic);
  out.type = static_cast<char>(v.type);
  out.acl = v.acl;
  out.findVar = nullptr;
  out.namelen = object.registered.namelen;
  std::memcpy(out.name, object.registered.name, object.registered.namelen * sizeof(oid));
}

}  // namespace

int orvMibHeaderGeneric(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                        WriteMethod** writeMethod) {
  struct variable full;
  toLibraryVariable(*object, full);
  return header_generic(&full, name, length, exact, varLength, writeMethod);
}

int orvMibHeaderSimpleTable(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                            WriteMethod** writeMethod, int max) {
  struct variable full;
  toLibraryVariable(*object, full);
  return header_simple_table(&full, name, length, exact, varLength, writeMethod, max);
}

int registerOrvMib(const char* tableName, const OrvMibVariable* variables, size_t count, const oid* prefix,
                   size_t prefixLength, OrvMibRowFilter registers, OrvMibParamOf paramOf) {
  int registered = 0;
  for (size_t i = 0; i < count; ++i) {
    if (registers != nullptr && !registers(i)) continue;
    const OrvMibVariable& v = variables[i];
    // Lives as long as the registration: for the rest of the process.
    OrvMibObject* object = new (std::nothrow) OrvMibObject();
    if (object == nullptr) break;
    if (!makeOrvMibObject(*object, v, prefix, prefixLength, paramOf != nullptr ? paramOf(i) : nullptr)) {
      delete object;
      continue;
    }
    const OrvMibName& full = object->registered;
    const int modes = v.acl == MIB_READ_WRITE ? HANDLER_CAN_RWRITE : HANDLER_CAN_RONLY;
    netsnmp_handler_registration* reg =
        netsnmp_create_handler_registration(tableName, orvMibHandler, full.name, full.namelen, modes);
    if (reg == nullptr) {
      delete object;
      continue;
    }
    reg->handler->myvoid = object;
    if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
      // The library has freed the registration on failure.
      std::fprintf(stderr, "%s: object %u not registered\n", tableName, static_cast<unsigned>(v.magic));
      delete object;
      continue;
    }
    ++registered;
  }
  return registered;
}

#include "snmp/mibvariable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "params/store/paramstore.h"
#include "params/types/parambase.h"

namespace {

const char kSetStateName[] = "orvSet";

// The descriptors registered below one subtree (a prefix and the first
// sub-identifier of their names), sorted by full name: one registration
// and one handler serve them all, which keeps the agent's registry to a
// few entries instead of one (with its copies) per object. An object may
// lie inside another's subtree; there it answers, as a more specific
// registration would. Lives as long as the registration: for the rest of
// the process.
struct OrvMibGroup {
  size_t rootLength = 0;
  std::vector<OrvMibObject> objects;
};

using ObjectIt = std::vector<OrvMibObject>::const_iterator;

// The first object whose name is not before name[0..length).
ObjectIt firstNotBefore(const OrvMibGroup& group, const oid* name, size_t length) {
  return std::lower_bound(group.objects.begin(), group.objects.end(), 0, [&](const OrvMibObject& object, int) {
    return snmp_oid_compare(object.registered.name, object.registered.namelen, name, length) < 0;
  });
}

// The object holding name: the one with the longest name that begins it
// (deepest) or the shortest (outermost); end() when there is none.
ObjectIt holderOf(const OrvMibGroup& group, const oid* name, size_t length, bool deepest) {
  ObjectIt found = group.objects.end();
  for (size_t prefix = group.rootLength + 1; prefix <= length; ++prefix) {
    ObjectIt it = firstNotBefore(group, name, prefix);
    if (it == group.objects.end() || snmp_oid_compare(it->registered.name, it->registered.namelen, name, prefix) != 0)
      continue;
    found = it;
    if (!deepest) break;
  }
  return found;
}

// What one variable of a SET carries from phase to phase.
struct SetState {
  const OrvMibObject* object = nullptr;
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

// Asks object's find function about the variable's name without changing
// the variable: the name it answers for lands in name (MAX_OID_LEN long),
// the value's length in valueLength.
u_char* findOnCopy(const OrvMibObject& object, const netsnmp_variable_list& vb, int exact, oid* name,
                   size_t* nameLength, size_t* valueLength, WriteMethod** write) {
  *nameLength = vb.name_length;
  std::memcpy(name, vb.name, vb.name_length * sizeof(oid));
  *valueLength = 0;
  *write = nullptr;
  return object.variable->findVar(&object, name, nameLength, exact, valueLength, write);
}

// Answers the variable from object (GET: exactly its name; GETNEXT: the
// object's first instance after it). False, with the name as asked, when
// the object has none.
bool answerFrom(const OrvMibObject& object, int exact, netsnmp_variable_list* vb) {
  oid name[MAX_OID_LEN];
  size_t nameLength = 0;
  size_t valueLength = 0;
  WriteMethod* write = nullptr;
  u_char* value = findOnCopy(object, *vb, exact, name, &nameLength, &valueLength, &write);
  if (value == nullptr) return false;
  snmp_set_var_objid(vb, name, nameLength);
  snmp_set_var_typed_value(vb, object.variable->type, value, valueLength);
  return true;
}

void answerGet(const OrvMibGroup& group, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request) {
  netsnmp_variable_list* vb = request->requestvb;
  ObjectIt object = holderOf(group, vb->name, vb->name_length, true);
  if (object == group.objects.end())
    netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
  else if (!answerFrom(*object, 1, vb))
    netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
}

// The next instance in name order among the group's objects: the least of
// their next instances, each object asked from the outermost one holding
// the name on, until the objects begin after the best found. An instance
// inside a more specific object's subtree is that object's to give. When
// there is none the variable stays as asked, and the agent goes on to the
// subtrees after the group's.
void answerGetNext(const OrvMibGroup& group, netsnmp_request_info* request) {
  netsnmp_variable_list* vb = request->requestvb;
  ObjectIt it = holderOf(group, vb->name, vb->name_length, false);
  if (it == group.objects.end()) it = firstNotBefore(group, vb->name, vb->name_length);
  ObjectIt best = group.objects.end();
  oid bestName[MAX_OID_LEN];
  size_t bestLength = 0;
  for (; it != group.objects.end(); ++it) {
    if (best != group.objects.end() &&
        snmp_oid_compare(it->registered.name, it->registered.namelen, bestName, bestLength) >= 0)
      break;
    oid probe[MAX_OID_LEN];
    size_t probeLength = 0;
    size_t valueLength = 0;
    WriteMethod* write = nullptr;
    if (findOnCopy(*it, *vb, 0, probe, &probeLength, &valueLength, &write) == nullptr) continue;
    if (holderOf(group, probe, probeLength, true) != it) continue;
    if (best == group.objects.end() || snmp_oid_compare(probe, probeLength, bestName, bestLength) < 0) {
      best = it;
      bestLength = probeLength;
      std::memcpy(bestName, probe, probeLength * sizeof(oid));
    }
  }
  if (best != group.objects.end()) answerFrom(*best, 0, vb);
}

void reserve(const OrvMibGroup& group, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request) {
  netsnmp_variable_list* vb = request->requestvb;
  ObjectIt holder = holderOf(group, vb->name, vb->name_length, true);
  if (holder == group.objects.end() || holder->variable->acl != MIB_READ_WRITE) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
    return;
  }
  oid name[MAX_OID_LEN];
  size_t nameLength = 0;
  size_t valueLength = 0;
  WriteMethod* write = nullptr;
  const OrvMibObject* object = &*holder;
  findOnCopy(*object, *vb, 1, name, &nameLength, &valueLength, &write);
  if (write == nullptr) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
    return;
  }
  SetState* state = new (std::nothrow) SetState;
  if (state == nullptr) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_RESOURCEUNAVAILABLE);
    return;
  }
  state->object = object;
  state->write = write;
  netsnmp_request_add_list_data(request, netsnmp_create_data_list(kSetStateName, state, freeSetState));
  int status = callWrite(*state, MODE_SET_RESERVE1, vb);
  if (status != SNMP_ERR_NOERROR) netsnmp_set_request_error(reqinfo, request, status);
}

SetState* stateOf(netsnmp_request_info* request) {
  return static_cast<SetState*>(netsnmp_request_get_list_data(request, kSetStateName));
}

void saveParam(SetState& state) {
  if (state.object->paramKey == nullptr) return;
  Param* param = paramStore.find(state.object->paramKey);
  if (param == nullptr) return;
  state.savedText = param->savedText();
  state.wasModified = param->isModified();
  state.saved = true;
}

void restoreParam(const SetState& state) {
  if (!state.saved) return;
  Param* param = paramStore.find(state.object->paramKey);
  if (param == nullptr) return;
  if (param->savedText() != state.savedText) param->assign(state.savedText.c_str(), -1);
  if (state.wasModified)
    param->markModified();
  else
    param->clearModified();
}

int orvMibHandler(netsnmp_mib_handler* handler, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                  netsnmp_request_info* requests) {
  const OrvMibGroup& group = *static_cast<const OrvMibGroup*>(handler->myvoid);
  switch (reqinfo->mode) {
    case MODE_GET:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) answerGet(group, reqinfo, r);
      return SNMP_ERR_NOERROR;
    case MODE_GETNEXT:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) answerGetNext(group, r);
      return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE1:
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) reserve(group, reqinfo, r);
      return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO: {
      // Object by object in the order the SET names them; within one
      // object backwards: when it is written twice in a SET, the first
      // variable's saved value, the one from before the SET, is put back last.
      std::vector<netsnmp_request_info*> list;
      for (netsnmp_request_info* r = requests; r != nullptr; r = r->next)
        if (stateOf(r) != nullptr) list.push_back(r);
      std::vector<bool> done(list.size(), false);
      for (size_t first = 0; first < list.size(); ++first) {
        if (done[first]) continue;
        const OrvMibObject* object = stateOf(list[first])->object;
        for (size_t i = list.size(); i-- > first;) {
          SetState* state = stateOf(list[i]);
          if (done[i] || state->object != object) continue;
          done[i] = true;
          int status = callWrite(*state, MODE_SET_UNDO, list[i]->requestvb);
          restoreParam(*state);
          if (status != SNMP_ERR_NOERROR) netsnmp_set_request_error(reqinfo, list[i], status);
        }
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
        if (reqinfo->mode == MODE_SET_ACTION) saveParam(*state);
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

namespace {

// The group registered at subtree, or null when the subtree is not
// registered yet. Asks the agent's registry, so a group of an agent that
// was shut down (its registry freed) is never reused.
OrvMibGroup* registeredGroup(const oid* subtree, size_t length) {
  netsnmp_subtree* found = netsnmp_subtree_find(subtree, length, nullptr, "");
  if (found == nullptr || found->reginfo == nullptr) return nullptr;
  const netsnmp_handler_registration& reg = *found->reginfo;
  if (snmp_oid_compare(reg.rootoid, reg.rootoid_len, subtree, length) != 0) return nullptr;
  // The library puts helpers of its own (GETBULK to GETNEXT) before ours.
  for (netsnmp_mib_handler* h = reg.handler; h != nullptr; h = h->next)
    if (h->access_method == orvMibHandler) return static_cast<OrvMibGroup*>(h->myvoid);
  return nullptr;
}

// The group for subtree, registered now when it is not yet; null when the
// library refuses the subtree.
OrvMibGroup* groupFor(const char* tableName, const oid* subtree, size_t length) {
  if (OrvMibGroup* group = registeredGroup(subtree, length)) return group;
  OrvMibGroup* group = new (std::nothrow) OrvMibGroup();
  if (group == nullptr) return nullptr;
  group->rootLength = length;
  netsnmp_handler_registration* reg =
      netsnmp_create_handler_registration(tableName, orvMibHandler, subtree, length, HANDLER_CAN_RWRITE);
  if (reg == nullptr) {
    delete group;
    return nullptr;
  }
  reg->handler->myvoid = group;
  if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
    // The library has freed the registration on failure.
    delete group;
    return nullptr;
  }
  return group;
}

// Adds object to group in name order; false when an object of that name
// is there.
bool addObject(OrvMibGroup& group, const OrvMibObject& object) {
  const OrvMibName& name = object.registered;
  ObjectIt at = firstNotBefore(group, name.name, name.namelen);
  if (at != group.objects.end() &&
      snmp_oid_compare(at->registered.name, at->registered.namelen, name.name, name.namelen) == 0)
    return false;
  group.objects.insert(at, object);
  return true;
}

}  // namespace

int registerOrvMib(const char* tableName, const OrvMibVariable* variables, size_t count, const oid* prefix,
                   size_t prefixLength, OrvMibRowFilter registers, OrvMibParamOf paramOf) {
  int registered = 0;
  for (size_t i = 0; i < count; ++i) {
    if (registers != nullptr && !registers(i)) continue;
    const OrvMibVariable& v = variables[i];
    OrvMibObject object{};
    if (v.namelen == 0 ||
        !makeOrvMibObject(object, v, prefix, prefixLength, paramOf != nullptr ? paramOf(i) : nullptr))
      continue;
    OrvMibGroup* group = groupFor(tableName, object.registered.name, prefixLength + 1);
    if (group == nullptr || !addObject(*group, object)) {
      std::fprintf(stderr, "%s: object %u not registered\n", tableName, static_cast<unsigned>(v.magic));
      continue;
    }
    ++registered;
  }
  return registered;
}

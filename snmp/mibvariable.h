// Old-style MIB variable descriptors with a 16-bit object number, and their
// registration with the agent library.
//
// The library's own descriptor (struct variable) carries an 8-bit number,
// too small for the generated table (objects up to 844). The descriptors
// are therefore registered through a handler of ours that finds the
// descriptor of a request name, hands the request to its find function with
// the full number, and drives the write method through the phases of a SET.
#ifndef SNMP_MIBVARIABLE_H
#define SNMP_MIBVARIABLE_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstddef>
#include <cstdint>

// Access of a descriptor.
constexpr uint16_t MIB_READ_ONLY = 1;
constexpr uint16_t MIB_READ_WRITE = 2;

// Longest descriptor name (sub-identifiers below the prefix).
constexpr int MIB_MAX_NAME = 7;

struct OrvMibObject;

// The library's find-function contract, given our registered object.
using OrvFindVarMethod = u_char*(const OrvMibObject* object, oid* name, size_t* length, int exact,
                                 size_t* varLength, WriteMethod** writeMethod);

struct OrvMibVariable {
  uint16_t magic;  // object number: all the find function decides by
  uint8_t type;    // ASN type of the value
  uint16_t acl;    // MIB_READ_ONLY or MIB_READ_WRITE
  OrvFindVarMethod* findVar;
  uint8_t namelen;
  oid name[MIB_MAX_NAME];
};

// Longest prefix a descriptor is registered below.
constexpr int MIB_MAX_PREFIX = 7;

// A descriptor's full OID (prefix and name). The library's own form
// (struct variable) holds room for MAX_OID_LEN sub-identifiers, a kilobyte
// per object: it is built only for the moment of a header check.
struct OrvMibName {
  u_char namelen;
  oid name[MIB_MAX_PREFIX + MIB_MAX_NAME];
};

// One registered descriptor (one per object, kept for the whole process).
struct OrvMibObject {
  const OrvMibVariable* variable;
  OrvMibName registered;
  // The parameter the object writes, if any: its value is kept per
  // variable of a SET so that UNDO restores the value from before the SET.
  const char* paramKey;
};

// The library's header checks (header_generic, header_simple_table) of a
// request name against the object's full OID.
int orvMibHeaderGeneric(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                        WriteMethod** writeMethod);
int orvMibHeaderSimpleTable(const OrvMibObject* object, oid* name, size_t* length, int exact, size_t* varLength,
                            WriteMethod** writeMethod, int max);

// Fills object for a descriptor registered below prefix; false when the
// full name would be too long.
bool makeOrvMibObject(OrvMibObject& object, const OrvMibVariable& variable, const oid* prefix, size_t prefixLength,
                      const char* paramKey);

// Which descriptors of a table register (null: all) and, per descriptor,
// the parameter it writes (null: none).
using OrvMibRowFilter = bool (*)(size_t index);
using OrvMibParamOf = const char* (*)(size_t index);

// Registers each descriptor of the table as the subtree prefix + name, at
// the default priority in the default context. The agent's registry holds
// one entry per prefix and first sub-identifier of the names, shared with
// other tables registered there; a request name below it that is no
// descriptor's answers noSuchObject (GET) or notWritable (SET), as an
// unregistered one does. A descriptor whose subtree is taken (by another
// registration, or a descriptor of the same name) is skipped with a line on
// standard error. Returns how many registered.
int registerOrvMib(const char* tableName, const OrvMibVariable* variables, size_t count, const oid* prefix,
                   size_t prefixLength, OrvMibRowFilter registers = nullptr, OrvMibParamOf paramOf = nullptr);

// The library's checks of old-style find functions (libnetsnmpmibs).
extern "C" {
int header_generic(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLength,
                   WriteMethod** writeMethod);
int header_simple_table(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLength,
                        WriteMethod** writeMethod, int max);
}
constexpr int MIB_MATCH_FAILED = -1;

#endif

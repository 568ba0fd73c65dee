# Expands automib.map into the descriptor table of "ORV-AUTOSystem" and the
# write wrappers of its read-write rows.
#   cmake -DMAP=automib.map -DDEF=paramtable.def -DOUT=automib_table.cpp -P automib_gen.cmake
# Each parameter's class and flags come from the parameter table.

cmake_minimum_required(VERSION 3.18)

function(fail message)
  message(FATAL_ERROR "automib_gen: ${message}")
endfunction()

# Class and flags of every key of the parameter table.
file(STRINGS "${DEF}" def_lines REGEX "^PARAM_")
foreach(line IN LISTS def_lines)
  set(readonly 0)
  set(astext 0)
  if(line MATCHES "PF_NOREPORT")
    set(readonly 1)
  endif()
  if(line MATCHES "PF_SNMP_TEXT")
    set(astext 1)
  endif()
  if(line MATCHES "^PARAM_FAMILY\\(([0-9]+), *\"([^\"]+)\", *PARAM_([A-Z0-9]+)")
    set(n ${CMAKE_MATCH_1})
    set(stem ${CMAKE_MATCH_2})
    set(cls ${CMAKE_MATCH_3})
    foreach(i RANGE 1 ${n})
      set(keys "${stem}${i}")
      set(CLASS_${keys} ${cls})
      set(RO_${keys} ${readonly})
      set(TEXT_${keys} ${astext})
    endforeach()
  elseif(line MATCHES "^PARAM_([A-Z0-9]+)\\(\"([^\"]+)\"")
    set(CLASS_${CMAKE_MATCH_2} ${CMAKE_MATCH_1})
    set(RO_${CMAKE_MATCH_2} ${readonly})
    set(TEXT_${CMAKE_MATCH_2} ${astext})
  else()
    fail("unreadable table line: ${line}")
  endif()
endforeach()

function(asn_type key out)
  set(cls "${CLASS_${key}}")
  if(cls STREQUAL "")
    fail("no parameter ${key}")
  endif()
  if(cls MATCHES "^(TEXT|MAC|IP6)$")
    set(${out} "ASN_OCTET_STR" PARENT_SCOPE)
  elseif(cls STREQUAL "IP4")
    set(${out} "ASN_IPADDRESS" PARENT_SCOPE)
  elseif(cls STREQUAL "LIST" AND TEXT_${key})
    set(${out} "ASN_OCTET_STR" PARENT_SCOPE)
  elseif(cls MATCHES "^(INT|NUMBER|ONOFF|LIST)$")
    set(${out} "ASN_INTEGER" PARENT_SCOPE)
  else()
    fail("class ${cls} of ${key} has no ASN type")
  endif()
endfunction()

set(descriptors "")
set(rows "")
set(wrappers "")
set(writable "")
set(number 130)
set(total 0)

# One descriptor: number, type, access, OID text (dots) of the name.
macro(add_descriptor num type access oidtext)
  string(REPLACE "." ";" subids "${oidtext}")
  list(LENGTH subids namelen)
  if(namelen GREATER 7)
    fail("name ${oidtext} longer than 7")
  endif()
  string(REPLACE "." ", " braced "${oidtext}")
  string(APPEND descriptors "    {${num}, ${type}, ${access}, findAutoMibVariable, ${namelen}, {${braced}}},\n")
  math(EXPR total "${total} + 1")
endmacro()

macro(add_param key oidtext hasobject)
  asn_type(${key} type)
  if(RO_${key})
    set(access MIB_READ_ONLY)
    string(APPEND rows "    {\"${key}\", nullptr, ${hasobject}},\n")
  else()
    set(access MIB_READ_WRITE)
    string(APPEND rows "    {\"${key}\", callWrapper_${key}, ${hasobject}},\n")
    string(APPEND wrappers "WRITE_WRAPPER(${key})\n")
    string(APPEND writable "    \"${key}\",\n")
  endif()
  add_descriptor(${number} ${type} ${access} "${oidtext}")
  math(EXPR number "${number} + 1")
endmacro()

file(STRINGS "${MAP}" map_lines)
foreach(line IN LISTS map_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  string(REGEX REPLACE " +" ";" f "${line}")
  list(LENGTH f nf)
  list(GET f 0 kind)
  list(GET f 1 oidtext)
  if(kind STREQUAL "param" AND nf EQUAL 3)
    list(GET f 2 key)
    add_param(${key} "${oidtext}" true)
  elseif(kind STREQUAL "noobj" AND nf EQUAL 3)
    list(GET f 2 key)
    add_param(${key} "${oidtext}" false)
  elseif(kind STREQUAL "param" AND nf EQUAL 4 AND oidtext MATCHES "\\.N$")
    list(GET f 2 stem)
    list(GET f 3 n)
    string(REGEX REPLACE "N$" "" base "${oidtext}")
    foreach(i RANGE 1 ${n})
      add_param("${stem}${i}" "${base}${i}" true)
    endforeach()
  elseif(kind STREQUAL "index" AND nf EQUAL 3 AND oidtext MATCHES "\\.N$")
    list(GET f 2 n)
    string(REGEX REPLACE "N$" "" base "${oidtext}")
    foreach(i RANGE 1 ${n})
      add_descriptor(${i} ASN_INTEGER MIB_READ_ONLY "${base}${i}")
    endforeach()
  elseif(kind STREQUAL "count" AND nf EQUAL 3)
    list(GET f 2 n)
    add_descriptor(${n} ASN_INTEGER MIB_READ_ONLY "${oidtext}")
  else()
    fail("unreadable map line: ${line}")
  endif()
endforeach()

math(EXPR last "${number} - 1")
if(NOT total EQUAL 775 OR NOT last EQUAL 844)
  fail("${total} descriptors with parameter rows up to ${last}, the header says 775 and 844")
endif()

set(content "// Generated from snmp/automib.map and params/table/paramtable.def by
// snmp/automib_gen.cmake at build time. Do not edit.
#include \"snmp/automib.h\"

#define WRITE_WRAPPER(key)                                                                   \\
  int callWrapper_##key(int action, u_char* value, u_char type, size_t length, u_char*, oid*, \\
                        size_t);                                                             \\
  int callWrapper_##key(int action, u_char* value, u_char type, size_t length, u_char*, oid*, \\
                        size_t) {                                                            \\
    return callParamWrapper(#key, action, value, type, length);                              \\
  }

${wrappers}
const OrvMibVariable autoMibVariables[kAutoMibVariableCount] = {
${descriptors}};

const AutoMibParamRow autoMibParamRows[kAutoMibParamRowCount] = {
${rows}};

const char* const autoMibWritableKeys[] = {
${writable}};
const size_t autoMibWritableKeyCount = sizeof autoMibWritableKeys / sizeof autoMibWritableKeys[0];
")

file(WRITE "${OUT}" "${content}")

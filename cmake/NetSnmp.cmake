# net-snmp (Debian's libsnmp-dev): NetSnmp::headers for the folders that
# use its types and constants only, NetSnmp::agent for the agent libraries
# (those "net-snmp-config --agent-libs" names). A cross build finds the
# target's copy through the toolchain file's CMAKE_FIND_ROOT_PATH; the
# host's net-snmp-config is never asked, since it describes the host.
find_path(NETSNMP_INCLUDE_DIR net-snmp/net-snmp-config.h)
find_library(NETSNMP_LIBRARY netsnmp)
find_library(NETSNMP_AGENT_LIBRARY netsnmpagent)
find_library(NETSNMP_MIBS_LIBRARY netsnmpmibs)
if(NOT NETSNMP_INCLUDE_DIR OR NOT NETSNMP_LIBRARY OR NOT NETSNMP_AGENT_LIBRARY OR NOT NETSNMP_MIBS_LIBRARY)
  message(FATAL_ERROR "net-snmp not found: run scripts/install-deps (scripts/install-deps armel for the cross build)")
endif()

# net-snmp-config.h is written for one architecture (type sizes): the one
# found must be the target's. On Linux a long is as wide as a pointer.
file(STRINGS "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h" _netsnmp_long REGEX "^#define SIZEOF_LONG [0-9]+$")
string(REGEX MATCH "[0-9]+$" _netsnmp_long "${_netsnmp_long}")
if(NOT _netsnmp_long EQUAL CMAKE_SIZEOF_VOID_P)
  message(FATAL_ERROR "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h has a ${_netsnmp_long}-byte long, "
                      "the target a ${CMAKE_SIZEOF_VOID_P}-byte one: net-snmp of another architecture")
endif()

add_library(NetSnmp::headers INTERFACE IMPORTED)
set_target_properties(NetSnmp::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${NETSNMP_INCLUDE_DIR}")
add_library(NetSnmp::agent INTERFACE IMPORTED)
target_link_libraries(NetSnmp::agent INTERFACE NetSnmp::headers
                      ${NETSNMP_MIBS_LIBRARY} ${NETSNMP_AGENT_LIBRARY} ${NETSNMP_LIBRARY})

# Debian's net-snmp agent libraries (net-snmp-config --agent-libs), and the
# generated table of the private MIB.
target_link_libraries(app_snmp PUBLIC netsnmpagent netsnmpmibs netsnmp)
include(${CMAKE_SOURCE_DIR}/snmp/automib.cmake)

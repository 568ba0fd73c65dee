# net-snmp's agent libraries (cmake/NetSnmp.cmake), and the generated table
# of the private MIB.
target_link_libraries(app_snmp PUBLIC NetSnmp::agent)
include(${CMAKE_SOURCE_DIR}/snmp/automib.cmake)

# The descriptor table and write wrappers of "ORV-AUTOSystem", expanded
# from automib.map at build time.
set(_automib_out ${CMAKE_BINARY_DIR}/generated/snmp/automib_table.cpp)
add_custom_command(
  OUTPUT ${_automib_out}
  COMMAND ${CMAKE_COMMAND} -DMAP=${CMAKE_SOURCE_DIR}/snmp/automib.map
          -DDEF=${CMAKE_SOURCE_DIR}/params/table/paramtable.def -DOUT=${_automib_out}
          -P ${CMAKE_SOURCE_DIR}/snmp/automib_gen.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/snmp/automib.map ${CMAKE_SOURCE_DIR}/params/table/paramtable.def
          ${CMAKE_SOURCE_DIR}/snmp/automib_gen.cmake
  COMMENT "Expanding the private MIB table")
target_sources(app_snmp PRIVATE ${_automib_out})

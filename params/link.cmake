# net-snmp's headers: the SNMP SET of parameters checks its numbering
# against the library's constants.
target_link_libraries(app_params PUBLIC NetSnmp::headers)

# The SNMP agent runs on Debian's net-snmp agent library (libsnmp-dev).
target_link_libraries(app_snmp PUBLIC netsnmpmibs netsnmpagent netsnmp)

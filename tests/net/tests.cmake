# The built program's network set-up, driven from a second namespace.
if(TARGET usbdevsrv)
  foreach(c dhcp bootp ipv6 arpping discovery)
    add_test(NAME net_program_${c}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/program_network_test.sh $<TARGET_FILE:usbdevsrv> ${CMAKE_SOURCE_DIR} ${c})
    set_tests_properties(net_program_${c} PROPERTIES LABELS net TIMEOUT 180 SKIP_REGULAR_EXPRESSION "^skipped:")
  endforeach()
endif()

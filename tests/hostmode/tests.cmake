# The cross-built program started by scripts/hostmode under the user-mode
# emulator, its USB server listed from this host (cross build only).
if(CMAKE_CROSSCOMPILING AND TARGET usbdevsrv AND EXISTS ${CMAKE_SOURCE_DIR}/tools/usbclient.cpp)
  add_test(NAME hostmode_emulated_usb_list
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/emulated_usb_list_test.sh ${CMAKE_SOURCE_DIR}
                   $<TARGET_FILE:usbdevsrv> $<TARGET_FILE:usbclient> "${CMAKE_CROSSCOMPILING_EMULATOR}")
  set_tests_properties(hostmode_emulated_usb_list PROPERTIES LABELS armel TIMEOUT 240
                       SKIP_REGULAR_EXPRESSION "^skipped:")
endif()

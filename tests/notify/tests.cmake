# The program storm tests drive the USB server through the client library of tools/.
if(TARGET notify_tests)
  target_link_libraries(notify_tests PRIVATE usbclientlib)
endif()

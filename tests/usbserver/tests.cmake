# The USB server tests talk to the server through the client library of tools/.
if(TARGET usbserver_tests)
  target_link_libraries(usbserver_tests PRIVATE usbclientlib)
endif()

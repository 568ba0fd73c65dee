# The web tests reuse the TLS test support (certificate pairs, loopback interface).
if(TARGET web_tests)
  target_sources(web_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../runtime/support/tls_support.cpp)
endif()
# The browser and settings page tests serve and render the built content tree.
if(TARGET web_tests AND TARGET content)
  add_dependencies(web_tests content)
endif()

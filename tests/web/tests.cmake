# The web tests reuse the TLS test support (certificate pairs, loopback interface).
if(TARGET web_tests)
  target_sources(web_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../runtime/support/tls_support.cpp)
endif()
# The browser and settings page tests serve and render the built content tree.
if(TARGET web_tests AND TARGET content)
  add_dependencies(web_tests content)
endif()

# The built program's web server, driven from a second namespace.
if(TARGET usbdevsrv)
  foreach(c sessions listeners vlan)
    add_test(NAME web_program_${c}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/program_web_test.sh $<TARGET_FILE:usbdevsrv> ${CMAKE_SOURCE_DIR} ${c})
    set_tests_properties(web_program_${c} PROPERTIES LABELS web TIMEOUT 180 SKIP_REGULAR_EXPRESSION "^skipped:")
  endforeach()
  # Headless Chromium as the browser; its screenshots stay in the build tree.
  add_test(NAME web_program_browser
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/program_web_test.sh $<TARGET_FILE:usbdevsrv> ${CMAKE_SOURCE_DIR} browser
                   ${CMAKE_BINARY_DIR}/web_screenshots)
  set_tests_properties(web_program_browser PROPERTIES LABELS web TIMEOUT 240 SKIP_REGULAR_EXPRESSION "^skipped:")
endif()

# The content tree: translations complete, includes and links resolve.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME content_check COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/content/check_content.py ${CMAKE_SOURCE_DIR})
  set_tests_properties(content_check PROPERTIES LABELS content)
endif()

# The whole chain end to end: a host loads the built library with dlopen and
# drives it through its exports; the library finds the open provider in the
# root's EXE folder. Parties come from cpki1-tool and the openssl command.
if(TARGET cpki1_openssl AND TARGET cpki1-tool AND (NOT CRTELV_WIN32 OR CRTELV_WINE))
  include(${CMAKE_CURRENT_SOURCE_DIR}/openssl/setup.cmake)
  add_executable(e2e_tests
    ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/openssl/openssl_support.cpp)
  target_include_directories(e2e_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR}/openssl ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(e2e_tests PRIVATE
    CPKI1_LIBRARY="${cpki1_test_library}"
    CPKI1_DIAGNOSTICS="${cpki1_test_diagnostics}"
    CPKI1_TOOL="${cpki1_test_tool}"
    CRTELV_LIBRARY_FILE="$<TARGET_FILE:cr_telv>")
  target_compile_options(e2e_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(e2e_tests PRIVATE ${cpki1_test_gtest_main} ${cpki1_test_system_libs})
  add_dependencies(e2e_tests cpki1_openssl cpki1_diagnostics cpki1-tool cr_telv)
  add_test(NAME e2e COMMAND e2e_tests)
endif()

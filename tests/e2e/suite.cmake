# The whole chain end to end: a host loads the built library with dlopen and
# drives it through its exports; the library finds the open provider in the
# root's EXE folder. Parties come from cpki1-tool and the openssl command.
if(NOT CRTELV_WIN32 AND TARGET cpki1_openssl AND TARGET cpki1-tool)
  add_executable(e2e_tests
    ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/openssl/openssl_support.cpp)
  target_include_directories(e2e_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR}/openssl ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(e2e_tests PRIVATE
    CPKI1_LIBRARY="$<TARGET_FILE_DIR:cpki1_openssl>/libcpki1.so"
    CPKI1_TOOL="$<TARGET_FILE:cpki1-tool>"
    CRTELV_LIBRARY_FILE="$<TARGET_FILE:cr_telv>")
  target_compile_options(e2e_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(e2e_tests PRIVATE GTest::gtest_main ${CMAKE_DL_LIBS} pthread)
  add_dependencies(e2e_tests cpki1_openssl cpki1-tool cr_telv)
  add_test(NAME e2e COMMAND e2e_tests)
endif()

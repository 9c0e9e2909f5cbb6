# The open provider through its entry points, and against the openssl command.
# Its parties are made by cpki1-tool in a temporary folder per run.
if(TARGET cpki1_openssl AND TARGET cpki1-tool)
  include(${CMAKE_CURRENT_LIST_DIR}/setup.cmake)
  if(CRTELV_WIN32 AND NOT CRTELV_WINE)
    return()
  endif()
  add_executable(openssl_provider_tests
    ${CMAKE_CURRENT_LIST_DIR}/provider_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/interop_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/decryption_trust_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gost_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fast_path_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trust_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cades_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timestamp_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loopback_http.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tsa_tool_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tsa_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/openssl_support.cpp)
  target_include_directories(openssl_provider_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(openssl_provider_tests PRIVATE
    CPKI1_LIBRARY="${cpki1_test_library}"
    CPKI1_DIAGNOSTICS="${cpki1_test_diagnostics}"
    CPKI1_TOOL="${cpki1_test_tool}")
  target_compile_options(openssl_provider_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(openssl_provider_tests PRIVATE ${cpki1_test_gtest_main} ${cpki1_test_crypto} ${cpki1_test_system_libs})
  add_dependencies(openssl_provider_tests cpki1_openssl cpki1_diagnostics cpki1-tool)
  add_test(NAME openssl_provider COMMAND openssl_provider_tests)
  if(NOT CRTELV_WIN32)
    add_test(NAME openssl_provider_exports
      COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:cpki1_openssl>
              -DDEF=${CMAKE_SOURCE_DIR}/providers/openssl/cpki1.def
              -P ${CMAKE_CURRENT_LIST_DIR}/check_provider_exports.cmake)
  endif()
  # The provider in a process that has no GOST engine (CPKI1_NO_GOST, set by
  # the test once its parties are made; its own process: the engine is looked
  # for once).
  add_test(NAME openssl_gost_without_engine COMMAND openssl_provider_tests --gtest_filter=GostWithoutEngine.*)
  set_tests_properties(openssl_gost_without_engine PROPERTIES ENVIRONMENT CPKI1_TEST_WITHOUT_GOST=1)

  # The same provider under the built library, driven by a host through the
  # library's exports (its own process: the provider loads once per process).
  add_executable(openssl_host_tests
    ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/openssl_support.cpp)
  target_include_directories(openssl_host_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(openssl_host_tests PRIVATE
    CPKI1_LIBRARY="${cpki1_test_library}"
    CPKI1_DIAGNOSTICS="${cpki1_test_diagnostics}"
    CPKI1_TOOL="${cpki1_test_tool}"
    CRTELV_LIBRARY_FILE="$<TARGET_FILE:cr_telv>")
  target_compile_options(openssl_host_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(openssl_host_tests PRIVATE ${cpki1_test_gtest_main} ${cpki1_test_system_libs})
  add_dependencies(openssl_host_tests cpki1_openssl cpki1_diagnostics cpki1-tool cr_telv)
  add_test(NAME openssl_host COMMAND openssl_host_tests)
endif()

# The provider's store writes with failing system calls (white box: the code
# shared by the provider and its tool, linked into the test).
if(TARGET cpki1_core AND NOT CRTELV_WIN32)
  add_executable(openssl_store_write_tests ${CMAKE_CURRENT_LIST_DIR}/store_write_test.cpp)
  target_compile_options(openssl_store_write_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(openssl_store_write_tests PRIVATE cpki1_core GTest::gtest_main)
  add_test(NAME openssl_store_write COMMAND openssl_store_write_tests)
endif()

# Writers through the provider's stores and the library, killed at random.
if(TARGET cpki1_openssl AND TARGET cpki1-tool AND TARGET cr_telv)
  add_executable(openssl_crash_tests
    ${CMAKE_CURRENT_LIST_DIR}/crash_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/openssl_support.cpp)
  target_include_directories(openssl_crash_tests PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(openssl_crash_tests PRIVATE
    CPKI1_LIBRARY="${cpki1_test_library}"
    CPKI1_DIAGNOSTICS="${cpki1_test_diagnostics}"
    CPKI1_TOOL="${cpki1_test_tool}"
    CRTELV_LIBRARY_FILE="$<TARGET_FILE:cr_telv>")
  target_compile_options(openssl_crash_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(openssl_crash_tests PRIVATE ${cpki1_test_gtest_main} ${cpki1_test_system_libs})
  add_dependencies(openssl_crash_tests cpki1_openssl cpki1_diagnostics cpki1-tool cr_telv)
  add_test(NAME openssl_crash COMMAND openssl_crash_tests)
endif()

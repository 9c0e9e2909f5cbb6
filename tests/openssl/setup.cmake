include_guard(GLOBAL)
# How the open-provider suites (tests/openssl, tests/e2e) reach the provider,
# its tool and OpenSSL.
#
# On Windows (under Wine) the same programs load cpki1.dll and cr_telv.dll;
# their shell lines, the tool's and the openssl command's, run in the host's
# /bin/sh, the tool through a script that starts it under Wine. The tests'
# own OpenSSL calls use the static libcrypto of the provider's build.
if(CRTELV_WIN32)
  set(cpki1_test_crypto cpki1_libcrypto)
  set(cpki1_test_gtest_main gtest_main)
  set(cpki1_test_system_libs "")
  set(cpki1_test_library $<TARGET_FILE:cpki1_openssl>)
  set(cpki1_test_diagnostics $<TARGET_FILE:cpki1_diagnostics>)
  set(cpki1_test_tool ${CMAKE_CURRENT_BINARY_DIR}/cpki1-tool.sh)
  file(GENERATE OUTPUT ${cpki1_test_tool}
    CONTENT "#!/bin/sh\nexec \"${CRTELV_WINE}\" \"$<TARGET_FILE:cpki1-tool>\" \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
else()
  find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
  set(cpki1_test_crypto OpenSSL::Crypto)
  set(cpki1_test_gtest_main GTest::gtest_main)
  set(cpki1_test_system_libs ${CMAKE_DL_LIBS} pthread)
  set(cpki1_test_library $<TARGET_FILE_DIR:cpki1_openssl>/libcpki1.so)
  set(cpki1_test_diagnostics $<TARGET_FILE:cpki1_diagnostics>)
  set(cpki1_test_tool $<TARGET_FILE:cpki1-tool>)
endif()

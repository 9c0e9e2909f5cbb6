# The Windows port's own checks: the platform layer against real version
# resources, and a host that binds to cr_telv.dll through its export table.
if(NOT CRTELV_WIN32)
  return()
endif()

# A module with a version resource, beside the platform tests.
add_library(crtelv_vprobe SHARED ${CMAKE_CURRENT_LIST_DIR}/../platform/probe_module.c
  ${CMAKE_CURRENT_LIST_DIR}/version_probe.rc)
set_target_properties(crtelv_vprobe PROPERTIES PREFIX "" OUTPUT_NAME vprobe
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_link_options(crtelv_vprobe PRIVATE -Wl,--export-all-symbols)
if(TARGET platform_tests)
  add_dependencies(platform_tests crtelv_vprobe)
endif()

# The host: loads cr_telv.dll from its own folder with LoadLibraryA, and the
# provider double from ../simroots.
add_executable(host_win32_tests ${CMAKE_CURRENT_LIST_DIR}/host_win32.cpp)
target_link_libraries(host_win32_tests PRIVATE gtest_main)
target_compile_options(host_win32_tests PRIVATE ${CRTELV_WARNINGS})
add_dependencies(host_win32_tests cr_telv)
if(TARGET crtelv_sim_variants)
  # The unload tests use the provider double under simroots/complete.
  add_dependencies(host_win32_tests crtelv_sim_variants)
endif()
add_custom_command(TARGET host_win32_tests POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:cr_telv> $<TARGET_FILE_DIR:host_win32_tests>)
add_test(NAME host_win32_tests COMMAND host_win32_tests)

# The DLL's export and import tables as the linker wrote them.
find_program(CRTELV_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump i686-w64-mingw32-objdump objdump)
add_test(NAME win32_dll_tables
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CRTELV_OBJDUMP} -DDLL=$<TARGET_FILE:cr_telv>
          -DDEF=${CMAKE_SOURCE_DIR}/src/library/cr_telv.def
          -P ${CMAKE_CURRENT_LIST_DIR}/check_dll.cmake)

# A host linked through the import library cr_telv.lib (decorated standard-call
# names in the host, undecorated exports in the DLL).
add_executable(implib_host ${CMAKE_SOURCE_DIR}/tests/package/host/host.c)
target_link_libraries(implib_host PRIVATE cr_telv)
add_custom_command(TARGET implib_host POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:cr_telv> $<TARGET_FILE_DIR:implib_host>)
add_test(NAME implib_host COMMAND implib_host)

# The open provider's DLL: the 47 entry points at the ordinals of cpki1.def and
# nothing else, system DLLs only (libcrypto is linked in), and the file version
# 3.1.150.0 that tells the library it allows concurrent calls. The tests' build
# of it adds the diagnostic count as ordinal 48.
if(TARGET cpki1_openssl)
  add_test(NAME win32_cpki1_tables
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CRTELV_OBJDUMP} -DDLL=$<TARGET_FILE:cpki1_openssl>
            -DDEF=${CMAKE_SOURCE_DIR}/providers/openssl/cpki1.def -DCOUNT=47 -DVERSION=3.1.150.0
            -P ${CMAKE_CURRENT_LIST_DIR}/check_dll.cmake)
  add_test(NAME win32_cpki1_diagnostics_tables
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CRTELV_OBJDUMP} -DDLL=$<TARGET_FILE:cpki1_diagnostics>
            -DDEF=${CMAKE_SOURCE_DIR}/providers/openssl/cpki1_diagnostics.def -DCOUNT=48 -DVERSION=3.1.150.0
            -P ${CMAKE_CURRENT_LIST_DIR}/check_dll.cmake)
endif()

# The demo as a test: the host with cr_telv.dll, cpki1.dll and the tool from
# the zip as scripts/win32.sh unpacks it again (build/win32/unpacked), copied
# into a new temporary folder and run there under the emulator; all 15 steps
# must pass.
if(TARGET demo_host AND TARGET cpki1_openssl AND CRTELV_WINE)
  set(unpacked ${CMAKE_BINARY_DIR}/unpacked/bin)
  add_test(NAME win32_demo
    COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CRTELV_WINE}" -DHOST=$<TARGET_FILE:demo_host>
            -DLIBRARY=${unpacked}/cr_telv.dll -DPROVIDER=${unpacked}/cpki1.dll -DTOOL=${unpacked}/cpki1-tool.exe
            -DWORK=${CMAKE_CURRENT_BINARY_DIR} -P ${CMAKE_SOURCE_DIR}/examples/run_demo.cmake)
  # The longest suite starts first: the others run beside it.
  set_tests_properties(win32_demo PROPERTIES COST 1000
    REQUIRED_FILES "${unpacked}/cr_telv.dll;${unpacked}/cpki1.dll;${unpacked}/cpki1-tool.exe")
endif()

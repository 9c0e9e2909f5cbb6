# Host-style tests: the built shared library loaded at run time and driven
# through its exports only (POSIX port), and the check of its export list.
if(NOT CRTELV_WIN32)
  file(GLOB host_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/host/*.cpp)
  add_executable(host_tests ${host_sources} ${CMAKE_CURRENT_SOURCE_DIR}/plain_main.cpp)
  target_include_directories(host_tests PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(host_tests PRIVATE CRTELV_LIBRARY_FILE="$<TARGET_FILE:cr_telv>")
  target_compile_options(host_tests PRIVATE ${CRTELV_WARNINGS})
  target_link_libraries(host_tests PRIVATE ${CRTELV_GTEST} ${CMAKE_DL_LIBS})
  add_dependencies(host_tests cr_telv)
  if(TARGET crtelv_simroots)
    # (the static library only lends the platform layer to the sim client)
    target_link_libraries(host_tests PRIVATE crtelv_simroots crtelv_static)
  endif()
  # The unload tests need a process in which only they load the library.
  add_test(NAME host_tests COMMAND host_tests --gtest_filter=-HostUnload.*)
  add_test(NAME host_unload COMMAND host_tests --gtest_filter=HostUnload.*)

  add_test(NAME export_list
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:cr_telv> -DHEADER=${CMAKE_SOURCE_DIR}/include/cr_telv.h
            -DMAP=${CMAKE_SOURCE_DIR}/src/library/cr_telv.map -DDEF=${CMAKE_SOURCE_DIR}/src/library/cr_telv.def
            -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
endif()

# Self-tests of the provider double: they load its variants by path, the way
# a host would, and need nothing of the library.
if(TARGET crtelv_simroots AND NOT CRTELV_WIN32)
  file(GLOB sim_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  add_executable(sim_tests ${sim_test_sources})
  target_link_libraries(sim_tests PRIVATE GTest::gtest_main crtelv_simroots ${CMAKE_DL_LIBS} pthread)
  target_include_directories(sim_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_options(sim_tests PRIVATE ${CRTELV_WARNINGS})
  add_test(NAME sim_tests COMMAND sim_tests)
endif()

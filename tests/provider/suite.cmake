# The provider binding and engine against the recording provider double.
#
# The provider is loaded once per process and the root path is set once per
# process, so the suite runs once per provider variant: each run sets the
# root to that variant's folder (its EXE\ sub-folder holds the provider) and
# runs the test suites of that variant. A suite runs with "complete" unless
# it registers another variant (CRTELV_PROVIDER_VARIANT beside its fixture);
# a suite registered for a variant without a run here fails every run.
if(TARGET crtelv_simroots)
  set(provider_variants complete nooptional norequired v149 v150 none)
  file(GLOB provider_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  add_executable(provider_tests ${provider_sources}
    ${CMAKE_CURRENT_LIST_DIR}/provider_main.cpp ${CMAKE_CURRENT_LIST_DIR}/binding_fixture.cpp)
  target_link_libraries(provider_tests PRIVATE crtelv_testutil crtelv_simroots)
  target_include_directories(provider_tests PRIVATE ${CMAKE_SOURCE_DIR}/providers/sim)
  target_compile_options(provider_tests PRIVATE ${CRTELV_WARNINGS})
  string(REPLACE ";" "," provider_variant_list "${provider_variants}")
  target_compile_definitions(provider_tests PRIVATE "CRTELV_PROVIDER_VARIANTS=\"${provider_variant_list}\"")
  add_dependencies(provider_tests crtelv_sim_variants)

  foreach(variant ${provider_variants})
    add_test(NAME provider_${variant} COMMAND provider_tests)
    set_tests_properties(provider_${variant} PROPERTIES ENVIRONMENT "CRTELV_TEST_VARIANT=${variant}")
  endforeach()
endif()

# Allocation failure inside the library: its own program, for its replaced
# operator new.
# (POSIX: it tells the double's allocations apart by the call stack.)
if(TARGET crtelv_simroots AND NOT CRTELV_WIN32)
  add_executable(provider_alloc_tests ${CMAKE_CURRENT_LIST_DIR}/alloc_failure.cpp)
  target_link_libraries(provider_alloc_tests PRIVATE crtelv_static crtelv_simroots)
  target_include_directories(provider_alloc_tests PRIVATE ${CMAKE_SOURCE_DIR}/providers/sim)
  target_compile_options(provider_alloc_tests PRIVATE ${CRTELV_WARNINGS})
  add_dependencies(provider_alloc_tests crtelv_sim_variants)
  add_test(NAME provider_alloc COMMAND provider_alloc_tests)
endif()

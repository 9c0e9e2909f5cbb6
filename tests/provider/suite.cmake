# The provider binding and engine against the recording provider double.
#
# The provider is loaded once per process and the root path is set once per
# process, so the suite runs once per provider variant: each run sets the
# root to that variant's folder (its EXE\ sub-folder holds the provider) and
# runs the test groups written for it.
if(TARGET crtelv_simroots)
  file(GLOB provider_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  add_executable(provider_tests ${provider_sources}
    ${CMAKE_CURRENT_LIST_DIR}/provider_main.cpp ${CMAKE_CURRENT_LIST_DIR}/binding_fixture.cpp)
  target_link_libraries(provider_tests PRIVATE crtelv_testutil crtelv_simroots)
  target_include_directories(provider_tests PRIVATE ${CMAKE_SOURCE_DIR}/providers/sim)
  target_compile_options(provider_tests PRIVATE ${CRTELV_WARNINGS})
  add_dependencies(provider_tests crtelv_sim_variants)

  # variant folder : test groups
  set(provider_runs
    "complete:Binding*:Stores*:Transfers*:Reports*:Session*:Identification*:EngineCache*:EngineTexts*:EngineInfo*:Armour*:Properties*:Hashing*:Signing*:Encryption*:Faults*:Stress*"
    "nooptional:NoOptional*"
    "norequired:NoRequired*"
    "v149:Version149*"
    "v150:Version150*"
    "none:NoProvider*")
  foreach(run ${provider_runs})
    string(REPLACE ":" ";" parts "${run}")
    list(POP_FRONT parts variant)
    list(JOIN parts ":" filter)
    add_test(NAME provider_${variant} COMMAND provider_tests --gtest_filter=${filter})
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

# A small module that the platform tests load by its Windows-style name.
if(NOT CRTELV_WIN32)
  add_library(crtelv_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/probe_module.c)
  set_target_properties(crtelv_probe PROPERTIES OUTPUT_NAME probe
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/probe)
  if(TARGET platform_tests)
    add_dependencies(platform_tests crtelv_probe)
    target_compile_definitions(platform_tests PRIVATE CRTELV_PROBE_DIR="${CMAKE_BINARY_DIR}/probe/")
  endif()
endif()

# Modules for the provider library search of the engine tests:
#   modules/root/EXE/    crtelv_cryptomod ("root")     the process root's EXE folder
#   modules/korvex/      crtelv_cryptomod ("korvex"),  beside the Korvex module
#                        crtelv_korvexonly, Korvex
if(TARGET engine_tests)
  set(engine_modules ${CMAKE_CURRENT_BINARY_DIR}/engine_modules)
  set(engine_module_source ${CMAKE_CURRENT_LIST_DIR}/modules/crypto_module.c)
  function(crtelv_engine_module target output origin folder)
    add_library(${target} MODULE ${engine_module_source})
    target_compile_definitions(${target} PRIVATE MODULE_ORIGIN="${origin}")
    target_compile_options(${target} PRIVATE ${CRTELV_WARNINGS})
    if(CRTELV_WIN32)
      set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".dll")
    else()
      set_target_properties(${target} PROPERTIES PREFIX "lib" SUFFIX ".so")
    endif()
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output}
      LIBRARY_OUTPUT_DIRECTORY ${folder} RUNTIME_OUTPUT_DIRECTORY ${folder})
    add_dependencies(engine_tests ${target})
  endfunction()
  crtelv_engine_module(crtelv_engine_mod_root crtelv_cryptomod root ${engine_modules}/root/EXE)
  crtelv_engine_module(crtelv_engine_mod_korvex crtelv_cryptomod korvex ${engine_modules}/korvex)
  crtelv_engine_module(crtelv_engine_mod_korvexonly crtelv_korvexonly korvexonly ${engine_modules}/korvex)
  crtelv_engine_module(crtelv_engine_mod_korvex_itself Korvex Korvex ${engine_modules}/korvex)
  target_compile_definitions(engine_tests PRIVATE CRTELV_ENGINE_MODULES="${engine_modules}/")
endif()

# Runs demo_host.exe with cr_telv.dll, cpki1.dll and cpki1-tool.exe from a new
# temporary folder (removed afterwards) and checks that it did all 15 steps,
# the GOST pair's among them.
# cmake -DEMULATOR=<wine command> -DHOST= -DLIBRARY= -DPROVIDER= -DTOOL= -DWORK=<folder> -P run_demo.cmake
cmake_minimum_required(VERSION 3.25)
string(RANDOM LENGTH 8 tag)
set(stage ${WORK}/demo-${tag})
file(MAKE_DIRECTORY ${stage})
file(COPY ${HOST} ${LIBRARY} ${PROVIDER} ${TOOL} DESTINATION ${stage})
get_filename_component(host ${HOST} NAME)
get_filename_component(library ${LIBRARY} NAME)
get_filename_component(tool ${TOOL} NAME)
execute_process(COMMAND ${EMULATOR} ${host} ${library} . ${tool}
  WORKING_DIRECTORY ${stage} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(REMOVE_RECURSE ${stage})
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "demo_host ended with ${rc}")
endif()
if(NOT out MATCHES "\\[15/15\\]")
  message(FATAL_ERROR "demo_host did not reach step 15")
endif()
# The GOST pair's step ran through to the decryption (no build may skip it).
if(NOT out MATCHES "petr: DecodeData: [0-9]+ bytes")
  message(FATAL_ERROR "demo_host did not finish the GOST step")
endif()

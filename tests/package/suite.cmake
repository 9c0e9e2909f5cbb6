# Packaging: the tree installed into a folder of the build, then a tiny host
# built against it with find_package(cr_telv) and with pkg-config, and run.
if(NOT CRTELV_WIN32 AND NOT CRTELV_SANITIZE AND NOT CRTELV_TSAN AND NOT CRTELV_FUZZ)
  add_test(NAME package_install
    COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/package
            -DHOST=${CMAKE_CURRENT_LIST_DIR}/host -P ${CMAKE_CURRENT_LIST_DIR}/check_package.cmake)
endif()

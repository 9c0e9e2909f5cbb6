# Cross build of the 32-bit Windows port with the i686-w64-mingw32 compilers.
# Test executables run under Wine through CMAKE_CROSSCOMPILING_EMULATOR
# (tests/CMakeLists.txt puts a per-test time-out in front of it).
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CRTELV_MINGW_TRIPLE i686-w64-mingw32)

# The posix thread model: GCC 12's win32 model has no std::thread or
# std::mutex, which the tests and the library's own locks rely on. The
# winpthreads run-time is linked statically (see the top CMakeLists).
find_program(CMAKE_C_COMPILER NAMES ${CRTELV_MINGW_TRIPLE}-gcc-posix ${CRTELV_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${CRTELV_MINGW_TRIPLE}-g++-posix ${CRTELV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CRTELV_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${CRTELV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only running the tests needs Wine: without it the build configures and
# builds; scripts/win32.sh test asks for Wine. scripts/win32.sh names the wine
# command of its route (CRTELV_WINE: the system's, or the one through
# qemu-i386), or none (CRTELV_NO_WINE) where this machine cannot run Wine.
if(CRTELV_NO_WINE)
  set(CRTELV_WINE "" CACHE FILEPATH "The wine command the tests run under" FORCE)
else()
  find_program(CRTELV_WINE NAMES wine)
endif()
if(CRTELV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CRTELV_WINE})
endif()

#!/usr/bin/env bash
# The 32-bit Windows port: cross build with the i686 MinGW compilers and the
# test suites under Wine. Installs nothing (scripts/setup.sh --win32 does).
#   scripts/win32.sh build   configure and build build/win32 (needs no Wine),
#                            with the open provider cpki1.dll on a static
#                            libcrypto (scripts/openssl_mingw.sh, cached)
#   scripts/win32.sh test    build, package, then run every suite under Wine (ctest),
#                            each test case bounded by scripts/test_watchdog.sh
#   scripts/win32.sh package build, install into build/win32/package and make
#                            build/win32/cr_telv-<version>-win32.zip of it
#   scripts/win32.sh env     print the Wine settings, for running a test by hand
# Runs without a terminal, a display or network: Wine gets a private prefix
# under build/win32/wineprefix, created once, with Mono and Gecko disabled so
# that no installer dialog appears.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/win32
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

wine_env() {
  export WINEPREFIX=$build/wineprefix
  export WINEARCH=win32
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

need() {
  command -v "$1" >/dev/null 2>&1 || { echo "win32.sh: $1 is missing; run scripts/setup.sh --win32" >&2; exit 1; }
}

configure_and_build() {
  need i686-w64-mingw32-g++-posix
  # The open provider's static libcrypto: built once per machine (cached).
  local openssl
  openssl=$(bash "$root/scripts/openssl_mingw.sh")
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRTELV_OPENSSL_MINGW_ROOT="$openssl" -DCRTELV_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
}

# The installed tree (bin/ with cr_telv.dll, cpki1.dll and cpki1-tool.exe,
# lib/cr_telv.lib, include/cr_telv.h) and a zip of it.
package() {
  local stage=$build/package version
  rm -rf "$stage"
  cmake --install "$build" --prefix "$stage" --strip >/dev/null
  for f in bin/cr_telv.dll bin/cpki1.dll bin/cpki1-tool.exe lib/cr_telv.lib include/cr_telv.h; do
    [ -f "$stage/$f" ] || { echo "win32.sh: the installed tree lacks $f" >&2; exit 1; }
  done
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  local zip=$build/cr_telv-$version-win32.zip
  rm -f "$zip"
  (cd "$stage" && cmake -E tar cf "$zip" --format=zip -- bin lib include)
  echo "win32.sh: $zip"
}

prepare_prefix() {
  wine_env
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "win32.sh: preparing the Wine prefix"
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || { echo "win32.sh: wineboot failed" >&2; exit 1; }
  fi
}

run_tests() {
  need wine
  prepare_prefix
  # One server for the whole run: starting it for each test costs seconds.
  wineserver -p
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  # The first program of a server session starts Wine's own background
  # processes, which inherit its output: started by a test, they would keep
  # the test's output pipe open and ctest would wait for ever. Start them
  # here with no output attached.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # The library's fixed texts are Windows-1251: the Wine processes get a
  # Cyrillic ANSI code page, as the product's home systems have. Wine takes
  # it from the locale's name; the locale need not exist on the host.
  # Each test case has its own limit (scripts/test_watchdog.sh); ctest's
  # limit only bounds a whole program.
  LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 \
    ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 120 </dev/null
}

case "${1:-test}" in
  build) configure_and_build ;;
  test) configure_and_build; package; run_tests ;;
  package) configure_and_build; package ;;
  env) wine_env; echo "WINEPREFIX=$WINEPREFIX WINEARCH=$WINEARCH WINEDEBUG=$WINEDEBUG WINEDLLOVERRIDES=$WINEDLLOVERRIDES LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8" ;;
  *) echo "usage: $0 build|test|package|env" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Installs what the build needs when it is missing (Debian packages).
#   scripts/setup.sh          native build, tests and demo
#   scripts/setup.sh --win32  also the i686 cross compiler and Wine
set -euo pipefail

want=(cmake g++ make libgtest-dev libbenchmark-dev libssl-dev openssl libengine-gost-openssl pkg-config clang-14
  libclang-rt-14-dev)
win32=0
[ "${1:-}" = "--win32" ] && win32=1
if [ "$win32" = 1 ]; then
  want+=(g++-mingw-w64-i686 googletest wine wine32:i386)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if [ "$win32" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

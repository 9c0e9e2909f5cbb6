# How this machine runs Wine's 32-bit programs. Sourced by scripts/setup.sh
# and scripts/win32.sh; defines functions only.
#
#   wine_route_probe         sets WINE_ROUTE to native, qemu or none, and
#                            WINE_ROUTE_WHY to a sentence saying why
#   wine_route_make <dir>    makes the qemu route in <dir> (see below) and
#                            prints the folder that holds its wine and wineserver
#
# Some kernels refuse 32-bit programs altogether (no 32-bit compatibility mode
# under their hypervisor): Debian's 32-bit Wine then fails with "Exec format
# error". There Wine runs through qemu-i386 (Debian's qemu-user), without any
# binfmt registration: every process Wine starts, and its server, goes through
# a small script that starts the real program under qemu. About ten times
# slower than natively.
#
# CRTELV_WINE_QEMU=1 takes the qemu route even where the kernel runs 32-bit
# programs (to build and measure it anywhere); CRTELV_WINE_QEMU=0 never takes it.

wine_route_loader=/usr/lib/wine/wine
wine_route_server=/usr/lib/wine/wineserver32

# True when the kernel starts Wine's 32-bit server itself.
wine_route_runs_32bit() {
  [ -x "$wine_route_server" ] && "$wine_route_server" --version >/dev/null 2>&1
}

wine_route_qemu_works() {
  command -v qemu-i386 >/dev/null 2>&1 && [ -x "$wine_route_server" ] &&
    qemu-i386 -L / "$wine_route_server" --version >/dev/null 2>&1
}

wine_route_probe() {
  WINE_ROUTE=none
  if [ ! -x "$wine_route_loader" ] || [ ! -x "$wine_route_server" ]; then
    WINE_ROUTE_WHY="32-bit Wine is not installed (scripts/setup.sh --win32 installs it)"
    return 0
  fi
  local native=0
  [ "${CRTELV_WINE_QEMU:-}" != 1 ] && wine_route_runs_32bit && native=1
  if [ "$native" = 1 ]; then
    WINE_ROUTE=native
    WINE_ROUTE_WHY="this kernel runs 32-bit programs"
    return 0
  fi
  local reason
  if [ "${CRTELV_WINE_QEMU:-}" = 1 ]; then
    reason="CRTELV_WINE_QEMU=1 asks for qemu"
  else
    reason="this kernel refuses 32-bit programs"
  fi
  if [ "${CRTELV_WINE_QEMU:-}" = 0 ]; then
    WINE_ROUTE_WHY="$reason, and CRTELV_WINE_QEMU=0 forbids the qemu route"
  elif ! command -v qemu-i386 >/dev/null 2>&1; then
    WINE_ROUTE_WHY="$reason, and qemu-i386 is not installed (scripts/setup.sh --win32 installs it)"
  elif ! wine_route_qemu_works; then
    WINE_ROUTE_WHY="$reason, and qemu-i386 cannot start Wine's server either"
  else
    WINE_ROUTE=qemu
    WINE_ROUTE_WHY="$reason: Wine runs through qemu-i386"
  fi
}

# The qemu route, in <dir>:
#   lib/wine/wine.real   a copy of Wine's loader
#   lib/wine/wine        starts the copy under qemu; Wine starts its new
#                        processes through the program it was started as (-0),
#                        and finds its server through WINESERVER
#   lib/wine/wineserver  starts Wine's server under qemu
#   lib/i386-linux-gnu, share/wine
#                        links to the system's: the loader finds its libraries
#                        and data relative to its own folder
wine_route_make() {
  local dir=$1 bin=$1/lib/wine
  mkdir -p "$bin" "$dir/share"
  if ! cmp -s "$wine_route_loader" "$bin/wine.real"; then
    cp "$wine_route_loader" "$bin/wine.real.tmp" && mv -f "$bin/wine.real.tmp" "$bin/wine.real"
  fi
  ln -sfn /usr/lib/i386-linux-gnu "$dir/lib/i386-linux-gnu"
  ln -sfn /usr/share/wine "$dir/share/wine"
  cat >"$bin/wine.tmp" <<'EOF'
#!/bin/sh
# Wine's 32-bit loader under qemu-i386 (made by scripts/wine_route.sh).
here=$(dirname "$(readlink -f "$0")")
export WINELOADERNOEXEC=1
export WINESERVER="$here/wineserver"
exec qemu-i386 -L / -0 "$here/wine" "$here/wine.real" "$@"
EOF
  cat >"$bin/wineserver.tmp" <<EOF
#!/bin/sh
# Wine's 32-bit server under qemu-i386 (made by scripts/wine_route.sh).
exec qemu-i386 -L / $wine_route_server "\$@"
EOF
  chmod 755 "$bin/wine.tmp" "$bin/wineserver.tmp"
  mv -f "$bin/wine.tmp" "$bin/wine"
  mv -f "$bin/wineserver.tmp" "$bin/wineserver"
  printf '%s\n' "$bin"
}

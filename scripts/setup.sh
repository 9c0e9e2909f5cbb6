#!/usr/bin/env bash
# Installs what the build needs when it is missing (Debian packages).
#   scripts/setup.sh          native build, tests and demo
#   scripts/setup.sh --win32  also the i686 cross compiler, Wine, and the source
#                             packages of OpenSSL and of its GOST engine (for the
#                             Windows provider's static libcrypto and engine,
#                             built by scripts/openssl_mingw.sh and
#                             scripts/gost_mingw.sh), and
#                             qemu-user where this kernel runs no 32-bit
#                             programs (or CRTELV_WINE_QEMU=1 asks for it; see
#                             scripts/wine_route.sh)
set -euo pipefail
# shellcheck source=wine_route.sh
. "$(dirname "$0")/wine_route.sh"

want=(cmake g++ make libgtest-dev libbenchmark-dev libssl-dev openssl libengine-gost-openssl pkg-config clang-14
  libclang-rt-14-dev)
win32=0
[ "${1:-}" = "--win32" ] && win32=1
if [ "$win32" = 1 ]; then
  want+=(g++-mingw-w64-i686 googletest wine wine32:i386)
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# The sources for the mingw build: Debian ships no mingw libcrypto nor GOST
# engine, but their source packages come with the ordinary client. A deb-src
# entry mirrors every configured binary entry (deb822 files and one-line lists
# alike); the download lands in the cache, outside the checkout, and apt checks
# it against the signed Sources index (the build scripts check the upstream
# tarball again against the .dsc before each build).
add_deb_src() {
  local list=/etc/apt/sources.list.d/cr_telv-deb-src.sources
  apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources && return 0
  local tmp
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$list" ] || continue
    # one stanza per entry: keep the binary ones, as source entries
    awk 'function flush() { if (bin) printf "%s\n", st; st = ""; bin = 0 }
         /^[[:space:]]*$/ { flush(); next }
         /^Types:/ { n = split($0, t, /[[:space:]]+/); for (i = 2; i <= n; ++i) if (t[i] == "deb") bin = 1
                     st = st "Types: deb-src\n"; next }
         { st = st $0 "\n" }
         END { flush() }' "$f" >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]\(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$tmp.list"
    [ -s "$tmp.list" ] && $SUDO install -m 644 "$tmp.list" "${list%.sources}.list"
    rm -f "$tmp.list"
  fi
  [ -s "$tmp" ] && $SUDO install -m 644 "$tmp" "$list"
  rm -f "$tmp"
  $SUDO apt-get update -qq
}

# fetch_source <source package> <version pattern>: its .dsc and upstream
# tarball into the cache, unless a version matching the pattern is there.
# Newest version first; a mirror may lack a version's files (a security pool's
# .dsc gone after an update, or the Debian part of a package), so what counts
# is the .dsc with the upstream tarball: the Debian changes are not built.
fetch_source() {
  local package=$1 pattern=$2
  local cache=${XDG_CACHE_HOME:-$HOME/.cache}/cr_telv/src
  if ls "$cache/${package}_"$pattern.dsc >/dev/null 2>&1 &&
     ls "$cache/${package}_"$pattern.orig.tar.gz >/dev/null 2>&1; then
    return 0
  fi
  add_deb_src
  mkdir -p "$cache"
  local v tmpd
  for v in $(apt-cache showsrc "$package" | awk '/^Version:/ { print $2 }' | sort -r -V); do
    tmpd=$(mktemp -d "$cache/.fetch.XXXXXX")
    (cd "$tmpd" && apt-get source --download-only -qq "$package=$v" >/dev/null 2>&1) || true
    if ls "$tmpd/${package}_"$pattern.dsc >/dev/null 2>&1 && ls "$tmpd/${package}_"$pattern.orig.tar.gz >/dev/null 2>&1; then
      mv "$tmpd/${package}_"*.dsc "$tmpd/${package}_"*.orig.tar.gz "$cache"/
      rm -rf "$tmpd"
      return 0
    fi
    rm -rf "$tmpd"
  done
  echo "setup.sh: could not download the source package $package" >&2
  exit 1
}

# Wine through qemu-i386 where the kernel refuses 32-bit programs: qemu-user
# is installed once Wine is there to be tried.
need_qemu() {
  [ "${CRTELV_WINE_QEMU:-}" = 0 ] && return 1
  command -v qemu-i386 >/dev/null 2>&1 && return 1
  [ "${CRTELV_WINE_QEMU:-}" = 1 ] && return 0
  ! wine_route_runs_32bit
}

finish_win32() {
  if need_qemu; then
    echo "Installing: qemu-user (Wine's 32-bit programs run through qemu-i386 here)"
    [ "${apt_updated:-0}" = 1 ] || $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
  fi
  fetch_source openssl '3.*'
  fetch_source libengine-gost-openssl '3.*'
}

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  [ "$win32" = 1 ] && finish_win32
  exit 0
fi

if [ "$win32" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
apt_updated=1
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
[ "$win32" = 1 ] && finish_win32
exit 0

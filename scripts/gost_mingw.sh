#!/usr/bin/env bash
# The GOST engine for OpenSSL as a static library for i686-w64-mingw32, built
# from the upstream tarball of Debian's libengine-gost-openssl source package
# (fetched with its .dsc by scripts/setup.sh --win32) against the static
# libcrypto of scripts/openssl_mingw.sh, for the Windows open provider
# (cpki1.dll links it in and calls ENGINE_load_gost()). Built once per machine
# and libcrypto into the cache:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/cr_telv/gost-engine-<version>-mingw32-<hash>
# where the hash covers the libcrypto prefix (so a libcrypto built with other
# options gets its own engine), the compiler and this script. As for
# libcrypto: a temporary folder renamed into place when complete, a stamp of
# checksums written last, an entry without a sound stamp removed and built
# again, one build at a time per cache.
#   scripts/gost_mingw.sh <libcrypto prefix>        build when needed; prints the prefix
#   scripts/gost_mingw.sh check <libcrypto prefix>  prints the prefix if a sound entry exists
#
# Only the engine's library is compiled (no tools, tests or provider form),
# straight from its file list: its CMake project runs target programs at
# configure time, and its answers for this target are fixed here (little
# endian; no _addcarry_u64 on i686; x86 needs no strict alignment). Its own
# warnings are its business: logged, never fatal.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=mingw_cache.sh
. scripts/mingw_cache.sh
cache=${XDG_CACHE_HOME:-$HOME/.cache}/cr_telv
src=$cache/src
cross=i686-w64-mingw32-
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

mode=build
if [ "${1:-}" = check ]; then mode=check; shift; fi
crypto=${1:-}
[ -n "$crypto" ] && [ -f "$crypto/lib/libcrypto.a" ] ||
  { echo "usage: $0 [check] <libcrypto prefix made by scripts/openssl_mingw.sh>" >&2; exit 2; }
crypto=$(cd "$crypto" && pwd)

# The engine's library: its core, the 2001/2012 curves, the hashes and
# ciphers, the error strings and the ENGINE glue.
sources=(gost_ameth.c gost_pmeth.c gost_ctl.c gost_asn1.c gost_crypt.c gost_keywrap.c gost_md.c gost_md2012.c
  gost_omac.c gost_omac_acpkm.c gost_gost2015.c gost_params.c gost_keyexpimp.c gost89.c gosthash.c gosthash2012.c
  gost_grasshopper_core.c gost_grasshopper_defines.c gost_grasshopper_galois_precompiled.c
  gost_grasshopper_precompiled.c gost_grasshopper_cipher.c gost_ec_keyx.c gost_ec_sign.c
  ecp_id_GostR3410_2001_CryptoPro_A_ParamSet.c ecp_id_GostR3410_2001_CryptoPro_B_ParamSet.c
  ecp_id_GostR3410_2001_CryptoPro_C_ParamSet.c ecp_id_GostR3410_2001_TestParamSet.c
  ecp_id_tc26_gost_3410_2012_256_paramSetA.c ecp_id_tc26_gost_3410_2012_512_paramSetA.c
  ecp_id_tc26_gost_3410_2012_512_paramSetB.c ecp_id_tc26_gost_3410_2012_512_paramSetC.c
  e_gost_err.c gost_eng.c)
flags=(-O2 -DL_ENDIAN -DBUILDING_ENGINE_AS_LIBRARY -Wno-deprecated-declarations)

dsc=$(ls "$src"/libengine-gost-openssl_3.*.dsc 2>/dev/null | sort -V | tail -1 || true)
[ -n "$dsc" ] || { echo "gost_mingw.sh: the GOST engine's source is missing; run scripts/setup.sh --win32" >&2; exit 1; }
version=$(awk '/^Version:/ { v = $2; sub(/-[^-]*$/, "", v); print v; exit }' "$dsc")
tarball=$src/libengine-gost-openssl_$version.orig.tar.gz

hash=$( { echo "$crypto"; printf '%s\n' "${sources[@]}" "${flags[@]}"; "${cross}gcc-posix" --version | head -1
  cat "$0" scripts/mingw_cache.sh; } | sha256sum | cut -c1-12)
prefix=$cache/gost-engine-$version-mingw32-$hash

# A sound entry needs no lock: entries appear only by a rename when complete.
cache_sound "$prefix" lib/libgost.a && { echo "$prefix"; exit 0; }
[ "$mode" = check ] && exit 1

cache_lock "$cache"
if cache_sound "$prefix" lib/libgost.a; then echo "$prefix"; exit 0; fi
[ -e "$prefix" ] && { echo "gost_mingw.sh: removing the damaged entry $prefix" >&2; rm -rf "$prefix"; }

cache_check_tarball gost_mingw.sh "$dsc" "$tarball" "$src"

echo "gost_mingw.sh: building the GOST engine $version for i686-w64-mingw32 (once per libcrypto)" >&2
work=$(mktemp -d "$cache/.gost-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
tar -xzf "$tarball" -C "$work"
srcdir=$(ls -d "$work"/*/ | head -1)
mkdir -p "$work/obj"
export CC="${cross}gcc-posix" SRCDIR=$srcdir OBJ=$work/obj CRYPTO_INCLUDE=$crypto/include
export FLAGS="${flags[*]}"
# shellcheck disable=SC2016
printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -I{} sh -c '$CC $FLAGS -I"$CRYPTO_INCLUDE" -I"$SRCDIR" -c "$SRCDIR/$1" -o "$OBJ/${1%.c}.o" 2>"$OBJ/${1%.c}.log"' _ {} ||
  { echo "gost_mingw.sh: the build failed; its messages:" >&2; cat "$work"/obj/*.log >&2; exit 1; }
cat "$work"/obj/*.log >"$work/build.log"

out=$work/out
mkdir -p "$out/lib" "$out/include"
(cd "$work/obj" && "${cross}ar" rcs "$out/lib/libgost.a" "${sources[@]/%.c/.o}")
cp "$srcdir/gost-engine.h" "$out/include/"
cp "$srcdir/LICENSE" "$out/"
cp "$work/build.log" "$out/"
echo "$crypto" >"$out/libcrypto.txt"
cache_place "$out" "$prefix"
echo "gost_mingw.sh: built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"

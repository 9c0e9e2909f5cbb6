#!/usr/bin/env bash
# A static libcrypto for i686-w64-mingw32, built from OpenSSL's upstream
# tarball (fetched with its .dsc by scripts/setup.sh --win32), for the Windows
# open provider (cpki1.dll). Built once per machine into the cache:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/cr_telv/openssl-<version>-mingw32-<options hash>
# and reused afterwards. The build runs in a temporary folder beside it that
# is renamed into place only when complete, with a stamp file holding the
# checksums of everything in it written last; an entry without a stamp, or
# whose files no longer match it, is removed and built again.
#   scripts/openssl_mingw.sh        build when needed; prints the prefix
#   scripts/openssl_mingw.sh check  prints the prefix if a sound entry exists
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${XDG_CACHE_HOME:-$HOME/.cache}/cr_telv
src=$cache/src
cross=i686-w64-mingw32-
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
# shellcheck source=mingw_cache.sh
. "$root/scripts/mingw_cache.sh"

# What the provider uses stays in: EC, RSA, AES with GCM, SHA-2, CMS, PKCS#12,
# X509, PEM, time-stamping (TS, ESS) with the HTTP client and sockets it
# talks through, and what an engine linked in later needs (ENGINE, DSO, CMAC,
# deprecated interfaces). Algorithms, protocols and services it never touches
# go, to shorten the build.
options=(mingw no-shared no-tests no-module no-legacy no-capieng
  no-ssl3 no-dtls no-srp no-psk no-ct no-ocsp no-cmp no-sctp no-ktls
  no-aria no-bf no-camellia no-cast no-idea no-md4 no-mdc2 no-rc2 no-rc4 no-rc5 no-seed
  no-siphash no-sm2 no-sm3 no-sm4 no-whirlpool no-rmd160 no-ec2m no-dsa no-ocb no-scrypt
  no-comp no-zlib no-uplink)

dsc=$(ls "$src"/openssl_3.*.dsc 2>/dev/null | sort -V | tail -1 || true)
[ -n "$dsc" ] || { echo "openssl_mingw.sh: OpenSSL's source is missing; run scripts/setup.sh --win32" >&2; exit 1; }
version=$(awk '/^Version:/ { v = $2; sub(/-[^-]*$/, "", v); print v; exit }' "$dsc")
tarball=$src/openssl_$version.orig.tar.gz

# The options hash covers what changes the result: options, compiler, the scripts.
hash=$( { printf '%s\n' "${options[@]}"; "${cross}gcc-posix" --version | head -1; cat "$0" "$root/scripts/mingw_cache.sh"; } |
  sha256sum | cut -c1-12)
prefix=$cache/openssl-$version-mingw32-$hash

cache_sound "$prefix" lib/libcrypto.a && { echo "$prefix"; exit 0; }
[ "${1:-}" = check ] && exit 1

# One build at a time per cache: a second caller waits and then reuses it.
cache_lock "$cache"
if cache_sound "$prefix" lib/libcrypto.a; then echo "$prefix"; exit 0; fi
[ -e "$prefix" ] && { echo "openssl_mingw.sh: removing the damaged entry $prefix" >&2; rm -rf "$prefix"; }

cache_check_tarball openssl_mingw.sh "$dsc" "$tarball" "$src"

echo "openssl_mingw.sh: building OpenSSL $version for i686-w64-mingw32 (once per machine, several minutes)" >&2
work=$(mktemp -d "$cache/.openssl-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
tar -xzf "$tarball" -C "$work"
srcdir=$(ls -d "$work"/openssl-*/)
(
  cd "$srcdir"
  # (OpenSSL 3.0 has no no-apps or no-docs: only libcrypto's own targets are made)
  CC=gcc-posix ./Configure "${options[@]}" --cross-compile-prefix="$cross" --prefix=/ >"$work/configure.log" 2>&1 &&
  make -j "$jobs" build_generated >"$work/make.log" 2>&1 &&
  make -j "$jobs" libcrypto.a >>"$work/make.log" 2>&1
) || { echo "openssl_mingw.sh: the build failed; the end of its log:" >&2; for l in "$work"/*.log; do tail -n 30 "$l" >&2; done; exit 1; }

out=$work/out
mkdir -p "$out/lib" "$out/include/openssl"
cp "$srcdir/libcrypto.a" "$out/lib/"
cp "$srcdir"/include/openssl/*.h "$out/include/openssl/"
cp "$srcdir/LICENSE.txt" "$out/"
printf '%s\n' "${options[@]}" >"$out/options.txt"
cache_place "$out" "$prefix"
echo "openssl_mingw.sh: built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"

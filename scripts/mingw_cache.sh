# The rules of the cross build's cache (~/.cache/cr_telv), shared by
# scripts/openssl_mingw.sh and scripts/gost_mingw.sh: an entry is built in a
# temporary folder, gets a stamp of the checksums of its files written last,
# and is renamed into place when complete; an entry without a sound stamp is
# removed and built again; one build at a time per cache. Sourced, not run.

# cache_sound <dir> <file>: a complete entry (holding <file>) whose files match its stamp.
cache_sound() {
  [ -f "$1/cr_telv.stamp" ] && [ -f "$1/$2" ] &&
    (cd "$1" && sha256sum --quiet --strict -c cr_telv.stamp >/dev/null 2>&1)
}

# cache_lock <cache>: holds the cache's build lock on descriptor 9 until the
# caller ends. A sound entry needs no lock: entries appear only by a rename.
cache_lock() {
  mkdir -p "$1"
  exec 9>"$1/.openssl-mingw32.lock"
  flock 9
}

# cache_check_tarball <who> <dsc> <tarball> <src>: the original tarball must be
# the one the .dsc names (apt checked the .dsc itself against the signed
# Sources index when it fetched it).
cache_check_tarball() {
  local want have
  want=$(awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 }
              on && $3 ~ /\.orig\.tar\.gz$/ { print $1; exit }' "$2")
  have=$(sha256sum "$3" 2>/dev/null | cut -d' ' -f1 || true)
  if [ -z "$want" ] || [ "$want" != "$have" ]; then
    echo "$1: $3 does not match $2; run scripts/setup.sh --win32 again after removing $4" >&2
    exit 1
  fi
}

# cache_place <out> <prefix>: stamps a complete build and renames it into place.
cache_place() {
  (cd "$1" && find . -type f ! -name "cr_telv.stamp*" | LC_ALL=C sort | xargs sha256sum >cr_telv.stamp.part &&
    mv cr_telv.stamp.part cr_telv.stamp)
  mv "$1" "$2"
}

#!/usr/bin/env bash
# Runs a GoogleTest program with a time limit on each test case: passes its
# output through and, when a case runs longer than the limit (or the program
# is silent that long outside any case), names the case, kills the program
# with every process it started, and fails.
#   scripts/test_watchdog.sh <seconds> <command> [arguments...]
# The Windows build's tests run under it (in front of Wine, see
# tests/CMakeLists.txt), so that a hang fails quickly and says where.
set -uo pipefail

limit=$1
shift
[ "$limit" -gt 0 ] 2>/dev/null || { echo "test_watchdog: bad limit '$limit'" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/test_watchdog.XXXXXX")
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL -- "-$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkfifo "$work/out"

# A session of its own: the program and whatever it starts (a child test
# process) can be killed together. A background job of a script is not a
# group leader, so setsid does not fork and $! is the program itself.
setsid "$@" >"$work/out" 2>&1 </dev/null &
pid=$!
exec 3<"$work/out"

stopped() {  # <what> : report the hang and kill the program
  echo "test_watchdog: TIMEOUT: $1 did not finish within $limit s; killing ${2##*/}"
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
  exit 124
}

running() { kill -0 "$pid" 2>/dev/null && [[ $(ps -o stat= -p "$pid" 2>/dev/null) != Z* ]]; }

# The cases being run (a test may start a child process that runs a case of
# its own inside it) and their deadlines.
names=()
deadlines=()
deadline=$((SECONDS + limit))
program=$1
ended=
while :; do
  left=$((deadline - SECONDS))
  if [ "$left" -le 0 ]; then
    if [ ${#names[@]} -gt 0 ]; then stopped "${names[-1]}" "$program"; else stopped "the program, outside any test case," "$program"; fi
  fi
  # Once the program has ended, only what is already in the pipe is read: a
  # process it left behind may keep the pipe open.
  if [ -n "$ended" ]; then wait_for=0.2; else wait_for=1; fi
  line=
  if IFS= read -r -t "$wait_for" line <&3; then
    line=${line%$'\r'}
    printf '%s\n' "$line"
    case $line in
      "[ RUN      ] "*)
        names+=("${line#"[ RUN      ] "}")
        deadlines+=($((SECONDS + limit))) ;;
      "[       OK ] "* | "[  FAILED  ] "* | "[  SKIPPED ] "*)
        if [ ${#names[@]} -gt 0 ]; then
          unset 'names[-1]' 'deadlines[-1]'
          names=("${names[@]}")
          deadlines=("${deadlines[@]}")
        fi ;;
    esac
    if [ ${#deadlines[@]} -gt 0 ]; then deadline=${deadlines[-1]}; else deadline=$((SECONDS + limit)); fi
  else
    status=$?
    [ -n "$line" ] && printf '%s\n' "${line%$'\r'}"
    [ "$status" -le 128 ] && break  # end of output
    [ -n "$ended" ] && break        # the program is gone and the pipe is quiet
    running || ended=1
  fi
done

# The output is closed or the program has ended: give its exit the same bound.
end=$((SECONDS + limit))
while running; do
  [ "$SECONDS" -ge "$end" ] && stopped "the program's exit" "$program"
  sleep 0.1
done
wait "$pid"
status=$?
pid=
exit "$status"

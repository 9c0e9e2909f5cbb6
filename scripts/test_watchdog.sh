#!/usr/bin/env bash
# Runs a GoogleTest program with a time limit on each test case: passes its
# output through and, when a case runs longer than the limit (or the program
# is silent that long outside any case), names the case, kills the program
# with every process it started, and fails.
#   scripts/test_watchdog.sh <seconds> <command> [arguments...]
# The Windows build's tests run under it (in front of Wine, see
# tests/CMakeLists.txt), so that a hang fails quickly and says where.
#
# With CRTELV_EMULATOR_RETRY set (scripts/win32.sh sets it when Wine runs
# through qemu-i386), a program that dies in the middle of its run (it ends
# with a failing status before GoogleTest's closing lines, and no case has
# failed) is resumed: qemu-user now and then kills a multi-threaded guest
# ("uncaught target signal 11", or Wine's abort with exit 3), and Wine
# processes always have several threads. The program runs again with the
# cases that finished left out (GTEST_FILTER), so the case it died in comes
# first in a fresh process. At most three resumes, and a second death in the
# same case is final. Each resume is said in the output and noted in the file
# CRTELV_EMULATOR_RETRY names, for the stage's closing lines. A case that
# hangs to its limit there is resumed the same way, by the same rules: qemu-user
# was seen to leave a guest thread stuck in a case that passes natively,
# under native Wine and in other runs through qemu. A case that fails is
# never retried, and without the emulator a hang is final.
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
program=$1

stopped() {  # <what> : report the hang and kill the program; sets status and hung
  echo "test_watchdog: TIMEOUT: $1 did not finish within $limit s; killing ${program##*/}"
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
  exec 3<&-
  status=124
  hung=1
}

running() { kill -0 "$pid" 2>/dev/null && [[ $(ps -o stat= -p "$pid" 2>/dev/null) != Z* ]]; }

# One run of the program; sets status, names (the cases still running when
# it ended), closed (GoogleTest's closing line came) and failed (a case failed),
# and adds the cases that passed or were skipped to finished.
finished=()
run_once() {
  rm -f "$work/out"
  mkfifo "$work/out"
  # A session of its own: the program and whatever it starts (a child test
  # process) can be killed together. A background job of a script is not a
  # group leader, so setsid does not fork and $! is the program itself.
  setsid "$@" >"$work/out" 2>&1 </dev/null &
  pid=$!
  exec 3<"$work/out"

  # The cases being run (a test may start a child process that runs a case of
  # its own inside it) and their deadlines.
  names=()
  deadlines=()
  closed=
  failed=
  hung=
  local deadline=$((SECONDS + limit)) ended= left wait_for line end
  while :; do
    left=$((deadline - SECONDS))
    if [ "$left" -le 0 ]; then
      if [ ${#names[@]} -gt 0 ]; then stopped "${names[-1]}"; else stopped "the program, outside any test case,"; fi
      return
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
        "[==========] "*" ran."*) closed=1 ;;
        "[       OK ] "* | "[  FAILED  ] "* | "[  SKIPPED ] "*)
          [[ $line == "[  FAILED  ] "* ]] && failed=1
          [[ $line != "[  FAILED  ] "* ]] && [ ${#names[@]} -gt 0 ] && finished+=("${names[-1]}")
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
    if [ "$SECONDS" -ge "$end" ]; then stopped "the program's exit"; return; fi
    sleep 0.1
  done
  wait "$pid"
  status=$?
  pid=
  exec 3<&-
}

# The program's name for the messages: the Windows program, not the emulator.
name=${program##*/}
for arg in "$@"; do
  case $arg in *.exe | *.EXE) name=${arg##*[/\\]}; break ;; esac
done

filter0=${GTEST_FILTER:-}
run_once "$@"
resumes=0
last_death=
while [ "$status" != 0 ] && [ -z "$closed" ] && [ -z "$failed" ] && [ -n "${CRTELV_EMULATOR_RETRY:-}" ]; do
  where="outside any test case"
  [ ${#names[@]} -gt 0 ] && where=${names[-1]}
  if [ -n "$hung" ]; then note="$name hung in $where"; else note="$name died (exit $status) in $where"; fi
  if [ "$resumes" -ge 3 ] || [ "$where" = "$last_death" ]; then
    echo "test_watchdog: $note; not resumed again"
    echo "$note: not resumed again" >>"$CRTELV_EMULATOR_RETRY"
    break
  fi
  resumes=$((resumes + 1))
  last_death=$where
  echo "test_watchdog: $note with no failed case; through the emulator that is qemu-user's trouble with threaded guests: resuming it without the ${#finished[@]} cases that finished"
  printf '%s\n' "$note, resumed" >>"$CRTELV_EMULATOR_RETRY"
  # GTEST_FILTER is POSITIVE[-NEGATIVE]: the finished cases join the negative part.
  filter=$filter0
  [[ $filter == *-* ]] || filter="$filter-"
  skip=$(IFS=:; echo "${finished[*]}")
  [[ $filter == *- ]] || [ -z "$skip" ] || skip=":$skip"
  export GTEST_FILTER="$filter$skip"
  run_once "$@"
done
[ "$resumes" -gt 0 ] && [ "$status" = 0 ] && echo "$name passed after $resumes resume(s)" >>"$CRTELV_EMULATOR_RETRY"
exit "$status"

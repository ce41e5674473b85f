#!/usr/bin/env bash
# Every subcommand of the native program under valgrind (memcheck, definite
# leaks counted as errors) on a scratch stand-in machine: usage errors, a
# refused directory, create, state, isrunning (lock free, held by the test
# server, no lock file), an instance root named by instance.loc, start from a
# console and through the stand-in SCM (start, run, interrogate, stop),
# remove and cleanup. Each run must give its usual exit code and valgrind
# must report nothing. Takes the plain (unsanitized) build directory.
set -u
build=${1:?plain native build directory}
program=$build/velkor_service
server=$build/tests/fixtures/velkor_test_server
sc=$build/tests/fixtures/velkor_sc
for file in "$program" "$server" "$sc" "$build/tests/fixtures/winlauncher"; do
  [ -x "$file" ] || { echo "missing $file"; exit 2; }
done
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkor-valgrind-XXXXXX")
server_pid=
cleanup_all() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  # A service or server this script started and that is still running.
  for pid in $(pgrep -f "$scratch/install" || true); do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup_all EXIT
export VELKOR_STANDIN_ROOT=$scratch/machine
export TMPDIR=$scratch/tmp
mkdir -p "$TMPDIR" "$scratch/install/lib" "$scratch/install/logs" "$scratch/install/inst"
cp "$program" "$scratch/install/lib/velkor_service"
exe=$scratch/install/lib/velkor_service
win() { printf 'Z:%s' "${1//\//\\}"; }
dir=$(win "$scratch/install")

failures=0
runs=0
# vg WANT_EXIT WANT_OUT ARGS...: one run of the program under valgrind.
vg() {
  local want_exit=$1 want_out=$2 out rc report
  shift 2
  runs=$((runs + 1))
  report=$scratch/valgrind.$runs
  # 99 tells valgrind's own errors from the program's exit codes.
  out=$(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --log-file="$report" "$exe" "$@")
  rc=$?
  if [ "$rc" -ne "$want_exit" ] || [ "$out" != "$want_out" ] || [ -s "$report" ]; then
    failures=$((failures + 1))
    echo "FAILED: [$*] exit $rc (want $want_exit), output '$out' (want '$want_out')"
    cat "$report"
  else
    local shown="$*"; echo "ok: [${shown:0:80}] exit $rc"
  fi
}

vg 255 'Subcommand required: create, state, remove, start or cleanup.'
vg 255 'Unknown subcommand: [Start]' Start "$dir"
vg 255 'Subcommand create requires instance dir, service name and description.' create "$dir" name
vg 255 "The instance dir 'nowhere' is not valid." state nowhere
vg 255 "The instance dir '$(printf 'x%.0s' $(seq 300))' is not valid." isrunning "$(printf 'x%.0s' $(seq 300))"
vg 1 '' state "$dir"
vg 0 '' create "$dir" velkor 'Velkor directory server'
vg 1 '' create "$dir" velkor 'Velkor directory server'
vg 0 'velkor' state "$dir"
vg 2 'Could not determine if the server is running.' isrunning "$dir"

# The test server holds the lock; then it stops and the lock file stays.
"$server" "$dir" &
server_pid=$!
for _ in $(seq 400); do [ -f "$scratch/install/locks/server.ready" ] && break; sleep 0.025; done
vg 0 'true' isrunning "$dir"
touch "$scratch/install/locks/server.stop"
wait "$server_pid"
server_pid=
vg 1 'false' isrunning "$dir"

# A root of its own, read from instance.loc (a heap copy of its own).
printf 'inst\r\n' >"$scratch/install/instance.loc"
vg 2 'Could not determine if the server is running.' isrunning "$dir"
printf 'missing\r\n' >"$scratch/install/instance.loc"
vg 0 'velkor' state "$dir"
rm "$scratch/install/instance.loc"

# start from a console: the dispatcher refuses, the event is reported.
vg 1 '' start "$dir"

# start as the service, run by the stand-in SCM. The service process is the
# SCM driver's child, so valgrind follows the driver into it (and skips the
# start script's shell, the test server and the stop launcher). On the virtual
# clock, time passes only while every process of the machine waits and a
# driver's step (VELKOR_STANDIN_DRIVER=1) runs, or after clock.free: the SCM's
# 30 s for the service to connect, and every wait after, follow valgrind's pace.
export VELKOR_STANDIN_CLOCK=virtual VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD=1
step() { VELKOR_STANDIN_DRIVER=1 "$@"; }
mkdir -p "$scratch/install/bat"
printf '#!/bin/sh\n"%s" "%s" >/dev/null 2>&1 &\nexit 0\n' "$server" "$dir" >"$scratch/install/bat/start-ds.bat"
chmod 755 "$scratch/install/bat/start-ds.bat"
cp "$build/tests/fixtures/winlauncher" "$scratch/install/lib/winlauncher.exe"
runs=$((runs + 1))
step valgrind --trace-children=yes --trace-children-skip='*/sh,*/dash,*/bash,*velkor_test_server*,*winlauncher*' \
  --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
  --log-file="$scratch/service.%p" "$sc" start velkor >/dev/null
step "$sc" wait velkor 4 120000 >/dev/null || echo "the service did not report running"
step "$sc" control velkor 4 >/dev/null
step "$sc" control velkor 1 >/dev/null
stopped=0
step "$sc" wait velkor 1 120000 >/dev/null || stopped=$?
: >"$VELKOR_STANDIN_ROOT/clock.free"
# A service process still there 300 s after its last report hangs.
for _ in $(seq 3000); do pgrep -f "$exe start" >/dev/null || break; sleep 0.1; done
pgrep -f "$exe start" >/dev/null && stopped=ended-not
# Every process valgrind followed (the driver, the service, and the service's
# children up to their exec) must report no error; the service's own
# summary must be there.
service_summary=$(grep -l "^==[0-9]*== Command: $exe start" "$scratch"/service.* 2>/dev/null |
  xargs -r grep -h 'ERROR SUMMARY' | sed 's/^==[0-9]*== //; s/ (suppressed.*//' | sort -u)
bad_logs=$(grep -l 'ERROR SUMMARY: [1-9]' "$scratch"/service.* 2>/dev/null)
if [ "$stopped" != 0 ] || [ -n "$bad_logs" ] || [ "$service_summary" != "ERROR SUMMARY: 0 errors from 0 contexts" ]; then
  failures=$((failures + 1))
  echo "FAILED: [start through the SCM] stopped=$stopped, service: '$service_summary'"
  for report in $bad_logs; do grep -v '^==[0-9]*== *$' "$report" | head -80; done
  tail -n 20 "$scratch/install/logs/native-windows.out"
else
  echo "ok: [start through the SCM] ran, stopped, $service_summary"
fi
unset VELKOR_STANDIN_CLOCK VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD

vg 0 '' remove "$dir"
vg 1 '' remove "$dir"
vg 1 '' cleanup velkor
vg 0 '' create "$dir" velkor d
vg 0 '' cleanup velkor

echo "$((runs - failures)) of $runs runs clean"
[ "$failures" -eq 0 ]

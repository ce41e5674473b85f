#!/usr/bin/env bash
# Runs every test on a fresh Debian machine: installs what is missing, builds
# both Windows variants and the native ones, and runs CTest group by group:
# unit tests under ASan+UBSan with the source and Windows-file checks, the
# threaded tests under TSan, the Wine tests against the x86_64 build, the
# fault matrix, the fuzz targets, then the 32-bit environment of
# scripts/i386-env.sh (set up in the background meanwhile) and the Wine tests
# against the i686 build in it. Every group runs
# even when one before it failed; any failure makes the exit code 1. The time
# of each group is printed at the end, with the count of re-runs: none, since
# no command is ever run a second time (a program Wine ended before its main
# fails its test with Wine's trace; the summary counts those failures too).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${VELKOR_JOBS:-2}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
times=()
output=$top/build/test-output.log
mkdir -p "$top/build"
: >"$output"
# group NAME CMD...: runs CMD, records its time and result; what it prints is
# also kept in $output.
group() {
  local name=$1 started=$SECONDS rc=0
  shift
  echo "==== $name"
  set +e
  "$@" 2>&1 | tee -a "$output"
  rc=${PIPESTATUS[0]}
  set -e
  [ $rc -eq 0 ] || status=1
  times+=("$(printf '%-32s %5d s  %s' "$name" $((SECONDS - started)) "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
}
in_native() { (cd "$top/build/native" && ctest --output-on-failure -j "$jobs" "$@"); }

group "dependencies" bash "$top/scripts/install-deps.sh"
group "build" bash "$top/scripts/build.sh" all
if [ $status -ne 0 ]; then
  printf '  %s\n' "${times[@]}"
  exit 1
fi
# The labels split the native build's tests; the last group runs whatever
# carries none of them, so every test runs once.
group "unit and checks (ASan+UBSan)" in_native -L '^(unit|check|valgrind)$'
group "sanitizers (TSan)" bash -c 'cd "$1" && ctest --output-on-failure -j "$2" -L unit' _ "$top/build/native-tsan" "$jobs"
# The x86 environment (scripts/i386-env.sh: mostly downloads and emulated
# package installs) is set up beside the Wine x86_64 tests, the fault matrix
# and the fuzz targets, which do not run on the machine's clock; the unit
# tests, which do, have run before it starts. Its own time is printed with
# the group that waits for it.
setup_pid= setup_log=$top/build/i386-setup.log
if [ "${VELKOR_SKIP_I686:-}" = 1 ]; then
  echo "VELKOR_SKIP_I686=1: the i686 build's Wine tests are skipped (a full run leaves it unset)"
else
  mkdir -p "$top/build"
  (started=$SECONDS; rc=0; bash "$top/scripts/i386-env.sh" setup || rc=$?
   echo "i386-env: setup took $((SECONDS - started)) s beside the other groups"; exit $rc) \
    >"$setup_log" 2>&1 &
  setup_pid=$!
fi
group "Wine x86_64" in_native -L '^wine$' -LE '^i686$'
group "fault matrix" in_native -L '^faults$'
# A test without any of those labels would otherwise never run.
unlabelled=(-LE '^(unit|check|valgrind|wine|i686|faults)$')
listed=$(cd "$top/build/native" && ctest -N "${unlabelled[@]}" || true)
if grep -q '^Total Tests: 0$' <<<"$listed"; then
  echo "==== other tests: every test carries one of the groups' labels"
else
  group "other tests" in_native "${unlabelled[@]}"
fi
# Fuzz targets, each for a bounded time, when the project has them.
if [ -f "$top/scripts/fuzz.sh" ]; then group "fuzz" bash "$top/scripts/fuzz.sh"; fi
# The set-up is waited for here, in this shell: a group's command runs in a
# pipeline's subshell, where the set-up is not a child and wait cannot see it.
setup_rc=0
if [ -n "$setup_pid" ]; then wait "$setup_pid" || setup_rc=$?; fi
x86_setup() {
  if [ -n "$setup_pid" ]; then cat "$setup_log"; fi
  [ "$setup_rc" -eq 0 ] || { echo "i386-env: setup failed ($setup_rc)"; return "$setup_rc"; }
  in_native -R '^wine_i686_setup$'
}
group "x86 environment set-up" x86_setup
group "Wine x86 (i686 build)" in_native -L '^i686$' -E '^wine_i686_setup$' -FS velkor_i386
echo
echo "Time of each group:"
printf '  %s\n' "${times[@]}"
echo "  total                            $(printf '%5d' "$SECONDS") s"
echo "  re-runs                          0 (no command is run twice); runs Wine ended before" \
  "their main: $(grep -c '^FAILED: Wine ended .* before its main ran' "$output" || true), each a failed test"
exit $status

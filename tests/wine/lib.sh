# Wine harness for the end-to-end tests, sourced by tests/wine/test_*.sh and
# by the demo. Each run gets a throwaway prefix, booted once and kept up until
# the run ends (a second boot would start every auto-start service behind the
# test's back); everything is torn down on exit.
#
#   wine_setup                 make an isolated WINEPREFIX (wineboot -i, or a
#                              copy of VELKOR_WINE_PREFIX_TEMPLATE when set),
#                              shut down; the first Windows command boots it
#   wine_set_system_env N V    a system environment variable for services:
#                              written to the registry file before the boot
#                              (refused once the prefix is up)
#   wine_boot, wine_keep_up    boot the prefix now (idempotent)
#   wine_install DIR [EXE]     lay out an installation at the Windows path DIR
#                              (lib\ with the program, logs\), echo its Unix path
#   wine_install_service DIR [ROOT]
#                              wine_install plus the stop launcher, the test server, velkor_sc
#                              and a start script that records its arguments in bat\calls.txt,
#                              starts the server on ROOT (default DIR), returns once it is locked
#   wine_run EXE ARGS...       run a program; sets RUN_OUT (stdout), RUN_RC, RUN_OUT_RAW_FILE
#                              (.err: stderr with Wine's errors); text: RUN_OUT without CR. A run
#                              of our program that Wine ended with exit 1 before its main (no
#                              output, no new "main called.") fails the test and shows Wine's
#                              +process,+loaddll,+seh trace of that run
#   wine, wineserver           bounded: every call runs under `timeout` (VELKOR_CMD_TIMEOUT
#                              seconds, default wine_secs 90); on expiry the whole test fails at
#                              once naming the command and what it printed;
#                              wineserver -w or -k after the boot fails at once
#   wine_secs N                N seconds scaled for the build (x3 for i686,
#                              which runs under emulation)
#   wait_until SECS CMD...     poll CMD until it succeeds, at most SECS
#   wine_wait_gone NAME        poll the SCM until it no longer lists NAME (a deleted service
#                              stays listed until its process has ended); RUN_* hold the last answer
#   expect_gone WHAT NAME      wine_wait_gone, then check it is gone
#   wine_unix_path WINPATH     Unix path of a Windows path in the prefix
#   wine_log INSTALL_UNIX      the debug log's lines with CR removed
#   expect_eq WHAT GOT WANT    compare, count failures; a failure shows the last wine_run
#   finish                     print the result, exit 0 or 1
#
# VELKOR_WINE_HANG=GLOB makes each Windows command whose command line matches
# GLOB hang after it has run (to see a hang fail the test and be named).
#
set -u
: "${VELKOR_WINDOWS_EXE:?path of the velkor_service.exe under test}"
VELKOR_WINDOWS_BIN=$(dirname "$VELKOR_WINDOWS_EXE")
# Our Windows tools and the test fixtures, built beside the program under test.
tools=$VELKOR_WINDOWS_BIN/tests/wintools fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
export WINEDEBUG=-all
# Wine's trace channels, kept for every wine_run and shown when Wine ended our
# program before its main or a command timed out: which processes started,
# which DLLs loaded, which exception ended the run.
VELKOR_WINE_TRACE=+process,+loaddll,+seh
VELKOR_TRACE_RE='^[0-9a-f]*:\(trace\|warn\|fixme\):\(process\|loaddll\|seh\):'
VELKOR_TRACE_LINES=${VELKOR_TRACE_LINES:-120}
FAILURES=0
CHECKS=0

# The Machine field of a PE file's COFF header, as 4 hex digits.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && [ "$(od -An -tx1 -j"$at" -N4 "$1" 2>/dev/null | tr -d ' ')" = 50450000 ] || return 1
  od -An -tx1 -j$((at + 4)) -N2 "$1" | awk '{ print $2 $1 }'
}
VELKOR_WINDOWS_MACHINE_CODE=$(pe_machine "$VELKOR_WINDOWS_EXE") || VELKOR_WINDOWS_MACHINE_CODE=none
case $VELKOR_WINDOWS_MACHINE_CODE in
  014c) VELKOR_WINDOWS_MACHINE=i386; export WINEARCH=win32 ;;
  8664) VELKOR_WINDOWS_MACHINE=x86_64; export WINEARCH=win64 ;;
  *) echo "FAILED: $VELKOR_WINDOWS_EXE is not an i386 or x86_64 PE file"; exit 1 ;;
esac
echo "build: $VELKOR_WINDOWS_EXE, PE machine $VELKOR_WINDOWS_MACHINE (0x$VELKOR_WINDOWS_MACHINE_CODE)," \
  "$(wine --version 2>/dev/null) $WINEARCH on $(uname -m)"
if [ -n "${VELKOR_WINE_MACHINE:-}" ] && [ "$VELKOR_WINE_MACHINE" != "$VELKOR_WINDOWS_MACHINE" ]; then
  echo "FAILED: this run is for the $VELKOR_WINE_MACHINE build"
  exit 1
fi

VELKOR_WINE_SLOW=1
[ "$VELKOR_WINDOWS_MACHINE" = i386 ] && VELKOR_WINE_SLOW=3
wine_secs() { echo $(($1 * VELKOR_WINE_SLOW)); }
VELKOR_RUN_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velkor-run-XXXXXX")
VELKOR_TEST_PID=$$
# The test's own output, for reports from commands whose output is redirected.
exec {VELKOR_REPORT_FD}>&1
# A command that timed out in a subshell ends the test from there.
trap 'exit 1' TERM

# bounded CMD...: CMD under timeout, its output kept and then passed on.
bounded() {
  local limit=${VELKOR_CMD_TIMEOUT:-$(wine_secs 90)} out err rc=0 errexit=
  out=$(mktemp "$VELKOR_RUN_DIR/out.XXXXXX")
  err=$out.err
  case $- in *e*) errexit=1; set +e ;; esac
  # shellcheck disable=SC2254
  case "$*" in
    ${VELKOR_WINE_HANG:-$'\001'}) timeout -k 10 "$limit" bash -c '"$@"; exec sleep 100000' _ "$@" >"$out" 2>"$err" ;;
    *) timeout -k 10 "$limit" "$@" >"$out" 2>"$err" ;;
  esac
  rc=$?
  [ -n "$errexit" ] && set -e
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    {
      echo "FAILED: timed out after $limit s: $(printf '%q ' "$@")"
      echo "  it had printed:"
      cat "$out" "$err" | grep -v "$VELKOR_TRACE_RE" | sed 's/^/  | /'
      grep "$VELKOR_TRACE_RE" "$err" | cut -c1-300 >"$err.trace" || true
      [ ! -s "$err.trace" ] || trace_excerpt "$err.trace"
    } >&"$VELKOR_REPORT_FD"
    [ "$BASHPID" = "$VELKOR_TEST_PID" ] || kill -TERM "$VELKOR_TEST_PID"
    exit 1
  fi
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  return $rc
}

wine() {
  [ -z "${WINEPREFIX:-}" ] || [ -e "$WINEPREFIX/.velkor-booted" ] || wine_boot
  bounded wine "$@"
}
wineserver() {
  if [[ ${1:-} = -[wk]* ]] && [ -e "${WINEPREFIX:-}/.velkor-booted" ]; then
    echo "FAILED: wineserver $*: the prefix stays up for the whole test (a second boot starts" \
      "every auto-start service); wait for the event itself" >&"$VELKOR_REPORT_FD"
    [ "$BASHPID" = "$VELKOR_TEST_PID" ] || kill -TERM "$VELKOR_TEST_PID"
    exit 1
  fi
  bounded wineserver "$@"
}

wine_teardown() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    timeout 60 wineserver -k >/dev/null 2>&1 || true
    timeout "$(wine_secs 60)" wineserver -w >/dev/null 2>&1 || echo "note: the wineserver did not end"
    rm -rf "$WINEPREFIX"
  fi
  rm -rf "$VELKOR_RUN_DIR"
}
trap wine_teardown EXIT

wine_setup() {
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velkor-wine-XXXXXX")
  export WINEPREFIX
  trap wine_teardown EXIT
  if [ -n "${VELKOR_WINE_PREFIX_TEMPLATE:-}" ]; then
    # A copy of a prefix made once and shut down, as wineboot -i leaves one:
    # hard links, except the files Wine rewrites in place.
    cp -al "$VELKOR_WINE_PREFIX_TEMPLATE/." "$WINEPREFIX/"
    find "$WINEPREFIX" -maxdepth 1 -name '*.reg' -o -path "$WINEPREFIX/drive_c/windows/*.ini" |
      while read -r file; do cp --remove-destination "$VELKOR_WINE_PREFIX_TEMPLATE/${file#"$WINEPREFIX"/}" "$file"; done
  else
    VELKOR_CMD_TIMEOUT=$(wine_secs 300) bounded wineboot -i >/dev/null 2>&1
    VELKOR_CMD_TIMEOUT=$(wine_secs 60) bounded wineserver -w
  fi
}

# One persistent wineserver for the whole run, so the prefix boots once.
wine_boot() {
  [ -e "$WINEPREFIX/.velkor-booted" ] && return 0
  : >"$WINEPREFIX/.velkor-booted"
  bounded wineserver -p
  VELKOR_CMD_TIMEOUT=$(wine_secs 120) bounded wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' >/dev/null
}
wine_keep_up() { wine_boot; }

# Services take their environment from the registry as it was when the
# prefix booted: the value goes into system.reg of the prefix, shut down.
wine_set_system_env() {
  if [ -e "$WINEPREFIX/.velkor-booted" ]; then
    echo "FAILED: wine_set_system_env $1 after the prefix booted; set it before the first Windows command"
    exit 1
  fi
  local value=${2//\\/\\\\}
  value=${value//\"/\\\"}
  awk -v name="$1" -v value="$value" '
    BEGIN { key = "[System\\\\CurrentControlSet\\\\Control\\\\Session Manager\\\\Environment]" }
    in_key && !/^#/ && !done { printf "\"%s\"=\"%s\"\n", name, value; done = 1 }
    in_key && tolower($0) ~ "^\"" tolower(name) "\"=" { next }
    /^\[/ { in_key = (index($0, key " ") == 1 || $0 == key) }
    { print }' "$WINEPREFIX/system.reg" >"$WINEPREFIX/system.reg.new"
  mv "$WINEPREFIX/system.reg.new" "$WINEPREFIX/system.reg"
}

wine_unix_path() {
  local win=$1 drive rest
  drive=$(printf '%s' "${win:0:1}" | tr 'A-Z' 'a-z')
  rest=${win:2}
  rest=${rest//\\//}
  if [ "$drive" = z ]; then printf '%s' "$rest"; else printf '%s/drive_%s%s' "$WINEPREFIX" "$drive" "$rest"; fi
}

wine_install() {
  local dir=$1 exe=${2:-$VELKOR_WINDOWS_EXE} unix
  unix=$(wine_unix_path "$dir")
  mkdir -p "$unix/lib" "$unix/logs"
  cp "$exe" "$unix/lib/velkor_service.exe"
  printf '%s' "$unix"
}

wine_install_service() {
  local dir=$1 root=${2:-$1} unix
  unix=$(wine_install "$dir")
  cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$unix/lib/"
  mkdir -p "$unix/bat" "$(wine_unix_path "$root")/locks"
  # ${x%\\} joins a drive root (D:\) and a name with one backslash; the
  # server gets "<root>\." so that a root's backslash does not meet a quote.
  dir=${dir%\\} root=${root%\\}
  printf '%s\r\n' '@echo off' "echo %* >> \"$dir\\bat\\calls.txt\"" \
    "start \"\" /b \"$dir\\lib\\velkor_test_server.exe\" \"$root\\.\"" \
    ':wait' "if exist \"$root\\locks\\server.ready\" goto done" 'ping -n 1 127.0.0.1 >nul' \
    'goto wait' ':done' 'exit /b 0' >"$unix/bat/start-ds.bat"
  printf '%s' "$unix"
}

wine_run() {
  RUN_OUT_RAW_FILE=$(mktemp "$VELKOR_RUN_DIR/run.XXXXXX") RUN_CMD=("$@") RUN_LOG= RUN_TRACE=
  case $1 in [A-Za-z]:*'\lib\velkor_service.exe')
    RUN_LOG=$(wine_unix_path "${1%\\lib\\velkor_service.exe}")/logs/native-windows.out ;; esac
  local started rc=0
  started=$(grep -cs 'main called\.' "$RUN_LOG" || true)
  WINEDEBUG=-all,err+all,$VELKOR_WINE_TRACE wine "$@" >"$RUN_OUT_RAW_FILE" 2>"$RUN_OUT_RAW_FILE.all" || rc=$?
  RUN_RC=$rc
  # stderr without the trace ("<tid>:<class>:<channel>:..."), which is kept apart.
  grep -v "$VELKOR_TRACE_RE" "$RUN_OUT_RAW_FILE.all" >"$RUN_OUT_RAW_FILE.err" || true
  # Wine ended our program before its main: never run again (that would hide an
  # early exit of the program itself); the test fails and shows the run's trace.
  if [ "$rc" = 1 ] && [ ! -s "$RUN_OUT_RAW_FILE" ] && [ -d "${RUN_LOG%/*}" ] &&
    [ "$(grep -cs 'main called\.' "$RUN_LOG" || true)" = "$started" ]; then
    RUN_TRACE=$RUN_OUT_RAW_FILE.trace
    grep "$VELKOR_TRACE_RE" "$RUN_OUT_RAW_FILE.all" | cut -c1-300 >"$RUN_TRACE" || true
    CHECKS=$((CHECKS + 1)) FAILURES=$((FAILURES + 1))
    {
      echo "FAILED: Wine ended $1 with exit 1 before its main ran (no output, no new" \
        "\"main called.\" in its log)"
      last_run_context
    } >&"$VELKOR_REPORT_FD"
  fi
  rm -f "$RUN_OUT_RAW_FILE.all"
  RUN_OUT=$(cat "$RUN_OUT_RAW_FILE")
}

# A failed check shows the last wine_run: command, exit code, stderr (where Wine reports what
# it could not run) and, for an installation's lib\velkor_service.exe, the end of its log.
last_run_context() {
  echo "  last run: $(printf '%q ' "${RUN_CMD[@]}")(exit $RUN_RC)"
  sed 's/^/  stderr | /' "$RUN_OUT_RAW_FILE.err" | tail -n 20
  [ ! -s "$RUN_LOG" ] || tr -d '\r' <"$RUN_LOG" | tail -n 15 | sed 's/^/  log | /'
  [ -z "${RUN_TRACE:-}" ] || trace_excerpt "$RUN_TRACE"
}
# trace_excerpt FILE: a Wine trace, its first and last VELKOR_TRACE_LINES lines.
trace_excerpt() {
  local total
  total=$(wc -l <"$1")
  echo "  Wine trace ($VELKOR_WINE_TRACE): $total lines"
  awk -v n="$VELKOR_TRACE_LINES" -v total="$total" '
    NR <= n || NR > total - n { print "  trace | " $0 } NR == n + 1 && total > 2 * n { print "  trace | ..." }' "$1"
}
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }

wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

wine_gone_now() { wine_run "$tools/scm_query.exe" "$1"; [ "$(text)" = error=1060 ]; }
wine_wait_gone() { wait_until "$(wine_secs 30)" wine_gone_now "$1"; }
expect_gone() {
  wine_wait_gone "$2" || true
  expect_eq "$1" "$(text)" error=1060
}

wine_log() {
  tr -d '\r' <"$1/logs/native-windows.out" 2>/dev/null | sed -E 's/^[0-9\/]+ [0-9:]+: \(pid=[0-9]+\)  //'
}

expect_eq() {
  CHECKS=$((CHECKS + 1))
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    FAILURES=$((FAILURES + 1))
    echo "FAILED: $1"
    echo "   got: $(printf '%q' "$2")"
    echo "  want: $(printf '%q' "$3")"
    [ -z "${RUN_CMD+set}" ] || last_run_context
  fi
}

finish() {
  echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
  [ "$FAILURES" -eq 0 ]
}

#!/usr/bin/env bash
# The native program on the stand-in and the Windows program under Wine tell
# the same story: the same scenarios, driven the same way with the same
# fixtures, leave the same debug log line for line once times, pids and paths
# are replaced. A difference fails unless it is one of the known platform
# differences listed below, each with its reason.
#
# Scenarios: create, state and remove; isrunning with the lock file missing,
# held and free; a start to RUNNING and a stop; a server dying outside the
# SCM; a start script that fails; remove of a running service; an
# installation named with a trailing separator; and a start and a stop of an
# installation at the root of a mapped drive (D:, a symlink in the prefix's
# dosdevices under Wine, VELKOR_STANDIN_DRIVE_D natively).
#
# Needs VELKOR_NATIVE_BUILD, the native build directory (its velkor_service
# and tests/fixtures), besides the Windows build.
set -eu
. "$(dirname "$0")/lib.sh"
: "${VELKOR_NATIVE_BUILD:?the native build directory}"
work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-compare-XXXXXX")
# VELKOR_COMPARE_KEEP=1 keeps the two sets of logs for a look.
native_cleanup() {
  if [ -n "${VELKOR_COMPARE_KEEP:-}" ]; then echo "logs kept in $work"; else rm -rf "$work"; fi
}
trap 'native_cleanup; wine_teardown' EXIT
name=VelkorCompare
# The service's timings, alike on both sides (the stand-in at full time). The
# refresh period is long enough that no supervision pass falls between the
# report of RUNNING and the scenario's next step.
refresh=10 script_wait=2000 tries=2

# ---- Known platform differences ---------------------------------------------
# Each is a sed expression applied to both logs before they are compared, with
# the reason it is a difference of the platform and not of the program.
known=(
  # The program file is velkor_service.exe under Wine; a Linux executable has
  # no extension, so natively it is velkor_service.
  's/<DIR>\\?lib\\velkor_service(\.exe)?/<PROGRAM>/g'
  # argv[0] is the caller's spelling of the program: Wine's loader hands the
  # Windows path, a Linux shell or the stand-in's process start the POSIX path.
  "s/^  argv\\[0\\] = '.*'\$/  argv[0] = '<PROGRAM>'/"
  # A handle printed with %p: the Windows C runtime writes 16 zero-padded hex
  # digits, the GNU one 0x and no padding (the values differ anyway).
  's/=(0x)?[0-9a-fA-F]{8,16}\./=<HANDLE>./'
  # The installation's drive: natively Z:, the Linux root, under Wine C:. And
  # a drive's DOS device: the stand-in answers a volume, as Windows does for a
  # local disk; Wine fails (2) for a drive that is a link to a Unix folder.
  's/^createService: drive [A-Z]:\\ has type/createService: drive <DRIVE> has type/'
  's/^createService: (drive [A-Z]: is .*|QueryDosDevice\([A-Z]:\) failed\. Last error = 2)$/createService: <DOS DEVICE>/'
)
# ---- One platform's driver ---------------------------------------------------
# Set by setup_native / setup_wine:
#   inst      Unix path of the installation
#   dir       its Windows path as the program gets it
#   root_inst Unix path of the installation at the root of drive D:
#   prog      run the program:        prog ARGS...  (sets RC, OUT)
#   sc        run the SCM driver:     sc ARGS...    (sets RC, OUT)
#   server    start the test server in the background
#   script_ok / script_fail  write the start script (starts the server / fails);
#             the server gets "<dir>\." so that a root's backslash does not
#             meet the closing quote

setup_native() {
  local nb=$VELKOR_NATIVE_BUILD
  fixtures=$VELKOR_NATIVE_BUILD/tests/fixtures
  inst=$work/native/install
  mkdir -p "$inst/lib" "$inst/logs" "$inst/bat" "$work/native/machine" "$work/native/tmp"
  cp "$nb/velkor_service" "$inst/lib/velkor_service"
  cp "$fixtures/winlauncher" "$inst/lib/winlauncher.exe"
  dir="Z:${inst//\//\\}"
  root_inst=$work/native/drive_d
  mkdir -p "$root_inst/lib" "$root_inst/logs" "$root_inst/bat"
  cp "$nb/velkor_service" "$root_inst/lib/velkor_service"
  cp "$fixtures/winlauncher" "$root_inst/lib/winlauncher.exe"
  export VELKOR_STANDIN_DRIVE_D=$root_inst
  export VELKOR_STANDIN_ROOT=$work/native/machine TMPDIR=$work/native/tmp
  export VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD=$refresh
  export VELKOR_WINDOWS_SERVICE_STARTDS_WAIT=$script_wait
  export VELKOR_WINDOWS_SERVICE_START_NTRIES=$tries
  export ASAN_OPTIONS=detect_leaks=0 VELKOR_STANDIN_TIME_SCALE=1
  prog() { capture "$inst/lib/velkor_service" "$@"; }
  sc() { capture "$fixtures/velkor_sc" "$@"; }
  server() { ("$fixtures/velkor_test_server" "$dir" >/dev/null 2>&1 &); }
  script_ok() {
    printf '%s\n' '#!/bin/sh' "\"$fixtures/velkor_test_server\" \"${dir%\\}\\.\" >/dev/null 2>&1 &" \
      "for i in \$(seq 400); do [ -f \"$inst/locks/server.ready\" ] && exit 0; sleep 0.025; done" \
      'exit 1' >"$inst/bat/start-ds.bat"
    chmod +x "$inst/bat/start-ds.bat"
  }
  script_fail() {
    printf '%s\n' '#!/bin/sh' 'exit 1' >"$inst/bat/start-ds.bat"
    chmod +x "$inst/bat/start-ds.bat"
  }
}

setup_wine() {
  fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
  wine_setup
  wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD $refresh
  wine_set_system_env VELKOR_WINDOWS_SERVICE_STARTDS_WAIT $script_wait
  wine_set_system_env VELKOR_WINDOWS_SERVICE_START_NTRIES $tries
  wine_keep_up
  mkdir -p "$WINEPREFIX/drive_d"
  ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"
  local d
  for d in 'C:\velkor' 'D:\'; do
    inst=$(wine_install "$d")
    mkdir -p "$inst/bat"
    cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
  done
  root_inst=$inst
  dir='C:\velkor'
  inst=$(wine_unix_path "$dir")
  # ${dir%\\} joins a root (D:\) and a name with one backslash.
  prog() { wine_run "${dir%\\}\\lib\\velkor_service.exe" "$@"; OUT=$(text) RC=$RUN_RC; }
  sc() { capture wine "${dir%\\}\\lib\\velkor_sc.exe" "$@"; }
  server() { (wine "${dir%\\}\\lib\\velkor_test_server.exe" "$dir" >/dev/null 2>&1 &); }
  script_ok() {
    printf '%s\r\n' '@echo off' "start \"\" /b \"${dir%\\}\\lib\\velkor_test_server.exe\" \"${dir%\\}\\.\"" \
      ':wait' "if exist \"${dir%\\}\\locks\\server.ready\" goto done" 'ping -n 1 127.0.0.1 >nul' \
      'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
  }
  script_fail() { printf '%s\r\n' '@echo off' 'exit /b 1' >"$inst/bat/start-ds.bat"; }
}

capture() {
  set +e
  OUT=$("$@" 2>/dev/null | tr -d '\r')
  RC=${PIPESTATUS[0]}
  set -e
}

log_file() { printf '%s' "$inst/logs/native-windows.out"; }
# Waits until the log holds `count` lines "main returning" (the service
# process and every command have ended).
wait_for_ends() {
  local count=$1
  for _ in $(seq 600); do
    [ "$(tr -d '\r' <"$(log_file)" 2>/dev/null | grep -c 'main returning')" -ge "$count" ] && return 0
    sleep 0.1
  done
  echo "  (timed out waiting for $count ends)"
}
wait_for_file() {
  wait_until 15 test -f "$1" || true
}
wait_for_no_file() {
  wait_until 15 test ! -f "$1" || true
}

# Runs one scenario and keeps its normalised log as $out/<scenario>.
scenario() {
  local scenario=$1
  if [ "$scenario" = drive_root ]; then
    local dir='D:\' inst=$root_inst # seen by every function called from here
  fi
  : >"$(log_file)"
  "scenario_$scenario"
  normalise <"$(log_file)" >"$out/$scenario"
  # The next scenario registers the name again once the SCM has dropped it.
  if [ -n "${WINEPREFIX:-}" ]; then wine_wait_gone $name || true; fi
  rm -rf "$inst/locks"
}

# Each process's lines in the order they were written (a process is a pid
# from its banner on), the processes in the order of their first line (processes that run at once, such as remove and
# the service it stops, interleave by chance); times dropped, paths replaced.
normalise() {
  local expression=(-e "s/$(sed_escape "$dir")/<DIR>/g" -e 's/^(The PID of the spawned process is) [0-9]+/\1 <PID>/') k
  for k in "${known[@]}"; do expression+=(-e "$k"); done
  tr -d '\r' | awk '
    match($0, /^[0-9\/]+ [0-9:]+: \(pid=[0-9]+\)  /) {
      prefix = substr($0, 1, RLENGTH); text = substr($0, RLENGTH + 1)
      sub(/^.*\(pid=/, "", prefix); sub(/\).*$/, "", prefix)
      # A process begins with the banner: under Wine a process id comes
      # back soon after its process ended.
      if (!(prefix in order) || index(text, "--------------- FIRST LOG MESSAGE") == 1) {
        order[prefix] = ++count; lines[count] = ""
      }
      lines[order[prefix]] = lines[order[prefix]] text "\n"
      next
    }
    { lines[count] = lines[count] $0 "\n" }
    END { for (i = 1; i <= count; i++) printf "--- process %d\n%s", i, lines[i] }' |
    awk '
    # The control handler returns on the dispatcher'"'"'s thread while the stop
    # thread it has just made starts its sequence: where its last line falls
    # among the stop thread'"'"'s first lines is up to the scheduler, on both
    # platforms. It is put right after the handler'"'"'s stop-pending report.
    /^--- process / { moved = 0 }
    moved && $0 == "serviceHandler returning." { moved = 0; next }
    { print }
    /^Updating the service status\.  statusToSet=3 .* checkPoint=1 waitHint=30000$/ {
      print "serviceHandler returning."; moved = 1
    }' | sed -E "${expression[@]}"
}
sed_escape() { printf '%s' "$1" | sed -e 's/[]\/$*.^[]/\\&/g'; }

start_to_running() {
  sc start $name
  sc wait $name 4 60000
}

scenario_registration() {
  prog create "$dir" $name 'Velkor compared'
  prog state "$dir"
  prog remove "$dir"
  prog state "$dir"
}
scenario_isrunning() {
  prog isrunning "$dir" # no lock file yet
  server
  wait_for_file "$inst/locks/server.ready"
  prog isrunning "$dir"
  : >"$inst/locks/server.stop"
  wait_for_no_file "$inst/locks/server.ready"
  prog isrunning "$dir"
}
scenario_start_stop() {
  script_ok
  prog create "$dir" $name 'Velkor compared'
  start_to_running
  sc control $name 1
  sc wait $name 1 60000
  wait_for_ends 2
  prog remove "$dir"
}
scenario_server_dies() {
  script_ok
  prog create "$dir" $name 'Velkor compared'
  start_to_running
  : >"$inst/locks/server.die"
  sc wait $name 1 60000
  wait_for_ends 2
  prog remove "$dir"
}
scenario_script_fails() {
  script_fail
  prog create "$dir" $name 'Velkor compared'
  sc start $name
  sc wait $name 1 60000
  wait_for_ends 2
  prog remove "$dir"
}
scenario_remove_running() {
  script_ok
  prog create "$dir" $name 'Velkor compared'
  start_to_running
  prog remove "$dir"
  wait_for_ends 3
  rm -f "$inst/locks/server.stop"
}
scenario_drive_root() { scenario_start_stop; }
scenario_trailing_separator() {
  prog create "$dir\\" $name 'Velkor compared'
  prog state "$dir"
  prog remove "$dir\\"
}

scenarios=(registration isrunning start_stop server_dies script_fails remove_running trailing_separator
           drive_root)
run_all() {
  local s
  for s in "${scenarios[@]}"; do scenario "$s"; done
}

out=$work/native.out
mkdir -p "$out"
(setup_native && run_all)
out=$work/wine.out
mkdir -p "$out"
setup_wine
trap 'native_cleanup; wine_teardown' EXIT # wine_setup set its own
run_all

# Each scenario's log must show that it did what it is there for, so that two
# runs failing alike do not pass as agreeing.
declare -A landmark=(
  [registration]="Service successfully removed."
  [isrunning]="Unable to lock '<DIR>\\locks\\server.lock', so the server is running."
  [start_stop]="doStopApplication: server stopped."
  [server_dies]="Updating the service status.  statusToSet=1 win32ExitCode=1066 serviceExitCode=-1 checkPoint=0 waitHint=0"
  [script_fails]="doStartApplication: exit code of script: 1"
  [remove_running]="doStopApplication: server stopped."
  [trailing_separator]="The service name was found to be 'VelkorCompare'."
  [drive_root]="doStartApplication: Launching batch file: \"<DIR>bat\\start-ds.bat\" --windowsNetStart"
)
for s in "${scenarios[@]}"; do
  expect_eq "$s: the run shows ${landmark[$s]}" "$(grep -cxF "${landmark[$s]}" "$work/native.out/$s" | sed 's/^[1-9][0-9]*$/yes/')" yes
  if diff -u "$work/wine.out/$s" "$work/native.out/$s" >"$work/$s.diff"; then
    expect_eq "$s: the two logs agree ($(wc -l <"$work/native.out/$s") lines)" same same
  else
    expect_eq "$s: the two logs agree" "$(cat "$work/$s.diff")" ""
  fi
done
echo "known platform differences, replaced on both sides before comparing:"
printf '  %s\n' "${known[@]}"
finish

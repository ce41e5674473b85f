#!/usr/bin/env bash
# The main job. Builds the Windows program and, in a throwaway Wine prefix,
# registers a demo installation as a service, starts it through the SCM,
# shows it running, stops it and removes it. Every step prints the command,
# what it printed and its exit code; the demo exits 0 only when every step
# gave the expected result, and leaves nothing running and nothing behind.
#
# The demo installation uses our test fixtures in place of the directory
# server: a small server that holds the lock file while it runs, and a stop
# launcher that asks it to let go.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s)
bash "$top/scripts/install-deps.sh"
echo "Building the Windows program (x86 and x86_64) ..."
bash "$top/scripts/build.sh" windows >/dev/null
export VELKOR_WINDOWS_EXE=$top/build/windows-x86_64/velkor_service.exe
. "$top/tests/wine/lib.sh"
set -e
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
wintools=$VELKOR_WINDOWS_BIN/tests/wintools

echo "Creating a throwaway Wine prefix ..."
wine_setup
# A service takes its environment from the system environment in the
# registry: a short refresh period makes the first running check come sooner.
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 2
# One boot of the prefix for the whole demo: every boot starts auto-start services.
wine_keep_up

# The demo installation: C:\Velkor, with its instance root elsewhere.
inst=$(wine_install 'C:\Velkor')
root=$(wine_unix_path 'C:\VelkorData\instance1')
mkdir -p "$inst/bat" "$root"
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$inst/lib/"
cp "$fixtures/velkor_sc.exe" "$wintools/scm_query.exe" "$WINEPREFIX/drive_c/"
printf '%s\r\n' 'C:\VelkorData\instance1' >"$inst/instance.loc"
# The start script starts the server in the background and returns once it
# holds its lock, as the real server's script does.
printf '%s\r\n' '@echo off' \
  'start "" /b C:\Velkor\lib\velkor_test_server.exe C:\VelkorData\instance1' \
  ':wait' 'if exist C:\VelkorData\instance1\locks\server.ready goto done' \
  'ping -n 1 127.0.0.1 >nul' 'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"

exe='C:\Velkor\lib\velkor_service.exe'
failures=0
show() { printf '%s\n' "$1" | tr -d '\r' | sed 's/^/    | /'; }
# step EXPECTED_RC COMMAND...: runs a command in the prefix and checks its exit code.
step() {
  local want=$1; shift
  echo
  echo "> $*"
  wine_run "$@"
  [ -n "$RUN_OUT" ] && show "$RUN_OUT"
  if [ "$RUN_RC" = "$want" ]; then
    echo "    exit code $RUN_RC"
  else
    echo "    exit code $RUN_RC, expected $want  <-- UNEXPECTED"
    failures=$((failures + 1))
  fi
}
expect_output() {
  if [ "$(printf '%s' "$RUN_OUT" | tr -d '\r')" != "$1" ]; then
    echo "    output differs from the expected '$1'  <-- UNEXPECTED"
    failures=$((failures + 1))
  fi
}
# watch STATE: polls the SCM and prints each status change until STATE shows.
watch() {
  local want=$1 last="" now deadline=$((SECONDS + 90))
  while [ $SECONDS -lt $deadline ]; do
    wine_run 'C:\velkor_sc.exe' query Velkor
    now=$(printf '%s' "$RUN_OUT" | tr -d '\r')
    if [ "$now" != "$last" ]; then
      echo "    $now"
      last=$now
    fi
    case $now in "state=$want "*) return 0 ;; esac
    sleep 0.2
  done
  echo "    state $want not reached  <-- UNEXPECTED"
  failures=$((failures + 1))
}

echo
echo "Installation C:\\Velkor (instance root C:\\VelkorData\\instance1 from instance.loc):"
(cd "$inst" && find . -type f | sort | sed 's/^\.\//    /')

step 0 "$exe" create 'C:\Velkor' Velkor 'Velkor directory server (demo)'
step 0 "$exe" state 'C:\Velkor'
expect_output Velkor
echo "    (the name is printed with no line end)"

echo
echo "The service as the SCM holds it:"
step 0 'C:\scm_query.exe' Velkor
echo
echo "The event-log source key:"
step 0 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velkor'

echo
echo "> sc start Velkor   (then the status as it changes: start-pending check points, then running)"
wine sc start Velkor >/dev/null 2>&1 || true
watch 4
step 0 "$exe" isrunning 'C:\Velkor'
expect_output true

echo
echo "> sc stop Velkor   (stop-pending while the stop launcher works, then stopped)"
wine sc stop Velkor >/dev/null 2>&1 || true
watch 1
# The service process ends right after its stopped report.
for _ in $(seq 100); do
  [ "$(wine_log "$inst" | tail -1)" = "main returning 0." ] && break
  sleep 0.1
done
step 1 "$exe" isrunning 'C:\Velkor'
expect_output false

step 0 "$exe" remove 'C:\Velkor'
# The SCM drops a deleted service once its process has ended and its handles are closed.
wine_wait_gone Velkor || { echo "    the SCM still lists Velkor  <-- UNEXPECTED"; failures=$((failures + 1)); }
step 1 "$exe" state 'C:\Velkor'
expect_output ""
step 1 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velkor'

echo
echo "Debug log C:\\Velkor\\logs\\native-windows.out, the service process's main lines:"
wine_log "$inst" | grep -E '^(--------------- FIRST LOG MESSAGE|main called|  argv\[1\]|main returning|startService|serviceMain|Registering|Refresh period|doStartApplication: (Launching|server)|Updating the service status|serviceHandler: stop|doStopApplication: (launching|server)|Faking|Deregistering|Service successfully|removeService returning|Instance root resolved)' |
  sed 's/^/    /'

# Processes of this prefix only (other Wine prefixes may be running too).
leftover=""
for pid in $(pgrep -f 'velkor_test_server.exe|velkor_service.exe|winlauncher.exe' || true); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && leftover="$leftover $pid"
done
if [ -n "$leftover" ]; then
  echo "A server or service process is still running  <-- UNEXPECTED"
  failures=$((failures + 1))
fi
echo
echo "Took $(($(date +%s) - started)) s. Tearing the prefix down."
if [ $failures -eq 0 ]; then
  echo "Demo complete: every step gave the expected result."
else
  echo "Demo FAILED: $failures step(s) gave an unexpected result."
  exit 1
fi

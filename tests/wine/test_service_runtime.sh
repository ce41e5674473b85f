#!/usr/bin/env bash
# Under Wine, with the x86_64 exe, the stand-in directory server and the stop
# launcher: the SCM runs `start` as a service that starts the server through
# bat\start-ds.bat, reports RUNNING, and stops the server through the
# launcher; a server that dies outside the SCM stops the service with 1066 and
# -1; a start script that fails leaves it stopped; a server that already runs
# is adopted without the script; `start` from a console is refused.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
# Services take their environment from the registry; set before the service exists.
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
sc='C:\velkor\lib\velkor_sc.exe'
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
mkdir -p "$inst/bat" "$inst/locks"

# The start script: starts the server in the background and waits until it
# holds its lock, as the server's own script does; or fails with `exit /b 3`.
write_script() {
  if [ "$1" = fail ]; then
    printf '@echo off\r\necho %%* >> C:\\velkor\\bat\\calls.txt\r\nexit /b 3\r\n' >"$inst/bat/start-ds.bat"
  else
    printf '%s\r\n' '@echo off' 'echo %* >> C:\velkor\bat\calls.txt' \
      'start "" /b C:\velkor\lib\velkor_test_server.exe C:\velkor' \
      ':wait' 'if exist C:\velkor\locks\server.ready goto done' 'ping -n 1 127.0.0.1 >nul' \
      'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
  fi
}
calls() { tr -d '\r ' <"$inst/bat/calls.txt" 2>/dev/null || true; }
state() { wine_run "$sc" wait VelkorTest "$1" 60000; printf '%s' "$RUN_OUT" | tr -d '\r'; }
isrunning() { wine_run "$exe" isrunning 'C:\velkor'; printf '%s' "$RUN_OUT" | tr -d '\r'; }

write_script ok
wine_run "$exe" create 'C:\velkor' VelkorTest 'Velkor under test'
expect_eq "create" "$RUN_RC" 0
# Demand start: a restarted prefix must not start it behind the test's back.
wine reg add 'HKLM\System\CurrentControlSet\Services\VelkorTest' /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1

# From a console the dispatcher refuses.
wine_run "$exe" start 'C:\velkor'
expect_eq "start from a console exits 1" "$RUN_RC" 1
expect_eq "start from a console prints nothing" "$RUN_OUT" ""
expect_eq "the refusal is logged" "$(wine_log "$inst" | grep -c 'ERROR:  startService: For instance dir .C:\\velkor., startService: StartServiceCtrlDispatcher did not work: ERROR_FAILED_SERVICE_CONTROLLER_CONNECT\.$')" 1

# sc start: the script starts the server, the service runs.
wine sc start VelkorTest >/dev/null 2>&1
expect_eq "running after sc start" "$(state 4)" "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
expect_eq "the server holds its lock" "$(isrunning)" "true"
expect_eq "the script got --windowsNetStart" "$(calls)" "--windowsNetStart"
expect_eq "the refresh period came from the registry" "$(wine_log "$inst" | grep -c '^Refresh period in seconds is 1\.$')" 1

# sc stop: the launcher stops the server, the service stops.
wine sc stop VelkorTest >/dev/null 2>&1
expect_eq "stopped after sc stop" "$(state 1)" "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
for _ in $(seq 50); do [ "$(wine_log "$inst" | tail -1)" = "main returning 0." ] && break; sleep 0.1; done
expect_eq "the service process has ended" "$(wine_log "$inst" | tail -2)" "Deregistering the Event Log.
main returning 0."
expect_eq "the server has let go" "$(isrunning)" "false"
expect_eq "the launcher got the root" "$(tr -d '\r' <"$inst/lib/winlauncher.calls")" '[stop] [C:\velkor\.]'

# A server killed outside the SCM stops the service with 1066 and -1.
wine sc start VelkorTest >/dev/null 2>&1
expect_eq "running again" "$(state 4)" "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
: >"$inst/locks/server.die"
expect_eq "stopped outside the SCM" "$(state 1)" "state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261"
expect_eq "logged as an error stop" "$(wine_log "$inst" | grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$')" 1
rm -f "$inst/locks/server.die"

# A server that already runs is adopted: no script, running with check point 2.
: >"$inst/bat/calls.txt"
rm -f "$inst/locks/server.ready"
wine 'C:\velkor\lib\velkor_test_server.exe' 'C:\velkor' >/dev/null 2>&1 &
server=$!
for _ in $(seq 100); do [ -f "$inst/locks/server.ready" ] && break; sleep 0.1; done
wine sc start VelkorTest >/dev/null 2>&1
expect_eq "adopted server" "$(state 4)" "state=4 win32=0 specific=0 checkpoint=2 hint=0 accepted=261"
expect_eq "the script did not run" "$(calls)" ""
wine sc stop VelkorTest >/dev/null 2>&1
expect_eq "adopted server stopped" "$(state 1)" "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
wait "$server" || true

# A start script that fails leaves the service stopped.
write_script fail
wine sc start VelkorTest >/dev/null 2>&1
expect_eq "failed start" "$(state 1)" "state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261"
expect_eq "no server" "$(isrunning)" "false"
expect_eq "the failing script ran" "$(calls)" "--windowsNetStart"

wine_run "$exe" remove 'C:\velkor'
finish

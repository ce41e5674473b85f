#!/usr/bin/env bash
# Under Wine, remove of a running service: the stop request runs the
# service's own stop sequence (the launcher stops the server), then the
# service and its event-log source are deleted, and remove exits 0.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
sc='C:\velkor\lib\velkor_sc.exe'
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
tools=$VELKOR_WINDOWS_BIN/tests/wintools
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
mkdir -p "$inst/bat" "$inst/locks"
printf '%s\r\n' '@echo off' 'start "" /b C:\velkor\lib\velkor_test_server.exe C:\velkor' \
  ':wait' 'if exist C:\velkor\locks\server.ready goto done' 'ping -n 1 127.0.0.1 >nul' \
  'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }
key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VelkorTest'

wine_run "$exe" create 'C:\velkor' VelkorTest 'Velkor under test'
expect_eq "create" "$RUN_RC" 0
wine sc start VelkorTest >/dev/null 2>&1 || true
wine_run "$sc" wait VelkorTest 4 60000
expect_eq "running" "$(text)" "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
wine reg query "$key" >/dev/null 2>&1 && there=yes || there=no
expect_eq "the event-log key exists" "$there" yes

wine_run "$exe" remove 'C:\velkor'
expect_eq "remove of the running service: exit code" "$RUN_RC" 0
expect_eq "remove: output" "$RUN_OUT" ""
expect_eq "the stop launcher ran" "$(tr -d '\r' <"$inst/lib/winlauncher.calls" 2>/dev/null)" '[stop] [C:\velkor\.]'
for _ in $(seq 50); do [ -f "$inst/locks/server.ready" ] || break; sleep 0.1; done
expect_eq "the server has ended" "$([ -f "$inst/locks/server.ready" ] && echo running || echo gone)" gone
wine_run "$exe" isrunning 'C:\velkor'
expect_eq "the lock is free" "$(text)" "false"
wine_run "$tools/scm_query.exe" VelkorTest
expect_eq "the service is deleted" "$(text)" "error=1060"
wine reg query "$key" >/dev/null 2>&1 && there=yes || there=no
expect_eq "the event-log key is gone" "$there" no

log=$(wine_log "$inst")
# The service's own stop sequence ran and ended cleanly before the delete.
expect_eq "the service took the stop control" "$(grep -c '^serviceHandler called with controlCode=1\.$' <<<"$log")" 1
expect_eq "its stop sequence saw the server stop" "$(grep -c '^doStopApplication: server stopped\.$' <<<"$log")" 1
expect_eq "remove waited for the stop and deleted" \
  "$(grep -E "^(Attempting to stop the service 'VelkorTest'\.|doStopApplication: server stopped\.|Deleting the service 'VelkorTest'\.|Service successfully removed\.)$" <<<"$log")" \
  "Attempting to stop the service 'VelkorTest'.
doStopApplication: server stopped.
Deleting the service 'VelkorTest'.
Service successfully removed."
finish

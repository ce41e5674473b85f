#!/usr/bin/env bash
# Under Wine 8.0 a running service never sees a system shutdown: neither
# `wineboot --shutdown` nor `wineboot --end-session` sends it
# SERVICE_CONTROL_PRESHUTDOWN or SERVICE_CONTROL_SHUTDOWN, although the
# service accepts both (accepted=261: stop, shutdown, preshutdown); nor do
# `wineboot -r`, `wineboot --kill` or `wineserver -k` (the last two kill every
# process outright). ControlService refuses the shutdown code from a program
# with ERROR_INVALID_PARAMETER as Windows does, and the preshutdown code the
# same way (measured: `velkor_sc control <name> 15` prints "error 87"). The
# shutdown and preshutdown
# paths are covered by the native tests. This test pins down what Wine does
# instead: the service and its server run on through both commands and stop
# normally afterwards. Should a later Wine deliver either control, these
# checks fail; then test here instead that the stop launcher runs and the
# server ends.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
sc='C:\velkor\lib\velkor_sc.exe'
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
mkdir -p "$inst/bat" "$inst/locks"
printf '%s\r\n' '@echo off' 'start "" /b C:\velkor\lib\velkor_test_server.exe C:\velkor' \
  ':wait' 'if exist C:\velkor\locks\server.ready goto done' 'ping -n 1 127.0.0.1 >nul' \
  'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }
running='state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261'

wine_run "$exe" create 'C:\velkor' VelkorTest 'Velkor under test'
expect_eq "create" "$RUN_RC" 0
wine sc start VelkorTest >/dev/null 2>&1 || true
wine_run "$sc" wait VelkorTest 4 60000
expect_eq "running" "$(text)" "$running"

wine_run "$sc" control VelkorTest 5
expect_eq "a program cannot send the shutdown control" "$(text)" "error 87"
wine_run "$sc" control VelkorTest 15
expect_eq "nor the preshutdown control" "$(text)" "error 87"

for how in --shutdown --end-session; do
  wineboot "$how" >/dev/null 2>&1 || true
  # Long enough for a whole supervision pass and a stop sequence's first probe.
  sleep 6
  wine_run "$sc" query VelkorTest
  expect_eq "wineboot $how: the service still runs" "$(text)" "$running"
  wine_run "$exe" isrunning 'C:\velkor'
  expect_eq "wineboot $how: the server still holds its lock" "$(text)" "true"
done
expect_eq "no control reached the service" "$(wine_log "$inst" | grep -c '^serviceHandler called with controlCode=')" 0
expect_eq "the stop launcher did not run" "$([ -e "$inst/lib/winlauncher.calls" ] && echo ran || echo no)" no

wine sc stop VelkorTest >/dev/null 2>&1 || true
wine_run "$sc" wait VelkorTest 1 60000
expect_eq "sc stop afterwards stops it" "$(text)" "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
expect_eq "through the stop launcher" "$(tr -d '\r' <"$inst/lib/winlauncher.calls" 2>/dev/null)" '[stop] [C:\velkor\.]'
wine_run "$exe" isrunning 'C:\velkor'
expect_eq "the server has let go" "$(text)" "false"
wine_run "$exe" remove 'C:\velkor'
expect_eq "remove" "$RUN_RC" 0
finish

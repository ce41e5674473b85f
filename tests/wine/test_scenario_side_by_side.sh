#!/usr/bin/env bash
# Under Wine, two installations side by side, both created with the service
# name Velkor: the second becomes Velkor-2. Each service starts its own
# server, is stopped through its own launcher and notices only its own
# server's death; stopping or losing one leaves the other running.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
tools=$VELKOR_WINDOWS_BIN/tests/wintools
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }

# Lays out installation N at C:\velkorN with its own launcher, server and
# start script (it records its call, starts the server, waits for the lock).
install() {
  local dir="C:\\velkor$1" unix
  unix=$(wine_install "$dir")
  cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$unix/lib/"
  mkdir -p "$unix/bat" "$unix/locks"
  printf '%s\r\n' '@echo off' "echo %* >> $dir\\bat\\calls.txt" \
    "start \"\" /b $dir\\lib\\velkor_test_server.exe $dir" \
    ':wait' "if exist $dir\\locks\\server.ready goto done" 'ping -n 1 127.0.0.1 >nul' \
    'goto wait' ':done' 'exit /b 0' >"$unix/bat/start-ds.bat"
}
install 1
install 2
inst1=$(wine_unix_path 'C:\velkor1')
inst2=$(wine_unix_path 'C:\velkor2')
sc='C:\velkor1\lib\velkor_sc.exe'
state() { wine_run "$sc" wait "$1" "$2" 60000; text; }
query() { wine_run "$sc" query "$1"; text; }
isrunning() { wine_run "C:\\velkor$1\\lib\\velkor_service.exe" isrunning "C:\\velkor$1"; text; }
running='state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261'
stopped='state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261'
died='state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261'

for n in 1 2; do
  wine_run "C:\\velkor$n\\lib\\velkor_service.exe" create "C:\\velkor$n" Velkor "Velkor $n"
  expect_eq "create $n" "$RUN_RC" 0
done
wine_run 'C:\velkor2\lib\velkor_service.exe' state 'C:\velkor2'
expect_eq "the second service got the suffix -2" "$(text)" "Velkor-2"
wine_run "$tools/scm_query.exe" Velkor-2
expect_eq "Velkor-2 runs the second installation" "$(text | grep '^binary=')" \
  'binary="C:\velkor2\lib\velkor_service.exe" start "C:\velkor2"'

wine sc start Velkor >/dev/null 2>&1 || true
expect_eq "Velkor running" "$(state Velkor 4)" "$running"
expect_eq "only the first server runs" "$(isrunning 1)/$(isrunning 2)" \
  "true/Could not determine if the server is running."
expect_eq "Velkor-2 never started" "$(query Velkor-2)" "state=1 win32=1077 specific=0 checkpoint=0 hint=0 accepted=0"
wine sc start Velkor-2 >/dev/null 2>&1 || true
expect_eq "Velkor-2 running" "$(state Velkor-2 4)" "$running"
expect_eq "both servers run" "$(isrunning 1) $(isrunning 2)" "true true"
expect_eq "each script ran once" "$(tr -d '\r ' <"$inst1/bat/calls.txt") $(tr -d '\r ' <"$inst2/bat/calls.txt")" \
  "--windowsNetStart --windowsNetStart"

# Stopping the first goes through its own launcher only.
wine sc stop Velkor >/dev/null 2>&1 || true
expect_eq "Velkor stopped" "$(state Velkor 1)" "$stopped"
expect_eq "the first launcher got its root" "$(tr -d '\r' <"$inst1/lib/winlauncher.calls" 2>/dev/null)" '[stop] [C:\velkor1\.]'
expect_eq "the second launcher was not called" "$([ -e "$inst2/lib/winlauncher.calls" ] && echo called || echo no)" no
expect_eq "the first server has ended, the second runs on" "$(isrunning 1) $(isrunning 2)" "false true"
# After a full supervision pass (5 s) of its own, the other is still running.
sleep 6
expect_eq "Velkor-2 still running" "$(query Velkor-2)" "$running"

# Killing one server stops only its service, with 1066 and -1.
wine sc start Velkor >/dev/null 2>&1 || true
expect_eq "Velkor running again" "$(state Velkor 4)" "$running"
: >"$inst2/locks/server.die"
expect_eq "Velkor-2 stopped outside the SCM" "$(state Velkor-2 1)" "$died"
expect_eq "Velkor unaffected" "$(query Velkor)" "$running"
expect_eq "the first server still runs" "$(isrunning 1) $(isrunning 2)" "true false"
expect_eq "only the second logged the stop outside the SCM" \
  "$(wine_log "$inst1" | grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$') $(wine_log "$inst2" | grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$')" "0 1"
rm -f "$inst2/locks/server.die"

wine sc stop Velkor >/dev/null 2>&1 || true
expect_eq "Velkor stopped again" "$(state Velkor 1)" "$stopped"
for n in 1 2; do
  wine_run "C:\\velkor$n\\lib\\velkor_service.exe" remove "C:\\velkor$n"
  expect_eq "remove $n" "$RUN_RC" 0
done
# The SCM drops a deleted service once its process has ended, which may be a
# moment after the stopped report (seconds under emulation).
for name in Velkor Velkor-2; do
  for _ in $(seq 30); do
    wine_run "$tools/scm_query.exe" "$name"
    [ "$(text)" = "error=1060" ] && break
    sleep 1
  done
  expect_eq "$name gone" "$(text)" "error=1060"
done
finish

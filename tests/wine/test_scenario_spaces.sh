#!/usr/bin/env bash
# Under Wine, an installation under C:\Program Files (x86) with a blank in its
# own name too, and an instance root (named by instance.loc) with blanks:
# create registers a command line that quotes both paths, the SCM starts the
# service through cmd.exe /c with the quoted script path (the parentheses
# make cmd.exe drop a single pair of quotes), the stop launcher is reached
# through its quoted path, and remove takes it all away again.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
dir='C:\Program Files (x86)\Velkor Server'
root='C:\Program Files\Velkor Data'
inst=$(wine_install "$dir")
rootu=$(wine_unix_path "$root")
exe="$dir\\lib\\velkor_service.exe"
sc="$dir\\lib\\velkor_sc.exe"
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
tools=$VELKOR_WINDOWS_BIN/tests/wintools
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
mkdir -p "$inst/bat" "$rootu/locks"
printf '%s\r\n' "$root" >"$inst/instance.loc"
# The start script records its arguments, starts the server in the background
# and waits until it holds its lock; every path in it is quoted.
printf '%s\r\n' '@echo off' "echo %* >> \"$dir\\bat\\calls.txt\"" \
  "start \"\" /b \"$dir\\lib\\velkor_test_server.exe\" \"$root\"" \
  ':wait' "if exist \"$root\\locks\\server.ready\" goto done" 'ping -n 1 127.0.0.1 >nul' \
  'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }
state() { wine_run "$sc" wait 'Velkor Server' "$1" 60000; text; }
isrunning() { wine_run "$exe" isrunning "$dir"; text; }

wine_run "$exe" create "$dir" 'Velkor Server' 'Velkor directory server'
expect_eq "create" "$RUN_RC" 0
wine_run "$tools/scm_query.exe" 'Velkor Server'
expect_eq "the registered command line quotes both paths" "$(text | grep '^binary=')" \
  "binary=\"$dir\\lib\\velkor_service.exe\" start \"$dir\""
key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velkor Server'
wine reg query "$key" >/dev/null 2>&1 && there=yes || there=no
expect_eq "the event-log source is registered under the name with its blank" "$there" yes
wine_run "$exe" state "$dir"
expect_eq "state: exit code" "$RUN_RC" 0
expect_eq "state: the name" "$(text)" "Velkor Server"
expect_eq "isrunning before the server ever ran (no lock file)" "$(isrunning)" \
  "Could not determine if the server is running."

wine sc start 'Velkor Server' >/dev/null 2>&1 || true
expect_eq "running after sc start" "$(state 4)" "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
expect_eq "the script ran with --windowsNetStart" "$(tr -d '\r ' <"$inst/bat/calls.txt" 2>/dev/null)" "--windowsNetStart"
expect_eq "the server holds its lock in the instance root" "$(isrunning)" "true"
expect_eq "the script was run through cmd.exe with its path quoted" \
  "$(wine_log "$inst" | grep -cxF "doStartApplication: Launching batch file: \"$dir\\bat\\start-ds.bat\" --windowsNetStart")" 1

wine sc stop 'Velkor Server' >/dev/null 2>&1 || true
expect_eq "stopped after sc stop" "$(state 1)" "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
expect_eq "the launcher got the quoted root" "$(tr -d '\r' <"$inst/lib/winlauncher.calls" 2>/dev/null)" "[stop] [$root\\.]"
for _ in $(seq 50); do [ -f "$rootu/locks/server.ready" ] || break; sleep 0.1; done
expect_eq "the server has ended" "$([ -f "$rootu/locks/server.ready" ] && echo running || echo gone)" gone
expect_eq "isrunning after stop" "$(isrunning)" "false"

wine_run "$exe" remove "$dir"
expect_eq "remove" "$RUN_RC" 0
wine_run "$tools/scm_query.exe" 'Velkor Server'
expect_eq "the service is gone" "$(text)" "error=1060"
wine reg query "$key" >/dev/null 2>&1 && there=yes || there=no
expect_eq "its event-log source is gone" "$there" no
wine_run "$exe" state "$dir"
expect_eq "state after remove: exit code" "$RUN_RC" 1
finish

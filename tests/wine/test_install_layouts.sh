#!/usr/bin/env bash
# Under Wine's SCM, installations laid out in the ways that bend paths, each
# started to RUNNING through its start script, stopped through its launcher
# and removed:
# - under C:\Program Files (x86) with a blank in its own name, its instance
#   root (named by instance.loc) with blanks: the command line quotes both
#   paths, the SCM starts the service through cmd.exe /c with the quoted
#   script path (the parentheses make cmd.exe drop a single pair of quotes),
#   the launcher is reached through its quoted path;
# - named with a trailing backslash (C:\Inst\, as a script's %~dp0 gives it)
#   and at the root of a mapped drive (D:\, a symlink in the prefix's
#   dosdevices): one command line whose directory reaches the service
#   unchanged, state answers for every spelling, files inside are named with
#   one separator;
# - two side by side, both created as Velkor: the second becomes Velkor-2;
#   each starts its own server, is stopped through its own launcher and
#   notices only its own server's death.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
running='state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261'
stopped='state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261'
died='state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261'
# wait_state SC NAME STATE: the status once NAME reaches STATE (or 60 s pass).
wait_state() { VELKOR_CMD_TIMEOUT=$(wine_secs 120) wine_run "$1" wait "$2" "$3" 60000; text; }
query() { wine_run "$tools/scm_query.exe" "$1"; text; }
has_key() { wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$1" >/dev/null 2>&1 && echo yes || echo no; }

# ---- Blanks and parentheses, a trailing backslash, a drive root -----------------------
# D: is the directory drive_d of the prefix, as winecfg would map it.
mkdir -p "$WINEPREFIX/drive_d"
ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"
# layout NAME DIR CANONICAL ROOT REGISTERED-DIR SPELLING...
#   DIR is what create gets, CANONICAL the directory the program settles on,
#   ROOT the instance root (instance.loc names it when it is not CANONICAL),
#   REGISTERED-DIR how the command line quotes DIR; every SPELLING must find
#   the service.
layout() {
  local name=$1 dir=$2 canon=$3 root=$4 quoted=$5 inst exe sc spelling log
  shift 5
  inst=$(wine_install_service "$canon" "$root")
  [ "$root" = "$canon" ] || printf '%s\r\n' "$root" >"$inst/instance.loc"
  canon=${canon%\\} root=${root%\\} # joined to a name with one backslash
  exe="$canon\\lib\\velkor_service.exe"
  sc="$canon\\lib\\velkor_sc.exe"
  wine_run "$exe" create "$dir" "$name" 'Velkor laid out'
  expect_eq "$name: create" "$RUN_RC" 0
  expect_eq "$name: the registered command line" "$(query "$name" | grep '^binary=')" "binary=\"$exe\" start $quoted"
  expect_eq "$name: the event-log source is registered" "$(has_key "$name")" yes
  wine_run "$exe" isrunning "$dir"
  expect_eq "$name: isrunning before the server ever ran (no lock file)" "$(text)" \
    "Could not determine if the server is running."
  wine sc start "$name" >/dev/null 2>&1 || true
  expect_eq "$name: running after sc start" "$(wait_state "$sc" "$name" 4)" "$running"
  expect_eq "$name: the script ran with --windowsNetStart" "$(tr -d '\r ' <"$inst/bat/calls.txt" 2>/dev/null)" "--windowsNetStart"
  for spelling in "$@"; do
    wine_run "$exe" state "$spelling"
    expect_eq "$name: state $spelling" "$RUN_RC $(text)" "0 $name"
  done
  wine_run "$exe" isrunning "$dir"
  expect_eq "$name: the server holds its lock" "$(text)" true
  wine sc stop "$name" >/dev/null 2>&1 || true
  expect_eq "$name: stopped after sc stop" "$(wait_state "$sc" "$name" 1)" "$stopped"
  expect_eq "$name: the launcher got the root" "$(tr -d '\r' <"$inst/lib/winlauncher.calls" 2>/dev/null)" "[stop] [$root\\.]"
  wait_until "$(wine_secs 10)" test ! -f "$(wine_unix_path "$root")/locks/server.ready" || true
  wine_run "$exe" isrunning "$dir"
  expect_eq "$name: the server has let go" "$(text)" false
  log=$(wine_log "$inst")
  expect_eq "$name: the service found its directory" "$(grep -c 'is not an existing directory' <<<"$log")" 0
  expect_eq "$name: the script was run through cmd.exe, its path quoted with one separator" \
    "$(grep -cxF "doStartApplication: Launching batch file: \"$canon\\bat\\start-ds.bat\" --windowsNetStart" <<<"$log")" 1
  expect_eq "$name: the lock file path has one separator" "$(grep 'the lock file name is' <<<"$log" | sort -u)" \
    "When determining whether the server is running, the lock file name is '$root\\locks\\server.lock'."
  wine_run "$exe" remove "$dir"
  expect_eq "$name: remove" "$RUN_RC" 0
  expect_gone "$name: the service is gone" "$name"
  expect_eq "$name: its event-log source is gone" "$(has_key "$name")" no
  wine_run "$exe" state "$dir"
  expect_eq "$name: state after remove: exit code" "$RUN_RC" 1
}
layout 'Velkor Server' 'C:\Program Files (x86)\Velkor Server' 'C:\Program Files (x86)\Velkor Server' \
  'C:\Program Files\Velkor Data' '"C:\Program Files (x86)\Velkor Server"' 'C:\Program Files (x86)\Velkor Server'
layout VelkorInst 'C:\Inst\' 'C:\Inst' 'C:\Inst' '"C:\Inst"' 'C:\Inst' 'C:\Inst\' 'c:/inst//'
layout VelkorRoot 'D:\' 'D:\' 'D:\' '"D:\\"' 'D:\' 'd:/' 'D:\.'

# ---- Side by side ----------------------------------------------------------------------
inst1=$(wine_install_service 'C:\velkor1')
inst2=$(wine_install_service 'C:\velkor2')
sc='C:\velkor1\lib\velkor_sc.exe'
state() { wait_state "$sc" "$1" "$2"; }
isrunning() { wine_run "C:\\velkor$1\\lib\\velkor_service.exe" isrunning "C:\\velkor$1"; text; }
stop_error_lines() { wine_log "$1" | grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$' || true; }
for n in 1 2; do
  wine_run "C:\\velkor$n\\lib\\velkor_service.exe" create "C:\\velkor$n" Velkor "Velkor $n"
  expect_eq "create $n" "$RUN_RC" 0
done
wine_run 'C:\velkor2\lib\velkor_service.exe' state 'C:\velkor2'
expect_eq "the second service got the suffix -2" "$(text)" "Velkor-2"
expect_eq "Velkor-2 runs the second installation" "$(query Velkor-2 | grep '^binary=')" \
  'binary="C:\velkor2\lib\velkor_service.exe" start "C:\velkor2"'

wine sc start Velkor >/dev/null 2>&1 || true
expect_eq "Velkor running" "$(state Velkor 4)" "$running"
expect_eq "only the first server runs" "$(isrunning 1)/$(isrunning 2)" \
  "true/Could not determine if the server is running."
wine_run "$sc" query Velkor-2
expect_eq "Velkor-2 never started" "$(text)" "state=1 win32=1077 specific=0 checkpoint=0 hint=0 accepted=0"
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
# After a full supervision pass (5 s) of its own, the other is still running:
# the absence of an event, so a fixed time.
sleep 6
wine_run "$sc" query Velkor-2
expect_eq "Velkor-2 still running" "$(text)" "$running"

# Killing one server stops only its service, with 1066 and -1.
wine sc start Velkor >/dev/null 2>&1 || true
expect_eq "Velkor running again" "$(state Velkor 4)" "$running"
: >"$inst2/locks/server.die"
expect_eq "Velkor-2 stopped outside the SCM" "$(state Velkor-2 1)" "$died"
wine_run "$sc" query Velkor
expect_eq "Velkor unaffected" "$(text)" "$running"
expect_eq "the first server still runs" "$(isrunning 1) $(isrunning 2)" "true false"
expect_eq "only the second logged the stop outside the SCM" "$(stop_error_lines "$inst1") $(stop_error_lines "$inst2")" "0 1"
rm -f "$inst2/locks/server.die"

wine sc stop Velkor >/dev/null 2>&1 || true
expect_eq "Velkor stopped again" "$(state Velkor 1)" "$stopped"
for n in 1 2; do
  wine_run "C:\\velkor$n\\lib\\velkor_service.exe" remove "C:\\velkor$n"
  expect_eq "remove $n" "$RUN_RC" 0
done
expect_gone "Velkor gone" Velkor
expect_gone "Velkor-2 gone" Velkor-2
finish

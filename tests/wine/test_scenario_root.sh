#!/usr/bin/env bash
# Under Wine, an installation named with a trailing backslash (C:\Inst\, as a
# script's %~dp0 gives it) and one at the root of a mapped drive (D:\, a
# symlink in the prefix's dosdevices): each registers one command line whose
# directory reaches the service unchanged, the SCM starts the service to
# RUNNING, state answers for every spelling of the directory, the files
# under the directory are named with one separator, and stop and remove work.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
fixtures=$VELKOR_WINDOWS_BIN/tests/fixtures
tools=$VELKOR_WINDOWS_BIN/tests/wintools
text() { tr -d '\r' <"$RUN_OUT_RAW_FILE"; }

# D: is the directory drive_d of the prefix, as winecfg would map it.
mkdir -p "$WINEPREFIX/drive_d"
ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"

# scenario NAME DIR CANONICAL REGISTERED-DIR SEP SPELLING...
#   DIR is what create gets, CANONICAL the directory the program settles on,
#   REGISTERED-DIR how the command line quotes it, SEP what joins CANONICAL
#   and a name inside it; every SPELLING must find the service.
scenario() {
  local name=$1 dir=$2 canon=$3 quoted=$4 sep=$5 inst exe sc spelling
  shift 5
  inst=$(wine_install "$canon")
  exe="$canon${sep}lib\\velkor_service.exe"
  sc="$canon${sep}lib\\velkor_sc.exe"
  cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
  mkdir -p "$inst/bat"
  printf '%s\r\n' '@echo off' \
    "start \"\" /b \"$canon${sep}lib\\velkor_test_server.exe\" \"$canon${sep}.\"" \
    ':wait' "if exist \"$canon${sep}locks\\server.ready\" goto done" 'ping -n 1 127.0.0.1 >nul' \
    'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"

  wine_run "$exe" create "$dir" "$name" 'Velkor at a root'
  expect_eq "$name: create" "$RUN_RC" 0
  wine_run "$tools/scm_query.exe" "$name"
  expect_eq "$name: the registered command line" "$(text | grep '^binary=')" \
    "binary=\"$exe\" start $quoted"
  wine sc start "$name" >/dev/null 2>&1 || true
  wine_run "$sc" wait "$name" 4 60000
  expect_eq "$name: running after sc start" "$(text)" \
    "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
  for spelling in "$@"; do
    wine_run "$exe" state "$spelling"
    expect_eq "$name: state $spelling" "$RUN_RC $(text)" "0 $name"
  done
  wine_run "$exe" isrunning "$dir"
  expect_eq "$name: isrunning" "$(text)" true

  wine sc stop "$name" >/dev/null 2>&1 || true
  wine_run "$sc" wait "$name" 1 60000
  expect_eq "$name: stopped after sc stop" "$(text)" \
    "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
  expect_eq "$name: the launcher got the root" \
    "$(tr -d '\r' <"$inst/lib/winlauncher.calls" 2>/dev/null)" "[stop] [$canon${sep}.]"
  local log
  log=$(wine_log "$inst")
  expect_eq "$name: the service found its directory" \
    "$(grep -c 'is not an existing directory' <<<"$log")" 0
  expect_eq "$name: the script path has one separator" \
    "$(grep -cxF "doStartApplication: Launching batch file: \"$canon${sep}bat\\start-ds.bat\" --windowsNetStart" <<<"$log")" 1
  expect_eq "$name: the lock file path has one separator" \
    "$(grep 'the lock file name is' <<<"$log" | sort -u)" \
    "When determining whether the server is running, the lock file name is '$canon${sep}locks\\server.lock'."

  wine_run "$exe" remove "$dir"
  expect_eq "$name: remove" "$RUN_RC" 0
  wine_run "$tools/scm_query.exe" "$name"
  expect_eq "$name: the service is gone" "$(text)" "error=1060"
}

scenario VelkorInst 'C:\Inst\' 'C:\Inst' '"C:\Inst"' '\' 'C:\Inst' 'C:\Inst\' 'c:/inst//'
scenario VelkorRoot 'D:\' 'D:\' '"D:\\"' '' 'D:\' 'd:/' 'D:\.'
finish

#!/usr/bin/env bash
# Under Wine with the ANSI code page 932 (Japanese; Wine takes it from the
# ja_JP.UTF-8 locale), installations in C:\表 and C:\表ソ, whose last
# character ends in the byte 0x5C, the backslash (表 is 95 5C, ソ 83 5C):
# create registers the directory unchanged, state finds it, the SCM starts
# the service to RUNNING and stops it, remove removes it; the event-log key
# and the debug log name the paths whole. Wine converts the arguments from
# the locale's UTF-8, so the program gets them as code page 932 bytes, and
# what it writes is read back from code page 932. 128 × ア (256 bytes) is
# cut at a character: the service is 127 × ア, found by every command.
set -eu
. "$(dirname "$0")/lib.sh"
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  echo "FAILED: no ja_JP.UTF-8 locale (scripts/install-deps.sh and scripts/i386-env.sh make it)"
  exit 1
fi
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
cp932() { iconv -f CP932 -t UTF-8 | tr -d '\r'; }
text() { cp932 <"$RUN_OUT_RAW_FILE"; }

# scenario NAME DIR [REGISTERED]: REGISTERED, the name the service gets (NAME)
scenario() {
  local wanted=$1 name=${3:-$1} dir=$2 inst i log
  local exe="$dir\\lib\\velkor_service.exe"
  inst=$(wine_install "$dir")
  cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
  mkdir -p "$inst/bat"
  printf '%s\r\n' '@echo off' 'start "" /b "%~dp0..\lib\velkor_test_server.exe" "%~dp0..\."' \
    ':wait' 'if exist "%~dp0..\locks\server.ready" goto done' 'ping -n 1 127.0.0.1 >nul' \
    'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"

  wine_run "$exe" create "$dir" "$wanted" 'Velkor in code page 932'
  expect_eq "$name: create" "$RUN_RC" 0
  wine_run "$tools/scm_query.exe" "$name"
  expect_eq "$name: the registered command line" "$(text | sed -n 's/^binary=//p')" \
    "\"$exe\" start \"$dir\""
  wine_run "$exe" state "$dir"
  expect_eq "$name: state" "$RUN_RC $(text)" "0 $name"
  expect_eq "$name: the event-log key names the program" \
    "$(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\$name" \
        /v EventMessageFile 2>/dev/null | cp932 | sed -n 's/^ *EventMessageFile *REG_EXPAND_SZ *//p')" \
    "$exe"

  wine sc start "$name" >/dev/null 2>&1 || true
  wine_run "$inst/lib/velkor_sc.exe" wait "$name" 4 60000
  expect_eq "$name: running after sc start" "$(text)" \
    "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
  wine_run "$exe" isrunning "$dir"
  expect_eq "$name: isrunning" "$(text)" true
  wine sc stop "$name" >/dev/null 2>&1 || true
  wine_run "$inst/lib/velkor_sc.exe" wait "$name" 1 60000
  expect_eq "$name: stopped after sc stop" "$(text)" \
    "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"
  expect_eq "$name: the launcher got the root" \
    "$(cp932 <"$inst/lib/winlauncher.calls" 2>/dev/null)" "[stop] [$dir\\.]"

  log=$(wine_log "$inst" | iconv -f CP932 -t UTF-8)
  expect_eq "$name: the service found its directory" \
    "$(grep -c 'is not an existing directory' <<<"$log")" 0
  expect_eq "$name: the start script's path" \
    "$(grep -cxF "doStartApplication: Launching batch file: \"$dir\\bat\\start-ds.bat\" --windowsNetStart" <<<"$log")" 1
  expect_eq "$name: the lock file's path" \
    "$(grep 'the lock file name is' <<<"$log" | sort -u)" \
    "When determining whether the server is running, the lock file name is '$dir\\locks\\server.lock'."

  wine_run "$exe" remove "$dir"
  expect_eq "$name: remove" "$RUN_RC" 0
  expect_gone "$name: the service is gone" "$name"
  wine_run "$exe" state "$dir"
  expect_eq "$name: state after remove" "$RUN_RC" 1
}

scenario VelkorHyo 'C:\表'
scenario VelkorHyoSo 'C:\表ソ'
scenario "$(printf 'ア%.0s' {1..128})" 'C:\Long128' "$(printf 'ア%.0s' {1..127})"
finish

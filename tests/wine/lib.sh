# Wine harness for the end-to-end tests, sourced by tests/wine/test_*.sh and
# by the demo. Each run gets a throwaway prefix; everything is torn down on exit.
#
#   wine_setup                 make an isolated WINEPREFIX (wineboot -i)
#   wine_install DIR [EXE]     lay out an installation at the Windows path DIR
#                              (lib\ with the program, logs\), echo its Unix path
#   wine_run EXE ARGS...       run a program; sets RUN_OUT (stdout) and RUN_RC
#   wine_unix_path WINPATH     Unix path of a Windows path in the prefix
#   wine_set_system_env N V    set a system environment variable for services
#                              (registry), then restart the prefix so services.exe sees it
#   wine_keep_up               keep the prefix (and services.exe) up between commands
#   wine_log INSTALL_UNIX      the debug log's lines with CR removed
#   expect_eq WHAT GOT WANT    compare, count failures
#   finish                     print the result, exit 0 or 1
set -u
: "${VELKOR_WINDOWS_EXE:?path of the x86_64 velkor_service.exe}"
VELKOR_WINDOWS_BIN=$(dirname "$VELKOR_WINDOWS_EXE")
export WINEDEBUG=-all
export WINEARCH=win64
FAILURES=0
CHECKS=0

wine_teardown() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}

wine_setup() {
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velkor-wine-XXXXXX")
  export WINEPREFIX
  trap wine_teardown EXIT
  wineboot -i >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1 || true
}

wine_unix_path() {
  local win=$1 drive rest
  drive=$(printf '%s' "${win:0:1}" | tr 'A-Z' 'a-z')
  rest=${win:2}
  rest=${rest//\\//}
  if [ "$drive" = z ]; then printf '%s' "$rest"; else printf '%s/drive_%s%s' "$WINEPREFIX" "$drive" "$rest"; fi
}

wine_install() {
  local dir=$1 exe=${2:-$VELKOR_WINDOWS_EXE} unix
  unix=$(wine_unix_path "$dir")
  mkdir -p "$unix/lib" "$unix/logs"
  cp "$exe" "$unix/lib/velkor_service.exe"
  printf '%s' "$unix"
}

wine_run() {
  local tmp
  tmp=$(mktemp)
  set +e
  wine "$@" >"$tmp" 2>/dev/null
  RUN_RC=$?
  set -e
  RUN_OUT=$(cat "$tmp")
  RUN_OUT_RAW_FILE=$tmp
}

wine_set_system_env() {
  wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# The wineserver ends a few seconds after the last program, taking
# services.exe with it; the next command boots the prefix again, and that boot
# starts every auto-start service (create registers them so) behind the
# test's back. A persistent wineserver keeps one boot for the whole run;
# wine_teardown still kills it. Call after wine_set_system_env.
wine_keep_up() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
}

wine_log() {
  tr -d '\r' <"$1/logs/native-windows.out" 2>/dev/null | sed -E 's/^[0-9\/]+ [0-9:]+: \(pid=[0-9]+\)  //'
}

expect_eq() {
  CHECKS=$((CHECKS + 1))
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    FAILURES=$((FAILURES + 1))
    echo "FAILED: $1"
    echo "   got: $(printf '%q' "$2")"
    echo "  want: $(printf '%q' "$3")"
  fi
}

finish() {
  echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
  [ "$FAILURES" -eq 0 ]
}

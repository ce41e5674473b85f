# Wine harness for the end-to-end tests, sourced by tests/wine/test_*.sh and
# by the demo. Each run gets a throwaway prefix; everything is torn down on exit.
#
#   wine_setup                 make an isolated WINEPREFIX (wineboot -i, or a
#                              copy of VELKOR_WINE_PREFIX_TEMPLATE when set)
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
#
# VELKOR_WINDOWS_EXE names the build under test, x86_64 or i686 (the i686
# build runs in the 32-bit environment of scripts/i386-env.sh); its folder
# gives the fixtures and tools of the same build. Its PE machine type picks
# the Wine architecture and is printed first, so every run shows which build
# it ran; VELKOR_WINE_MACHINE (i386 or x86_64), when set, must match it.
set -u
: "${VELKOR_WINDOWS_EXE:?path of the velkor_service.exe under test}"
VELKOR_WINDOWS_BIN=$(dirname "$VELKOR_WINDOWS_EXE")
export WINEDEBUG=-all
FAILURES=0
CHECKS=0

# The Machine field of a PE file's COFF header, as 4 hex digits.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && [ "$(od -An -tx1 -j"$at" -N4 "$1" 2>/dev/null | tr -d ' ')" = 50450000 ] || return 1
  od -An -tx1 -j$((at + 4)) -N2 "$1" | awk '{ print $2 $1 }'
}
VELKOR_WINDOWS_MACHINE_CODE=$(pe_machine "$VELKOR_WINDOWS_EXE") || VELKOR_WINDOWS_MACHINE_CODE=none
case $VELKOR_WINDOWS_MACHINE_CODE in
  014c) VELKOR_WINDOWS_MACHINE=i386; export WINEARCH=win32 ;;
  8664) VELKOR_WINDOWS_MACHINE=x86_64; export WINEARCH=win64 ;;
  *) echo "FAILED: $VELKOR_WINDOWS_EXE is not an i386 or x86_64 PE file"; exit 1 ;;
esac
echo "build: $VELKOR_WINDOWS_EXE, PE machine $VELKOR_WINDOWS_MACHINE (0x$VELKOR_WINDOWS_MACHINE_CODE)," \
  "$(wine --version 2>/dev/null) $WINEARCH on $(uname -m)"
if [ -n "${VELKOR_WINE_MACHINE:-}" ] && [ "$VELKOR_WINE_MACHINE" != "$VELKOR_WINDOWS_MACHINE" ]; then
  echo "FAILED: this run is for the $VELKOR_WINE_MACHINE build"
  exit 1
fi

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
  if [ -n "${VELKOR_WINE_PREFIX_TEMPLATE:-}" ]; then
    # A copy of a prefix made once and shut down, as wineboot -i leaves one:
    # hard links, except the files Wine rewrites in place.
    cp -al "$VELKOR_WINE_PREFIX_TEMPLATE/." "$WINEPREFIX/"
    find "$WINEPREFIX" -maxdepth 1 -name '*.reg' -o -path "$WINEPREFIX/drive_c/windows/*.ini" |
      while read -r file; do cp --remove-destination "$VELKOR_WINE_PREFIX_TEMPLATE/${file#"$WINEPREFIX"/}" "$file"; done
  else
    wineboot -i >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1 || true
  fi
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

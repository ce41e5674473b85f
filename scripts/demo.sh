#!/usr/bin/env bash
# The main job: builds the Windows program and, in a throwaway Wine prefix,
# shows what it does. Prints every command, what it printed and its exit code.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"
bash "$top/scripts/build.sh" windows >/dev/null
export VELKOR_WINDOWS_EXE=$top/build/windows-x86_64/velkor_service.exe
. "$top/tests/wine/lib.sh"
set -e
wine_setup
inst=$(wine_install 'C:\Velkor')
exe='C:\Velkor\lib\velkor_service.exe'

step() {
  echo "\$ velkor_service $*"
  wine_run "$exe" "$@"
  [ -n "$RUN_OUT" ] && printf '%s\n' "$RUN_OUT" | tr -d '\r' | sed 's/^/  | /'
  echo "  exit code: $RUN_RC"
}
step
step state
echo
echo "Debug log C:\\Velkor\\logs\\native-windows.out:"
tr -d '\r' <"$inst/logs/native-windows.out" | sed 's/^/  /'

#!/usr/bin/env bash
# Runs every test on a fresh Debian machine: installs what is missing, builds
# both Windows variants and the native ones, and runs CTest (unit tests under
# ASan+UBSan, the Windows checks, the Wine tests against both Windows builds,
# the i686 one in the emulated environment of scripts/i386-env.sh, then the
# threaded tests under TSan).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"
bash "$top/scripts/build.sh" all
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ "${VELKOR_SKIP_I686:-}" = 1 ]; then
  echo "VELKOR_SKIP_I686=1: the i686 build's Wine tests are skipped (a full run leaves it unset)"
fi
status=0
(cd "$top/build/native" && ctest --output-on-failure -j "${VELKOR_JOBS:-2}") || status=1
(cd "$top/build/native-tsan" && ctest --output-on-failure -j "${VELKOR_JOBS:-2}" -L unit) || status=1
# Fuzz targets, each for a bounded time, when the project has them.
if [ -f "$top/scripts/fuzz.sh" ]; then bash "$top/scripts/fuzz.sh" || status=1; fi
exit $status

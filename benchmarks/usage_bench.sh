#!/usr/bin/env bash
# Cost of the usage path (no subcommand: a banner, four log lines, one
# message) against a program that does nothing, under Wine and natively.
# Prints the mean time per run and the two ratios. Not a test.
# Usage: benchmarks/usage_bench.sh [runs]   (builds first: scripts/build.sh all)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20}
export VELKOR_WINDOWS_EXE=$top/build/windows-x86_64/velkor_service.exe
native_exe=$top/build/native/velkor_service
[ -x "$native_exe" ] && [ -f "$VELKOR_WINDOWS_EXE" ] || { echo "build first: scripts/build.sh all"; exit 2; }
. "$top/tests/wine/lib.sh"
wine_setup
work=$(mktemp -d)
trap 'rm -rf "$work"; wine_teardown' EXIT

printf 'int main(){return 0;}\n' >"$work/noop.cpp"
x86_64-w64-mingw32-g++ -O2 -static "$work/noop.cpp" -o "$work/noop.exe"
g++ -O2 "$work/noop.cpp" -o "$work/noop"
inst=$(wine_install 'C:\bench')
mkdir -p "$work/native/lib" "$work/native/logs"
cp "$native_exe" "$work/native/lib/velkor_service"
export VELKOR_STANDIN_ROOT=$work/machine ASAN_OPTIONS=detect_leaks=0

# Mean milliseconds per run of a command.
mean_ms() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1 || true; done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000000))
}
wine "$work/noop.exe" >/dev/null 2>&1 || true # warm the prefix
wine_usage=$(mean_ms wine 'C:\bench\lib\velkor_service.exe')
wine_noop=$(mean_ms wine "$work/noop.exe")
native_usage=$(mean_ms "$work/native/lib/velkor_service")
native_noop=$(mean_ms "$work/noop")
echo "runs per figure: $runs"
echo "wine:   usage path ${wine_usage} ms, no-op ${wine_noop} ms, ratio $(awk "BEGIN{printf \"%.2f\", $wine_usage/($wine_noop>0?$wine_noop:1)}")"
echo "native: usage path ${native_usage} ms, no-op ${native_noop} ms, ratio $(awk "BEGIN{printf \"%.2f\", $native_usage/($native_noop>0?$native_noop:1)}") (native build carries ASan+UBSan)"
echo "log lines written per usage run: $(grep -c 'main called.' "$inst/logs/native-windows.out") runs logged under Wine"

#!/usr/bin/env bash
# Cost of supervision and speed of a stop, natively (an optimised build
# without sanitizers, on the stand-in SCM) and under Wine (the x86_64 exe).
# For each: the CPU time and peak memory of the `start` process over one
# minute of supervision with the supervision pass count, and the time from a
# stop control to the stopped report when the server lets go at once.
# Not a test. Usage: benchmarks/service_bench.sh [seconds]   (default 60;
# needs scripts/build.sh windows first; builds build/native-release itself)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
export VELKOR_WINDOWS_EXE=$top/build/windows-x86_64/velkor_service.exe
[ -f "$VELKOR_WINDOWS_EXE" ] || { echo "build first: scripts/build.sh windows"; exit 2; }
rel=$top/build/native-release
cmake -S "$top" -B "$rel" -DCMAKE_BUILD_TYPE=Release -DVELKOR_SANITIZE= -DVELKOR_WINDOWS_EXE= >/dev/null
cmake --build "$rel" -j "${VELKOR_JOBS:-2}" --target velkor_service velkor_sc winlauncher velkor_test_server >/dev/null
. "$top/tests/wine/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"; wine_teardown' EXIT
ticks=$(getconf CLK_TCK)

# CPU milliseconds (user + system) and peak resident kB of a live process.
cpu_ms() { awk -v t="$ticks" '{print int(($14 + $15) * 1000 / t)}' "/proc/$1/stat"; }
peak_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# ---- native ----------------------------------------------------------------
export VELKOR_STANDIN_ROOT=$work/machine VELKOR_STANDIN_CALLS=$work/calls
inst=$work/inst
fx=$rel/tests/fixtures
mkdir -p "$inst/lib" "$inst/logs" "$inst/bat"
cp "$rel/velkor_service" "$inst/lib/"
cp "$fx/winlauncher" "$inst/lib/winlauncher.exe"
cat >"$inst/bat/start-ds.bat" <<SCRIPT
#!/bin/sh
'$fx/velkor_test_server' 'Z:$inst' >/dev/null 2>&1 &
while [ ! -f '$inst/locks/server.ready' ]; do sleep 0.02; done
SCRIPT
"$inst/lib/velkor_service" create "Z:$inst" VelkorBench bench >/dev/null
"$fx/velkor_sc" start VelkorBench >/dev/null
"$fx/velkor_sc" wait VelkorBench 4 60000 >/dev/null
pid=$(sed -n 's/^hostPid=//p' "$work/machine/scm/services/velkorbench.svc")
cpu0=$(cpu_ms "$pid")
: >"$work/calls"
sleep "$seconds"
cpu1=$(cpu_ms "$pid")
passes=$(grep -cE "^$pid [^ ]+ WaitForSingleObject " "$work/calls" || true)
peak=$(peak_kb "$pid")
t0=$(now_ms)
"$fx/velkor_sc" control VelkorBench 1 >/dev/null
"$fx/velkor_sc" wait VelkorBench 1 60000 >/dev/null
t1=$(now_ms)
echo "native: ${seconds} s of supervision: $((cpu1 - cpu0)) ms CPU, $passes passes, peak memory ${peak} kB; stop control to stopped report: $((t1 - t0)) ms"
unset VELKOR_STANDIN_CALLS

# ---- Wine ----------------------------------------------------------------
wine_setup
winst=$(wine_install 'C:\bench')
wfx=$(dirname "$VELKOR_WINDOWS_EXE")/tests/fixtures
cp "$wfx/winlauncher.exe" "$wfx/velkor_test_server.exe" "$wfx/velkor_sc.exe" "$winst/lib/"
mkdir -p "$winst/bat"
printf '%s\r\n' '@echo off' 'start "" /b C:\bench\lib\velkor_test_server.exe C:\bench' ':wait' \
  'if exist C:\bench\locks\server.ready goto done' 'ping -n 1 127.0.0.1 >nul' 'goto wait' ':done' \
  'exit /b 0' >"$winst/bat/start-ds.bat"
wine 'C:\bench\lib\velkor_service.exe' create 'C:\bench' VelkorBench bench >/dev/null 2>&1
wine sc start VelkorBench >/dev/null 2>&1
wine 'C:\bench\lib\velkor_sc.exe' wait VelkorBench 4 60000 >/dev/null 2>&1
wpid=$(ps -eo pid=,args= | awk '/velkor_service\.exe start/ && !/awk/ {print $1; exit}')
wcpu0=$(cpu_ms "$wpid")
sleep "$seconds"
wcpu1=$(cpu_ms "$wpid")
wpeak=$(peak_kb "$wpid")
t0=$(now_ms)
wine sc stop VelkorBench >/dev/null 2>&1
wine 'C:\bench\lib\velkor_sc.exe' wait VelkorBench 1 60000 >/dev/null 2>&1
t1=$(now_ms)
# Once running, a pass every 5 s; the quiet probes leave no trace to count.
echo "wine:   ${seconds} s of supervision: $((wcpu1 - wcpu0)) ms CPU, about $((seconds / 5)) passes (one per 5 s), peak memory ${wpeak} kB; stop control to stopped report: $((t1 - t0)) ms (sc stop and the driver included)"

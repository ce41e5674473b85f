#!/usr/bin/env bash
# Cost of the service lookup: `state` on the native stand-in machine with 50,
# 200 and 800 Win32 services, the instance's own service enumerated last so
# every run walks the whole list. Prints the mean time per run, the ratios to
# the 50-service figure (a linear lookup gives about 4 and 16 once the fixed
# start-up cost is taken off), and the SCM calls of one run, which must be
# one open, one configuration query and one close per service. Not a test.
# Usage: benchmarks/lookup_bench.sh [runs]   (builds first: scripts/build.sh native)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10}
native_exe=$top/build/native/velkor_service
[ -x "$native_exe" ] || { echo "build first: scripts/build.sh native"; exit 2; }
# The stand-in rewrites a service's record (a new file and a rename) on every
# handle opened and closed; on ext4 that file churn itself gets slower as it
# goes, which would blur the program's own cost. Use memory when there is some.
bench_dir=${VELKOR_BENCH_DIR:-/dev/shm}
[ -d "$bench_dir" ] && [ -w "$bench_dir" ] || bench_dir=${TMPDIR:-/tmp}
work=$(mktemp -d "$bench_dir/velkor-lookup-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=0

mkdir -p "$work/install/lib" "$work/install/logs"
cp "$native_exe" "$work/install/lib/velkor_service"
install_win="Z:${work//\//\\}\\install"
cmd_to_run="\"$install_win\\lib\\velkor_service\" start \"$install_win\""

# A stand-in machine with n services, written straight into the service
# database (the records' format of platform/posix/standin_scm_store.cpp).
make_machine() {
  local n=$1 root=$work/machine-$1 i
  mkdir -p "$root/scm/services"
  for ((i = 1; i < n; i++)); do
    printf 'name=bench-%d\ndisplayName=Bench service %d\nbinaryPath=C:\\\\bench\\\\svc%d.exe -k run\ntype=16\nstartType=3\n' \
      "$i" "$i" "$i" >"$root/scm/services/bench-$i.svc"
    echo "bench-$i" >>"$root/scm/order"
  done
  printf 'name=velkor\ndisplayName=velkor\nbinaryPath=%s\ntype=16\nstartType=2\n' \
    "${cmd_to_run//\\/\\\\}" >"$root/scm/services/velkor.svc"
  echo velkor >>"$root/scm/order"
  echo "$root"
}

# Mean milliseconds per `state` run on one machine; checks the answer once.
time_state() {
  local root=$1 start end out
  out=$(VELKOR_STANDIN_ROOT=$root "$work/install/lib/velkor_service" state "$install_win")
  [ "$out" = velkor ] || { echo "state answered '$out' on $root" >&2; exit 1; }
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do
    VELKOR_STANDIN_ROOT=$root "$work/install/lib/velkor_service" state "$install_win" >/dev/null
  done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000))
}

# Mean microseconds of a run that lists nothing: the fixed start-up cost.
empty=$(make_machine 1)
: >"$empty/scm/order"
rm -f "$empty/scm/services/velkor.svc"
start=$(date +%s%N)
for ((i = 0; i < runs; i++)); do
  VELKOR_STANDIN_ROOT=$empty "$work/install/lib/velkor_service" state "$install_win" >/dev/null || true
done
end=$(date +%s%N)
base_us=$(((end - start) / runs / 1000))

echo "runs per figure: $runs (native build with ASan+UBSan), machine under $bench_dir"
echo "no services: ${base_us} us per run (start-up, log, directory)"
declare -A us
for n in 50 200 800; do
  root=$(make_machine $n)
  us[$n]=$(time_state "$root")
  calls=$work/calls-$n
  VELKOR_STANDIN_ROOT=$root VELKOR_STANDIN_CALLS=$calls "$work/install/lib/velkor_service" state "$install_win" >/dev/null
  count() { grep -c " $1 " "$calls" || true; }
  printf '%4d services: %8d us per run, %6.1f us per service; calls: EnumServicesStatusA %d, OpenServiceA %d, QueryServiceConfigA %d, CloseServiceHandle %d\n' \
    "$n" "${us[$n]}" "$(awk "BEGIN{print (${us[$n]} - $base_us) / $n}")" \
    "$(count EnumServicesStatusA)" "$(count OpenServiceA)" "$(count QueryServiceConfigA)" "$(count CloseServiceHandle)"
done
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
echo "ratio 200/50: $(ratio "${us[200]}" "${us[50]}") raw, $(ratio "$((us[200] - base_us))" "$((us[50] - base_us))") without start-up (linear: 4)"
echo "ratio 800/50: $(ratio "${us[800]}" "${us[50]}") raw, $(ratio "$((us[800] - base_us))" "$((us[50] - base_us))") without start-up (linear: 16)"

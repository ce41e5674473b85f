#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan and UBSan, over
# the program's sources and the native stand-in) and runs each one from its
# seed corpus in tests/fuzz/corpus/<target> for a bounded time. Fails when a
# target does not build or finds anything.
#
#   VELKOR_FUZZ_SECONDS   time per target (default 60)
#   VELKOR_FUZZ_TARGETS   names of the targets to run (default: all)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/fuzz
seconds=${VELKOR_FUZZ_SECONDS:-60}
cxx=${VELKOR_FUZZ_CXX:-clang++}
jobs=${VELKOR_JOBS:-2}
windmc=$(command -v x86_64-w64-mingw32-windmc || command -v i686-w64-mingw32-windmc || command -v windmc)

mkdir -p "$out/generated" "$out/obj" "$out/work"
if [ ! -f "$out/generated/messages.h" ] || [ "$top/resources/messages.mc" -nt "$out/generated/messages.h" ]; then
  "$windmc" -U -h "$out/generated" -r "$out/generated" "$top/resources/messages.mc"
fi

flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=all -I"$top" -I"$out/generated")

# The code under test and what it needs, in one archive so that each target
# links only the members it uses.
# main's own file stays out: the targets call runCommand.
shopt -s nullglob
sources=("$top"/cli/*.cpp "$top"/diag/*.cpp "$top"/instance/*.cpp "$top"/scm/*.cpp \
         "$top"/service/*.cpp "$top"/launcher/*.cpp "$top"/platform/posix/*.cpp)
shopt -u nullglob
objects=()
pids=()
for source in "${sources[@]}"; do
  [ "$source" = "$top/cli/main.cpp" ] && continue
  rel=${source#"$top"/}
  object=$out/obj/${rel//\//_}.o
  objects+=("$object")
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$(find "$top/cli" "$top/diag" "$top/instance" "$top/scm" "$top/service" "$top/launcher" "$top/platform" -name '*.h' -newer "$object" -print -quit)" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
rm -f "$out/libvelkor_fuzz.a"
ar rcs "$out/libvelkor_fuzz.a" "${objects[@]}"

# Each target is built, then the targets run $jobs at a time; what each
# printed is shown in their order once it has ended.
names=()
for target_source in "$top"/tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$target_source" .cpp)
  name=${name%_fuzz}
  if [ -n "${VELKOR_FUZZ_TARGETS:-}" ] && [[ " $VELKOR_FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$target_source" "$out/libvelkor_fuzz.a" -lpthread -o "$out/$name"
  names+=("$name")
done

# fuzz_one NAME: runs one target; its verdict goes to work/NAME/verdict.
fuzz_one() {
  local name=$1 corpus=$out/corpus/$1 work=$out/work/$1
  rm -rf "$work"
  mkdir -p "$corpus" "$work"
  # New inputs go to the build's corpus; the seeds in the repository are read only.
  # The debug log of the code under test lands in the work directory.
  if (cd "$work" && TMPDIR="$work" VELKOR_STANDIN_ROOT="$work/machine" \
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "$corpus" "$top/tests/fuzz/corpus/$name" \
        >"$work/fuzz.log" 2>&1); then
    echo ok >"$work/verdict"
  else
    echo failed >"$work/verdict"
  fi
}

pids=()
for name in "${names[@]}"; do
  echo "fuzz: $name for ${seconds}s"
  fuzz_one "$name" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

status=0
for name in "${names[@]}"; do
  work=$out/work/$name
  if [ "$(cat "$work/verdict" 2>/dev/null)" = ok ]; then
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/fuzz.log" | tail -2 || true
    echo "fuzz: $name found nothing"
  else
    status=1
    tail -60 "$work/fuzz.log"
    echo "fuzz: $name FAILED (log: $work/fuzz.log)"
  fi
done
exit $status

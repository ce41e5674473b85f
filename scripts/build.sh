#!/usr/bin/env bash
# Builds every variant: the Windows program for x86 and x86_64, the native
# program with its tests under ASan+UBSan, a TSan build of the tests, and a
# plain native build of the program and its fixtures (no sanitizers) for the
# valgrind check.
# Usage: scripts/build.sh [windows|native|all]   (default all)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
jobs=${VELKOR_JOBS:-2}
build=$top/build
# A compiler cache speeds up repeated builds where one is installed; CI
# builds without it.
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_NOHASHDIR=1 CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$top")}
fi

windows() {
  for arch in i686 x86_64; do
    cmake -S "$top" -B "$build/windows-$arch" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch-w64-mingw32.cmake" >/dev/null
    cmake --build "$build/windows-$arch" -j "$jobs"
  done
}

plain() {
  local targets=(velkor_service) fixture
  for fixture in "$top"/tests/fixtures/*.cpp; do targets+=("$(basename "$fixture" .cpp)"); done
  cmake -S "$top" -B "$build/native-plain" -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$build/native-plain" -j "$jobs" --target "${targets[@]}"
}

native() {
  plain
  cmake -S "$top" -B "$build/native" -DCMAKE_BUILD_TYPE=Debug \
    -DVELKOR_SANITIZE=address,undefined \
    -DVELKOR_PLAIN_BUILD="$build/native-plain" \
    -DVELKOR_WINDOWS_EXE="$build/windows-x86_64/velkor_service.exe" \
    -DVELKOR_WINDOWS_EXE_X86="$build/windows-i686/velkor_service.exe" >/dev/null
  cmake --build "$build/native" -j "$jobs"
  cmake -S "$top" -B "$build/native-tsan" -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=thread >/dev/null
  cmake --build "$build/native-tsan" -j "$jobs"
}

case $what in
  windows) windows ;;
  native) native ;;
  all) windows; native ;;
  *) echo "usage: $0 [windows|native|all]"; exit 2 ;;
esac

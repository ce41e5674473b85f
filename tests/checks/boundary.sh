#!/usr/bin/env bash
# The program reaches the platform only through platform/win32.h: no other
# file of the program includes a platform header or tests _WIN32.
set -u
top=${1:?source directory}
cd "$top" || exit 2
failed=0
program=(cli diag instance scm service launcher)
hits=$(grep -rnE '#\s*include\s*[<"](windows|io|share|winsvc|winreg|direct|winbase)\.h[>"]' "${program[@]}" 2>/dev/null)
if [ -n "$hits" ]; then
  echo "Platform headers included outside platform/:"; echo "$hits"; failed=1
fi
hits=$(grep -rnE '^\s*#\s*(if|ifdef|ifndef|elif)\b.*_WIN(32|64)' "${program[@]}" 2>/dev/null)
if [ -n "$hits" ]; then
  echo "_WIN32 tested in the program's folders:"; echo "$hits"; failed=1
fi
hits=$(grep -rnE '#\s*include\s*<(windows|io|share|winsvc|direct)\.h>' platform --include='*.h' --include='*.cpp' | grep -v '^platform/win32\.h:')
if [ -n "$hits" ]; then
  echo "Platform headers included by another platform file than platform/win32.h:"; echo "$hits"; failed=1
fi
[ $failed -eq 0 ] && echo "boundary: clean"
exit $failed

#!/usr/bin/env bash
# A Windows build needs nothing but Windows' own DLLs and the C runtime.
set -u
exe=${1:?exe}
dlls=$(objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "$exe imports:"; echo "$dlls" | sed 's/^/  /'
allowed='^(kernel32|advapi32|msvcrt|user32|ntdll)\.dll$'
bad=$(echo "$dlls" | grep -vE "$allowed")
if [ -n "$bad" ]; then echo "unexpected imports: $bad"; exit 1; fi
exit 0

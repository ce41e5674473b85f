#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (as root).
# Runs apt-get only when something is missing.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev mingw-w64 binutils-mingw-w64 wine wine64 valgrind
          googletest python3 file procps debootstrap locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The Wine test of a Japanese system runs Wine in the ja_JP.UTF-8 locale, which
# gives Windows programs the ANSI code page 932.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

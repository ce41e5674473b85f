#!/usr/bin/env bash
# The 32-bit Wine in which the tests run the x86 build. The kernel here runs
# no 32-bit programs and the host's 64-bit Wine cannot sit beside a 32-bit
# one, so the x86 build runs under the 32-bit Wine of an i386 Debian chroot
# whose programs run under qemu-i386 user-mode emulation. Nothing global on
# the host changes: every command runs in its own user, mount and pid
# namespace, with a binfmt_misc of its own that hands i386 programs to qemu;
# when the command ends the namespace takes every process it left with it.
#
#   scripts/i386-env.sh setup         make the environment; each step done
#                                     before is skipped
#   scripts/i386-env.sh run CMD...    run CMD in it as root, the repository
#                                     bound in at the same path
#   scripts/i386-env.sh ctest-setup | ctest-run CMD...
#                                     the same for CTest, which reports
#                                     exit code 77 as skipped: they skip
#                                     when VELKOR_SKIP_I686=1
#
#   VELKOR_I386_DIR    where it lives (default /var/cache/velkor-i386): the
#                      chroot in root/, the unpacked qemu in qemu/, the log
#   VELKOR_I386_BINDS  more host folders to bind in, separated by ':'
#   VELKOR_SKIP_I686   1: the ctest- forms skip (a developer's inner loop)
#
# Inside, TMPDIR is a folder of this run (removed afterwards), WINEARCH is
# win32, and VELKOR_WINE_PREFIX_TEMPLATE names a prefix made once with
# `wineboot -i`, which tests/wine/lib.sh copies instead of making one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${VELKOR_I386_DIR:-/var/cache/velkor-i386}
root=$base/root
log=$base/setup.log
qemu=$base/qemu/usr/bin/qemu-i386
template=/var/lib/velkor/prefix-win32
. /etc/os-release
suite=${VERSION_CODENAME:?no release codename in /etc/os-release}
mirror=${VELKOR_I386_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# Programs installed in the chroot: Wine, and what the Wine tests call
# beside it (objdump reads the program's resource directory, python3 its
# manifest).
packages=(wine binutils python3)

die() { echo "i386-env: $*" >&2; exit 1; }

# enter [BIND...] -- CMD...: runs CMD chrooted in a new user, mount and pid
# namespace with root and the first 65536 ids mapped to the same ids (dpkg
# in the chroot sets owners such as root:mail), /proc and /dev mounted and
# each BIND folder bound at its own path.
enter() {
  local binds=() sync upid waited=0
  while [ "$1" != -- ]; do binds+=("$1"); shift; done
  shift
  sync=$(mktemp -d)
  mkfifo "$sync/go"
  # The child waits until its namespace's id maps are written: unshare's own
  # --map-users needs newuidmap, while root can write the maps directly.
  unshare --user --mount --pid --fork --kill-child -- bash -c '
    read -r _ <"$1/go"
    set -e
    root=$2 qemu=$3 nbinds=$4; shift 4
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    misc=$root/proc/sys/fs/binfmt_misc
    mount -t binfmt_misc binfmt_misc "$misc"
    # i386 ELF executables and shared objects go to the static qemu, opened
    # now (F) so that it need not exist inside the chroot.
    printf "%s" ":velkor-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" >"$misc/register"
    mount --rbind /dev "$root/dev"
    while [ "$nbinds" -gt 0 ]; do
      mkdir -p "$root$1"
      mount --rbind "$1" "$root$1"
      shift; nbinds=$((nbinds - 1))
    done
    exec chroot "$root" "$@"
  ' enter "$sync" "$root" "$qemu" "${#binds[@]}" "${binds[@]}" "$@" &
  upid=$!
  local rc=0 ours
  ours=$(readlink /proc/self/ns/user)
  while kill -0 "$upid" 2>/dev/null && [ "$(readlink "/proc/$upid/ns/user" 2>/dev/null)" = "$ours" ]; do
    sleep 0.01
    waited=$((waited + 1))
    [ $waited -lt 1000 ] || break
  done
  if kill -0 "$upid" 2>/dev/null && [ "$(readlink "/proc/$upid/ns/user" 2>/dev/null)" != "$ours" ] &&
     echo "0 0 65536" 2>/dev/null >"/proc/$upid/uid_map" && echo "0 0 65536" 2>/dev/null >"/proc/$upid/gid_map"; then
    echo >"$sync/go"
    wait "$upid" || rc=$?
  else
    kill "$upid" 2>/dev/null || true
    wait "$upid" 2>/dev/null || true
    rm -rf "$sync"
    die "could not make a user namespace with the ids mapped (unshare, Linux 6.7 or later for binfmt_misc)"
  fi
  rm -rf "$sync"
  return $rc
}

# Runs a setup step once: STEP is recorded as done in $base/done/ when
# "step_STEP" succeeds; its output goes to the log.
step() {
  local name=$1 started
  [ -f "$base/done/$name" ] && return 0
  echo "i386-env: $name ..."
  started=$(date +%s)
  echo "=== $name $(date -u '+%F %T')" >>"$log"
  if ! "step_$name" >>"$log" 2>&1; then
    tail -20 "$log" | sed 's/^/    /' >&2
    die "setup step '$name' failed; the whole log is $log"
  fi
  touch "$base/done/$name"
  echo "i386-env: $name done in $(($(date +%s) - started)) s"
}

# The static qemu-i386 of the release's backports (8.1 or later: the
# release's own 7.2 ignores MAP_FIXED_NOREPLACE and every Wine process then
# spends about a minute in mmap), fetched with a private apt configuration
# and unpacked, not installed.
step_qemu() {
  local apt=$base/apt
  rm -rf "$apt" "$base/qemu"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/download"
  echo "deb [signed-by=$keyring] $mirror $suite-backports main" >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update
  (cd "$apt/download" && apt-get "${opts[@]}" download "qemu-user/$suite-backports")
  dpkg-deb -x "$apt"/download/qemu-user_*.deb "$apt/unpacked"
  mkdir -p "${qemu%/*}"
  mv "$apt/unpacked/usr/bin/qemu-i386" "$qemu"
  rm -rf "$apt"
  # It must run without the chroot's libraries (static or static-pie).
  file -L "$qemu" | grep -q 'static' || { echo "$qemu is not statically linked"; return 1; }
  "$qemu" --version
  "$qemu" --version | awk 'NR == 1 { split($3, v, "."); exit !(v[1] > 8 || (v[1] == 8 && v[2] >= 1)) }' ||
    { echo "qemu 8.1 or later is needed"; return 1; }
}

step_first_stage() {
  rm -rf "$root"
  debootstrap --foreign --arch=i386 --variant=minbase "$suite" "$root" "$mirror"
}

# Device nodes cannot be made in a user namespace: as in a container,
# debootstrap leaves them out and the host's /dev is bound in instead.
step_second_stage() {
  enter -- /usr/bin/env container=lxc /debootstrap/debootstrap --second-stage
}

# The release's main and updates suites; its security suite is left out for
# i386 (its index fails its size check on the mirror).
step_packages() {
  printf 'deb %s %s main\ndeb %s %s-updates main\n' "$mirror" "$suite" "$mirror" "$suite" \
    >"$root/etc/apt/sources.list"
  enter -- /usr/bin/env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    sh -c 'apt-get -o APT::Sandbox::User=root update &&
           apt-get -o APT::Sandbox::User=root install -y --no-install-recommends "$@" &&
           apt-get clean' packages "${packages[@]}"
}

# The ja_JP.UTF-8 locale, in which Wine gives programs the ANSI code page 932
# (the Wine test of a Japanese system). A step of its own, so that a chroot
# set up before it gets it too.
step_locale() {
  enter -- /usr/bin/env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    sh -c 'if ! dpkg-query -W -f="\${Status}" locales 2>/dev/null | grep -q "ok installed"; then
             apt-get -o APT::Sandbox::User=root update &&
             apt-get -o APT::Sandbox::User=root install -y --no-install-recommends locales &&
             apt-get clean; fi &&
           { locale -a | grep -qix ja_JP.utf8 || localedef -i ja_JP -f UTF-8 ja_JP.UTF-8; }'
}

# One 32-bit prefix, booted once and settled; each test copies it.
# Windows gives a service process 30 s to connect to the SCM (the
# StartServiceCtrlDispatcher documentation); Wine's services.exe gives it
# 10 s unless ServicesPipeTimeout (a REG_SZ there) says otherwise, and an
# emulated process on a busy machine can take longer than that to start.
step_prefix() {
  enter -- /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root WINEDEBUG=-all WINEARCH=win32 \
    WINEPREFIX="$template" sh -c 'rm -rf "$WINEPREFIX" && mkdir -p "${WINEPREFIX%/*}" &&
      wineboot -i && wineserver -w &&
      wine reg add "HKLM\System\CurrentControlSet\Control" /v ServicesPipeTimeout /t REG_SZ /d 30000 /f &&
      wineserver -w && wine cmd /c ver'
}

setup() {
  [ "$(id -u)" = 0 ] || die "run as root"
  for tool in debootstrap unshare dpkg-deb apt-get file; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
  done
  mkdir -p "$base/done"
  exec 9>"$base/lock"
  flock 9
  local started
  started=$(date +%s)
  if [ ! -f "$base/done/prefix" ]; then
    echo "i386-env: setting up in $base (log: $log)"
    step qemu
    step first_stage
    step second_stage
    step packages
    step prefix
    echo "i386-env: ready in $(($(date +%s) - started)) s"
  fi
  step locale
}

# run CMD...: the repository, the folders of the Windows builds named in the
# environment and VELKOR_I386_BINDS are bound in; the working directory is
# kept when it is inside one of them.
run() {
  [ -f "$base/done/prefix" ] || die "not set up in $base: run 'bash $top/scripts/i386-env.sh setup' first"
  [ $# -gt 0 ] || die "run: no command"
  local binds=("$top") dir extra=() b found rc=0 tmp
  for dir in "${VELKOR_WINDOWS_EXE:-}" "${VELKOR_WINDOWS_EXE_X86:-}"; do
    [ -n "$dir" ] && extra+=("$(cd "$(dirname "$dir")" && pwd)")
  done
  IFS=: read -r -a more <<<"${VELKOR_I386_BINDS:-}"
  extra+=("${more[@]}")
  for dir in "${extra[@]}"; do
    [ -n "$dir" ] || continue
    found=0
    for b in "${binds[@]}"; do
      case $dir/ in "$b"/*) found=1 ;; esac
    done
    [ $found = 1 ] || binds+=("$dir")
  done
  # A run killed before its cleanup leaves its folder; a day later it goes.
  find "$root/tmp" -maxdepth 1 -name 'run-*' -mmin +1440 -exec rm -rf {} + 2>/dev/null || true
  tmp=$(mktemp -d "$root/tmp/run-XXXXXX")
  enter "${binds[@]}" -- /usr/bin/env PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    TMPDIR="${tmp#"$root"}" WINEARCH=win32 VELKOR_WINE_PREFIX_TEMPLATE="$template" \
    bash -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$PWD" "$@" || rc=$?
  rm -rf "$tmp"
  return $rc
}

case ${1:-} in
  setup) setup ;;
  run) shift; run "$@" ;;
  ctest-setup|ctest-run)
    if [ "${VELKOR_SKIP_I686:-}" = 1 ]; then
      echo "skipped: VELKOR_SKIP_I686=1"
      exit 77
    fi
    if [ "$1" = ctest-setup ]; then setup; else shift; run "$@"; fi ;;
  *) echo "usage: $0 setup | run CMD... | ctest-setup | ctest-run CMD..." >&2; exit 2 ;;
esac

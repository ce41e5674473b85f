#!/usr/bin/env bash
# Under Wine: `isrunning` against the test server, which holds the real
# Windows byte-range lock on locks\server.lock: true/0 while it runs,
# false/1 once the lock file is left unlocked, cannot-tell/2 without a lock
# file, an instance root named by instance.loc, and a refused directory.
set -eu
. "$(dirname "$0")/lib.sh"
server="$VELKOR_WINDOWS_BIN/tests/fixtures/velkor_test_server.exe"
[ -f "$server" ] || { echo "missing $server"; exit 1; }
wine_setup
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'

# The exact bytes on standard output (text mode: CR LF) and the exit code.
check_isrunning() {
  local what=$1 dir=$2 want=$3 rc=$4
  wine_run "$exe" isrunning "$dir"
  expect_eq "$what: exit code" "$RUN_RC" "$rc"
  expect_eq "$what: output" "$(od -An -c "$RUN_OUT_RAW_FILE" | tr -s ' ')" \
    "$(printf '%s\r\n' "$want" | od -An -c | tr -s ' ')"
}

# Starts the server on a root (Windows path) and waits until it holds the lock.
start_server() {
  local root=$1 unix
  unix=$(wine_unix_path "$root")
  rm -f "$unix/locks/server.ready" # a crashed server leaves it behind
  wine "$server" "$root" >/dev/null 2>&1 &
  SERVER_PID=$!
  server_up() { [ -f "$unix/locks/server.ready" ] || ! kill -0 "$SERVER_PID" 2>/dev/null; }
  wait_until "$(wine_secs 60)" server_up && [ -f "$unix/locks/server.ready" ] && return 0
  echo "the test server did not come up on $root"
  return 1
}

# Asks the server to stop (or die) and waits for its process to end.
end_server() {
  local root=$1 how=$2
  : >"$(wine_unix_path "$root")/locks/server.$how"
  wait "$SERVER_PID" || true
}

check_isrunning "no lock file" 'C:\velkor' 'Could not determine if the server is running.' 2

start_server 'C:\velkor'
check_isrunning "server holds the lock" 'C:\velkor' 'true' 0
end_server 'C:\velkor' stop
check_isrunning "lock file left unlocked" 'C:\velkor' 'false' 1

start_server 'C:\velkor'
end_server 'C:\velkor' die
check_isrunning "server died without unlocking" 'C:\velkor' 'false' 1

# instance.loc names a sibling root, relative, ended by CR LF.
mkdir -p "$(wine_unix_path 'C:\velkor-root')"
printf '..\\velkor-root\r\n' >"$inst/instance.loc"
check_isrunning "sibling root without lock file" 'C:\velkor' 'Could not determine if the server is running.' 2
start_server 'C:\velkor-root'
check_isrunning "sibling root held" 'C:\velkor' 'true' 0
end_server 'C:\velkor-root' stop
check_isrunning "sibling root free" 'C:\velkor' 'false' 1
expect_eq "the root is resolved in the log" \
  "$(wine_log "$inst" | grep -c "^Instance root resolved from 'C:\\\\velkor\\\\instance.loc': 'C:\\\\velkor-root'.$")" 3

# A root named but missing: the installation directory is probed instead.
printf 'D:\\nowhere \t\r\n' >"$inst/instance.loc"
check_isrunning "missing root falls back to the install dir" 'C:\velkor' 'false' 1
# Not cached: resolved again by the probe after the priming call.
expect_eq "the unresolved root is logged on every call" \
  "$(wine_log "$inst" | grep -c "^ERROR:  Could not resolve the instance root 'D:\\\\nowhere' read from 'C:\\\\velkor\\\\instance.loc'.$")" 2
rm -f "$inst/instance.loc"

start_server 'C:\velkor' && wine "$server" 'C:\velkor' --no-lock >/dev/null 2>&1
check_isrunning "an extra server that never locks changes nothing" 'C:\velkor' 'true' 0
end_server 'C:\velkor' stop

check_isrunning "refused directory" 'C:\nowhere' "The instance dir 'C:\\nowhere' is not valid." 255
check_isrunning "bare drive" 'C:' "The instance dir 'C:' is not valid." 255
expect_eq "bare drive is drive-relative" \
  "$(wine_log "$inst" | grep -c "^ERROR:  The path 'C:' is drive-relative.$")" 1
finish

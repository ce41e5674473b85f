#!/usr/bin/env bash
# Under Wine: every usage message's exact bytes (text mode: CR LF) and exit
# code (-1 shows as 255), and the debug log in <install>\logs.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'

check_usage() {
  local want=$1; shift
  wine_run "$exe" "$@"
  expect_eq "exit code of [$*]" "$RUN_RC" 255
  expect_eq "bytes of [$*]" "$(od -An -c "$RUN_OUT_RAW_FILE" | tr -s ' ')" \
    "$(printf '%s\r\n' "$want" | od -An -c | tr -s ' ')"
}
check_usage 'Subcommand required: create, state, remove, start or cleanup.'
check_usage 'Unknown subcommand: [Start]' Start
check_usage 'Subcommand create requires instance dir, service name and description.' create 'C:\velkor' name
check_usage 'Subcommand state requires instance dir.' state
check_usage 'Subcommand remove requires instance dir.' remove
check_usage 'Subcommand start requires instance dir.' start
check_usage 'Subcommand isrunning requires instance dir.' isrunning
check_usage 'Subcommand cleanup requires service name.' cleanup

log=$(wine_log "$inst")
expect_eq "banner names the exe" "$(echo "$log" | head -1)" \
  "--------------- FIRST LOG MESSAGE FROM 'C:\\velkor\\lib\\velkor_service.exe' ---------------"
expect_eq "first run's lines" "$(echo "$log" | sed -n 2,4p)" "main called.
  argv[0] = 'C:\\velkor\\lib\\velkor_service.exe'
main returning -1."
expect_eq "log lines end in CR LF" "$(head -1 "$inst/logs/native-windows.out" | od -An -c | tail -1 | awk '{print $(NF-1), $NF}')" '\r \n'
finish

#!/usr/bin/env bash
# Under Wine's own SCM and registry: create registers the service and its
# event-log source, state prints its name, a second instance gets the next
# suffix, remove and cleanup delete it, and a service marked for deletion
# (deleted while another program holds it open) makes them answer 2.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_install 'C:\velkor' >/dev/null
wine_install 'C:\velkor2' >/dev/null
exe='C:\velkor\lib\velkor_service.exe'
exe2='C:\velkor2\lib\velkor_service.exe'
key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'

wine_run "$exe" state 'C:\velkor'
expect_eq "state before create: exit code" "$RUN_RC" 1
expect_eq "state before create: output" "$RUN_OUT" ""

wine_run "$exe" create 'C:\velkor' 'Velkor One' 'Velkor directory server'
expect_eq "create: exit code" "$RUN_RC" 0
expect_eq "create: output" "$RUN_OUT" ""

wine_run "$tools/scm_query.exe" 'Velkor One'
expect_eq "registered service as the SCM holds it" "$(text)" "type=0x10
start=2
error=1
binary=\"C:\\velkor\\lib\\velkor_service.exe\" start \"C:\\velkor\"
account=LocalSystem
display=Velkor One
description=Velkor directory server
preshutdown=90000"
expect_eq "create traced the preshutdown timeout" \
  "$(wine_log "$(wine_unix_path 'C:\velkor')" | grep -c "^Set the preshutdown timeout of the service 'Velkor One' to 90000 ms.$")" 1
# A service made another way keeps Wine's default preshutdown timeout.
wine sc create VelkorPlain binPath= 'C:\velkor\lib\velkor_service.exe' >/dev/null 2>&1
wine_run "$tools/scm_query.exe" VelkorPlain
expect_eq "the SCM's default preshutdown timeout" "$(text | grep '^preshutdown=')" "preshutdown=180000"
wine sc delete VelkorPlain >/dev/null 2>&1
expect_gone "the other service is deleted" VelkorPlain

values=$(wine reg query "$key\\Velkor One" 2>/dev/null | tr -d '\r' | awk 'NF >= 3 {print $1, $2}' | sort)
expect_eq "event-log source key with its four values" "$values" "CategoryCount REG_DWORD
CategoryMessageFile REG_EXPAND_SZ
EventMessageFile REG_EXPAND_SZ
TypesSupported REG_DWORD"

wine_run "$exe" state 'C:\velkor'
expect_eq "state: exit code" "$RUN_RC" 0
expect_eq "state: the name alone, no line end" "$(od -An -c "$RUN_OUT_RAW_FILE" | tr -s ' ')" \
  "$(printf 'Velkor One' | od -An -c | tr -s ' ')"

wine_run "$exe" create 'C:\velkor' 'Velkor One' 'again'
expect_eq "second create for the same instance: exit code" "$RUN_RC" 1

wine_run "$exe2" create 'C:\velkor2' 'Velkor One' 'second instance'
expect_eq "create for a second instance: exit code" "$RUN_RC" 0
wine_run "$exe2" state 'C:\velkor2'
expect_eq "second instance got the suffix -2" "$RUN_OUT" "Velkor One-2"

wine_run "$exe" remove 'C:\velkor'
expect_eq "remove: exit code" "$RUN_RC" 0
expect_eq "remove: output" "$RUN_OUT" ""
expect_gone "service gone after remove" 'Velkor One'
wine reg query "$key\\Velkor One" >/dev/null 2>&1 && gone=no || gone=yes
expect_eq "event-log key gone after remove" "$gone" yes
wine_run "$exe" state 'C:\velkor'
expect_eq "state after remove: exit code" "$RUN_RC" 1

wine_run "$exe" cleanup 'No Such Service'
expect_eq "cleanup of an unknown name: exit code" "$RUN_RC" 1
expect_eq "cleanup of an unknown name: output" "$RUN_OUT" ""

# Marked for deletion: a holder keeps a handle open while cleanup deletes.
ready=$(wine_unix_path 'C:\ready')
release=$(wine_unix_path 'C:\release')
wine "$tools/scm_hold.exe" 'Velkor One-2' 'C:\ready' 'C:\release' >/dev/null 2>&1 &
holder=$!
wait_until "$(wine_secs 30)" test -e "$ready" || true
expect_eq "holder has the service open" "$([ -e "$ready" ] && echo yes || echo no)" yes
wine_run "$exe" cleanup 'Velkor One-2'
expect_eq "cleanup while held: deleted (marked), exit code" "$RUN_RC" 0
wine_run "$exe2" remove 'C:\velkor2'
expect_eq "remove of a marked service: exit code" "$RUN_RC" 2
wine_run "$exe2" cleanup 'Velkor One-2'
expect_eq "cleanup of a marked service: exit code" "$RUN_RC" 2
touch "$release"
wait "$holder" || true
expect_gone "marked service gone once the holder closed it" 'Velkor One-2'
wine_run "$exe2" cleanup 'Velkor One-2'
expect_eq "cleanup after it went: exit code" "$RUN_RC" 1

log=$(wine_log "$(wine_unix_path 'C:\velkor2')")
expect_eq "marked-for-deletion traced" "$(echo "$log" | grep -c '^Service marked for deletion.$')" 2
finish

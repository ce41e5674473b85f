#!/usr/bin/env bash
# Under Wine: bad input where the platform is part of the answer. Arguments
# with quotes, %, ^, &, blanks, characters above 0x7F and 10,000 characters
# reach the program through Wine's command line as given (in the ANSI code
# page) and are registered with the real SCM and registry; instance.loc read
# through the C runtime's text mode (CR LF, Ctrl-Z); lock files that are
# directories, files or held with no sharing. How the program refuses each
# odd argument in each subcommand, that a refusal changes nothing, how it
# parses a broken instance.loc and treats an installation removed between
# runs are the same on every platform and checked once, by the unit tests
# (BadInput) and the fuzzers.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
long=$(printf 'q%.0s' $(seq 10000))

# expect_out WHAT WANT_EXIT WANT_BYTES: the last run's exit code and its
# standard output byte for byte (line ends written as CR LF).
expect_out() {
  expect_eq "exit code of $1" "$RUN_RC" "$2"
  expect_eq "output of $1" "$(od -An -tx1 "$RUN_OUT_RAW_FILE" | tr -d ' \n')" \
    "$(printf '%s' "$3" | od -An -tx1 | tr -d ' \n')"
}

# The registered services with their event-log sources.
services_now() {
  wine reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null | tr -d '\r' | sort
  wine reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application' 2>/dev/null | tr -d '\r' | sort
}

# ---- Odd arguments, as the program sees them ---------------------------------
wine_run "$exe" state 'C:\velkor'
services_before=$(services_now)
# "café ü" reaches the program as CP1252 bytes; a byte that is not UTF-8
# cannot be passed through at all and arrives as '?'.
odd_args=('say "hi" "' '%PATH%%s%n%d' 'a^b^^' 'x & del y && exit 3' 'two  words ' 'café ü' "$long")
for odd in "${odd_args[@]}"; do
  seen=$(printf '%s' "$odd" | iconv -f UTF-8 -t CP1252)
  label="[${odd:0:24}]"
  wine_run "$exe" "$odd"
  expect_out "unknown subcommand $label" 255 "Unknown subcommand: [$seen]"$'\r\n'
  expect_eq "traced as given $label" \
    "$(tr -d '\r' <"$inst/logs/native-windows.out" | grep -cF "  argv[1] = '$seen'" || true)" 1
done

# ---- Odd service names and descriptions ---------------------------------------
for odd in 'odd "q" %x% ^& café' 'x & del y && exit 3' "$long"; do
  seen=$(printf '%s' "$odd" | iconv -f UTF-8 -t CP1252)
  label="[${odd:0:24}]"
  wine_run "$exe" create 'C:\velkor' "$odd" "$odd"
  expect_out "create $label" 0 ''
  wine_run "$exe" state 'C:\velkor'
  expect_out "state $label (cut to 255)" 0 "${seen:0:255}"
  if [ "$odd" = "$long" ]; then
    # Wine's ANSI registry calls take key paths of up to 260 characters, so
    # the source key of a long name is refused there (traced, not fatal).
    key_rc=0
    wine reg query "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\${long:0:255}" \
      >/dev/null 2>&1 || key_rc=$?
    if [ "$key_rc" -ne 0 ]; then
      echo "note: the event-log source of a 255-character name was not created under Wine"
      expect_eq "the refused source key is traced" \
        "$(wine_log "$inst" | grep -c '^ERROR:  RegCreateKeyEx failed, result=234\.$' || true)" 1
    fi
  fi
  wine_run "$exe" remove 'C:\velkor'
  expect_out "remove $label" 0 ''
  expect_gone "removed $label" "${odd:0:255}"
done
wine_run "$exe" create 'C:\velkor' 'back\slash' d
expect_out "a backslash in a service name is refused by the SCM" 3 ''
wine_run "$exe" state 'C:\velkor'
expect_out "nothing was registered for it" 1 ''
same_services() { [ "$(services_now)" = "$services_before" ]; }
wait_until "$(wine_secs 30)" same_services || true
expect_eq "registration leaves nothing behind after removal" "$(services_now)" "$services_before"

# ---- instance.loc -----------------------------------------------------------------
mkdir -p "$inst/locks" "$inst/inst/locks"
: >"$inst/locks/server.lock"
: >"$inst/inst/locks/server.lock"
at_install="lock file name is 'C:\\velkor\\locks\\server.lock'."
at_inst="lock file name is 'C:\\velkor\\inst\\locks\\server.lock'."
check_loc() {
  local what=$1 want=$2
  rm -f "$inst/logs/native-windows.out"
  wine_run "$exe" isrunning 'C:\velkor'
  expect_out "isrunning with instance.loc: $what" 1 $'false\r\n'
  expect_eq "root with instance.loc: $what" \
    "$(tr -d '\r' <"$inst/logs/native-windows.out" | grep -cF "$want" || true)" 1
}
printf '\001\002\376\377\033[2J\r\ninst\r\n' >"$inst/instance.loc"; check_loc "binary bytes, CR LF" "$at_install"
printf 'inst\032more\r\n' >"$inst/instance.loc";              check_loc "Ctrl-Z ends a text file" "$at_inst"
rm -f "$inst/instance.loc"

# ---- Lock files the probe cannot use ----------------------------------------------
no_answer=$'Could not determine if the server is running.\r\n'
rm -f "$inst/locks/server.lock"
mkdir "$inst/locks/server.lock"
wine_run "$exe" isrunning 'C:\velkor'
expect_out "isrunning, lock file is a directory" 2 "$no_answer"
rmdir "$inst/locks/server.lock"

wine "$tools/file_hold.exe" 'C:\velkor\locks\server.lock' 'C:\held' 'C:\release' >/dev/null 2>&1 &
holder=$!
wait_until "$(wine_secs 30)" test -f "$WINEPREFIX/drive_c/held" || true
wine_run "$exe" isrunning 'C:\velkor'
expect_out "isrunning, lock file held with no sharing" 2 "$no_answer"
: >"$WINEPREFIX/drive_c/release"
wait "$holder"
wine_run "$exe" isrunning 'C:\velkor'
expect_out "isrunning, lock file released" 1 $'false\r\n'

rm -rf "$inst/locks"
printf 'not a directory' >"$inst/locks"
wine_run "$exe" isrunning 'C:\velkor'
expect_out "isrunning, locks is a file" 2 "$no_answer"
rm -f "$inst/locks"

finish

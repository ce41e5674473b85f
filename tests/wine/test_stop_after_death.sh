#!/usr/bin/env bash
# Under Wine's SCM: the server dies outside the SCM, and a stop comes some
# seconds later: before supervision's next pass, during its re-probes, or as
# it reports the end itself. Whatever the delay, the service reports exactly
# one SERVICE_STOPPED, with 1066 and -1 (the server stopped unexpectedly),
# nothing after it, and its process ends; the debug log shows the one end.
# Then, three times over, the server dies while four clients send interrogate
# controls back to back (Wine's dispatcher calls the handler under its own
# lock, which the stopped report enters): each round ends with one stopped
# report, the unexpected-end line and the process's end within 20 s of the
# report, and no interrogate takes 10 s or more.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
# Services take their environment from the registry; set before the service exists.
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_keep_up
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
sc='C:\velkor\lib\velkor_sc.exe'
cp "$fixtures/winlauncher.exe" "$fixtures/velkor_test_server.exe" "$fixtures/velkor_sc.exe" "$inst/lib/"
mkdir -p "$inst/bat" "$inst/locks"
printf '%s\r\n' '@echo off' 'start "" /b C:\velkor\lib\velkor_test_server.exe C:\velkor' \
  ':wait' 'if exist C:\velkor\locks\server.ready goto done' 'ping -n 1 127.0.0.1 >nul' \
  'goto wait' ':done' 'exit /b 0' >"$inst/bat/start-ds.bat"
state() { wine_run "$sc" wait VelkorTest "$1" 60000; printf '%s' "$RUN_OUT" | tr -d '\r'; }

wine_run "$exe" create 'C:\velkor' VelkorTest 'Velkor under test'
expect_eq "create" "$RUN_RC" 0
# Demand start: nothing starts it behind the test's back.
wine reg add 'HKLM\System\CurrentControlSet\Services\VelkorTest' /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1

# Supervision passes every 5 s once the service runs, then re-probes a free
# lock three times 2 s apart: the delays fall before, into and past that.
for delay in 0 2 4 7; do
  from=$(($(wine_log "$inst" | wc -l) + 1))
  rm -f "$inst/locks/server.die" "$inst/locks/server.ready"
  wine sc start VelkorTest >/dev/null 2>&1
  expect_eq "[$delay s] running" "$(state 4 | cut -d' ' -f1-3)" "state=4 win32=0 specific=0"
  : >"$inst/locks/server.die"
  sleep "$delay"
  wine sc stop VelkorTest >/dev/null 2>&1 || true
  expect_eq "[$delay s] stopped with the server's unexpected end" "$(state 1)" \
    "state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261"
  for _ in $(seq 100); do [ "$(wine_log "$inst" | tail -1)" = "main returning 0." ] && break; sleep 0.1; done
  round=$(wine_log "$inst" | tail -n +"$from")
  expect_eq "[$delay s] the process has ended" "$(tail -1 <<<"$round")" "main returning 0."
  # The reports the SCM was sent after the running one, state/win32/specific.
  reports=$(sed -nE 's/^Updating the service status\.  statusToSet=([0-9]+) win32ExitCode=(-?[0-9]+) serviceExitCode=(-?[0-9]+) .*/\1\/\2\/\3/p' <<<"$round" |
    sed -n '/^4\//,$p' | tail -n +2 | tr '\n' ' ')
  expect_eq "[$delay s] one report after running: stopped, 1066, -1" "$reports" "1/1066/-1 "
  after=$(sed -n '/^Updating the service status\.  statusToSet=1 /,$p' <<<"$round" | tail -n +2)
  expect_eq "[$delay s] no report after it" "$(grep -c '^Updating the service status' <<<"$after")" 0
  expect_eq "[$delay s] no probe after it" "$(grep -c '^Determining if the server is running\.$' <<<"$after")" 0
  expect_eq "[$delay s] the unexpected end is told once" \
    "$(grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$' <<<"$round")" 1
done

# One client: interrogates back to back from one process until the file
# `stop` exists, the slowest call of each process (ms) appended to its file.
interrogator() {
  local out=$1
  while [ ! -f "$VELKOR_RUN_DIR/stop" ]; do
    wine "$sc" repeat VelkorTest 4 100000 2>/dev/null |
      sed -n 's/^sent [0-9]* slowest \([0-9]*\) ms.*/\1/p' >>"$out" || true
  done
}
for round in 1 2 3; do
  # Each round starts a log of its own: a busy round's log can pass the size
  # cap, and the next process would then start it afresh.
  rm -f "$inst/logs/native-windows.out"
  from=1
  rm -f "$inst/locks/server.die" "$inst/locks/server.ready" "$VELKOR_RUN_DIR/stop" "$VELKOR_RUN_DIR"/slow.*
  wine sc start VelkorTest >/dev/null 2>&1
  expect_eq "[interrogated $round] running" "$(state 4 | cut -d' ' -f1-3)" "state=4 win32=0 specific=0"
  clients=()
  for c in 1 2 3 4; do interrogator "$VELKOR_RUN_DIR/slow.$c" & clients+=($!); done
  sleep 1
  : >"$inst/locks/server.die"
  expect_eq "[interrogated $round] stopped with the server's unexpected end" "$(state 1)" \
    "state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=261"
  stopped_at=$SECONDS
  ended=no
  while [ $((SECONDS - stopped_at)) -lt "$(wine_secs 20)" ]; do
    # The dispatcher may still log an interrogate after main's last line.
    wine_log "$inst" | grep -q '^main returning 0\.$' && { ended=yes; break; }
    sleep 0.2
  done
  : >"$VELKOR_RUN_DIR/stop"
  wait "${clients[@]}" || true
  round_log=$(wine_log "$inst" | tail -n +"$from")
  expect_eq "[interrogated $round] the process ended within 20 s of the report" "$ended" yes
  expect_eq "[interrogated $round] one stopped report" \
    "$(grep -c '^Updating the service status\.  statusToSet=1 ' <<<"$round_log")" 1
  expect_eq "[interrogated $round] the unexpected end is told" \
    "$(grep -c '^checking in serviceMain serviceHandler: service stopped with error\.$' <<<"$round_log")" 1
  expect_eq "[interrogated $round] interrogates reached the handler" \
    "$(grep -c '^serviceHandler: interrogate\.$' <<<"$round_log" | sed 's/^0$/none/; s/^[1-9][0-9]*$/some/')" some
  expect_eq "[interrogated $round] no interrogate took 10 s or more" \
    "$(cat "$VELKOR_RUN_DIR"/slow.* | awk '$1 >= 10000' | wc -l)" 0
done

wine_run "$exe" remove 'C:\velkor'
expect_eq "remove" "$RUN_RC" 0
expect_gone "the service is gone" VelkorTest
finish

#!/usr/bin/env bash
# Under Wine: several processes append to one debug log at once. WRITERS
# loops, started together, each run the program ROUNDS times with MARKS
# unique marker arguments (an unknown subcommand, so every run only traces
# its arguments). Every marker line must be in the log exactly once, every
# line must be whole (prefix, message, CR LF), and nothing else may appear.
#
# Then the size cap, measured and printed, not asserted: the log is filled
# to just over 500000 bytes and the writers start together again. Whoever
# writes first deletes the file; a writer that has the file open meanwhile
# keeps Windows from deleting it, and a writer that opens it while it is
# being deleted cannot open it at all. The figures say where the lines went.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
inst=$(wine_install 'C:\velkor')
exe='C:\velkor\lib\velkor_service.exe'
log=$inst/logs/native-windows.out
work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-logconc-XXXXXX")
trap 'rm -rf "$work"; wine_teardown' EXIT
WRITERS=${VELKOR_LOG_WRITERS:-6}
ROUNDS=${VELKOR_LOG_ROUNDS:-6}
MARKS=40
line_re="^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: \\(pid=[0-9]+\\)  .*"$'\r'"\$"

# writer ID ROUNDS TAG: runs the program ROUNDS times once "go" exists.
writer() {
  local id=$1 rounds=$2 tag=$3 round i args
  while [ ! -f "$work/go" ]; do sleep 0.01; done
  for round in $(seq "$rounds"); do
    args=()
    for i in $(seq $MARKS); do args+=("$tag-$id-$round-$i"); done
    wine "$exe" "${args[@]}" >>"$work/out.$tag.$id" 2>/dev/null || echo "rc=$?" >>"$work/rc.$tag.$id"
  done
}

# run_writers ROUNDS TAG: all writers at once; waits for them.
run_writers() {
  local rounds=$1 tag=$2 id pids=()
  rm -f "$work/go"
  for id in $(seq "$WRITERS"); do
    writer "$id" "$rounds" "$tag" &
    pids+=($!)
  done
  touch "$work/go"
  for id in "${pids[@]}"; do wait "$id"; done
}

# The marker lines a run of tag TAG must leave, sorted.
expected_markers() {
  local rounds=$1 tag=$2 id round i
  for id in $(seq "$WRITERS"); do
    for round in $(seq "$rounds"); do
      for i in $(seq $MARKS); do echo "  argv[$i] = '$tag-$id-$round-$i'"; done
    done
  done | sort
}
found_markers() {
  tr -d '\r' <"$log" | sed -E 's/^[0-9\/]+ [0-9:]+: \(pid=[0-9]+\)  //' | grep -E "^  argv\[[0-9]+\] = '$1-" | sort
}

wine_run "$exe" state 'C:\velkor' >/dev/null # settles the prefix
rm -f "$log"

# ---- Many writers, no cap ------------------------------------------------------
run_writers "$ROUNDS" mark
runs=$((WRITERS * ROUNDS))
expect_eq "every run ended with exit code 255" "$(cat "$work"/rc.mark.* | sort | uniq -c | sed 's/^ *//')" "$runs rc=255"
expected=$(expected_markers "$ROUNDS" mark)
found=$(found_markers mark)
expect_eq "marker lines missing" "$(comm -23 <(echo "$expected") <(echo "$found") | wc -l)" 0
expect_eq "marker lines twice or unknown" "$(comm -13 <(echo "$expected") <(echo "$found") | wc -l)" 0
expect_eq "lines not whole (prefix, message, CR LF)" "$(grep -cvE "$line_re" "$log" || true)" 0
expect_eq "the file ends with a line end" "$(tail -c 2 "$log" | od -An -c | tr -d ' ')" '\r\n'
expect_eq "line count: banner, main called, argv[0], markers, main returning per run" \
  "$(wc -l <"$log")" $((runs * (MARKS + 4)))
size=$(stat -c %s "$log")
expect_eq "the file stayed under the cap ($size bytes)" "$([ "$size" -le 500000 ] && echo yes)" yes
expect_eq "no writer failed to open the log" "$(cat "$work"/out.mark.* | grep -c 'Could not create log file' || true)" 0

# ---- A log another writer has open cannot be deleted ---------------------------
# What the cap relies on and the native stand-in models: the runtime's deny-none
# open shares reading and writing, not deletion, so DeleteFileA fails with
# ERROR_SHARING_VIOLATION (32) until that writer closes the log.
rm -f "$WINEPREFIX/drive_c/held" "$WINEPREFIX/drive_c/release"
wine "$tools/file_hold.exe" 'C:\velkor\logs\native-windows.out' 'C:\held' 'C:\release' denyno >/dev/null 2>&1 &
holder=$!
for _ in $(seq 200); do [ -f "$WINEPREFIX/drive_c/held" ] && break; sleep 0.05; done
set +e
wine "$tools/file_hold.exe" --delete 'C:\velkor\logs\native-windows.out' >/dev/null 2>&1
held_rc=$?
: >"$WINEPREFIX/drive_c/release"
wait "$holder"
wine "$tools/file_hold.exe" --delete 'C:\velkor\logs\native-windows.out' >/dev/null 2>&1
free_rc=$?
set -e
expect_eq "delete of the log while a writer holds it open (deny none)" "$held_rc" 32
expect_eq "delete of the log once the writer closed it" "$free_rc" 0

# ---- At the cap: measured -------------------------------------------------------
filler='2026/01/01 00:00:00: (pid=1)  filler line, written before the writers start'
for attempt in 1 2 3; do
  tag=cap$attempt
  awk -v text="$filler" 'BEGIN { n = int(500001 / (length(text) + 2)) + 1; for (i = 0; i < n; i++) printf "%s\r\n", text }' >"$log"
  before=$(stat -c %s "$log")
  run_writers 1 "$tag"
  expected=$(expected_markers 1 "$tag")
  total=$(echo "$expected" | wc -l)
  present=$(comm -12 <(echo "$expected") <(found_markers "$tag") | wc -l)
  not_opened=$(cat "$work"/out."$tag".* | grep -c 'Could not create log file' || true)
  fillers=$(tr -d '\r' <"$log" | grep -cF 'filler line' || true)
  torn=$(grep -cvE "$line_re" "$log" || true)
  echo "measure: cap attempt $attempt: log $before bytes before, $(stat -c %s "$log") after;" \
    "$present of $total marker lines in the file, $not_opened lines lost because the log could" \
    "not be opened, $((total - present - not_opened)) written to the old file and deleted with it;" \
    "old lines left: $fillers; lines not whole: $torn"
  expect_eq "cap attempt $attempt: every run ended with exit code 255" \
    "$(cat "$work"/rc."$tag".* | sort | uniq -c | sed 's/^ *//')" "$WRITERS rc=255"
done
finish

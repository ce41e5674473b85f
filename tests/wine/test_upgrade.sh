#!/usr/bin/env bash
# Under Wine, registrations an earlier release made (its line was
# "<program>" start "<directory as GetFullPathNameA gave it>", registered here
# through sc.exe): today's program finds each with state; create answers 1,
# registers no second service, brings the line to today's form and the
# preshutdown timeout to today's value, changing nothing else; the SCM then
# starts the service to RUNNING (also the ones whose escaped closing quote
# kept them from ever starting) and stops it; remove removes it. So too a
# '%' directory (not started: Wine's cmd.exe mangles '%' in a script's path)
# and two registrations of one directory; only a defined %NAME% is refused.
set -eu
. "$(dirname "$0")/lib.sh"
wine_setup
wine_set_system_env VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD 1
wine_set_system_env DEF defined
wine_keep_up
field() { text | sed -n "s/^$1=//p"; }

# D: is the directory drive_d of the prefix, as winecfg would map it.
mkdir -p "$WINEPREFIX/drive_d"
ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"

# upgrade NAME DIR LIB EARLIER TODAY [nostart]
#   DIR is the installation as create gets it, LIB its lib folder (laid out by
#   wine_install_service), EARLIER the directory argument as the earlier
#   release quoted it, TODAY as today's program does.
upgrade() {
  local name=$1 dir=$2 lib=$3 earlier=$4 today=$5 nostart=${6:-} inst i
  inst=$(wine_install_service "${lib%\\lib}")
  local exe="$lib\\velkor_service.exe"

  wine sc create "$name" binPath= "\"$exe\" start $earlier" start= auto \
    DisplayName= "Velkor earlier" >/dev/null 2>&1 || true
  wine_run "$tools/scm_query.exe" "$name"
  expect_eq "$name: registered in the earlier form" "$(field binary)" "\"$exe\" start $earlier"
  expect_eq "$name: with Wine's preshutdown timeout" "$(field preshutdown)" 180000

  wine_run "$exe" state "$dir"
  expect_eq "$name: state finds it" "$RUN_RC $(text)" "0 $name"
  wine_run "$exe" create "$dir" Velkor 'Velkor after the upgrade'
  expect_eq "$name: create answers that it exists" "$RUN_RC" 1
  wine_run "$tools/scm_query.exe" "$name"
  expect_eq "$name: the line is today's, the rest unchanged" \
    "$(field binary)|$(field start)|$(field display)|$(field preshutdown)" \
    "\"$exe\" start $today|2|Velkor earlier|90000"
  wine_run "$tools/scm_query.exe" Velkor
  expect_eq "$name: no second service" "$(text)" "error=1060"

  [ -z "$nostart" ] || { wine_run "$exe" remove "$dir"; expect_eq "$name: remove" "$RUN_RC" 0; return; }
  wine sc start "$name" >/dev/null 2>&1 || true
  wine_run "$inst/lib/velkor_sc.exe" wait "$name" 4 60000
  expect_eq "$name: running after sc start" "$(text)" \
    "state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=261"
  wine sc stop "$name" >/dev/null 2>&1 || true
  wine_run "$inst/lib/velkor_sc.exe" wait "$name" 1 60000
  expect_eq "$name: stopped after sc stop" "$(text)" \
    "state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261"

  wine_run "$exe" remove "$dir"
  expect_eq "$name: remove" "$RUN_RC" 0
  expect_gone "$name: the service is gone" "$name"
}

# A trailing separator (C:\Inst\, c:/inst3//) and a drive root were
# registered with their closing quote escaped; a directory without one was
# registered as today.
upgrade VelkorSep 'C:\Inst' 'C:\Inst\lib' '"C:\Inst\"' '"C:\Inst"'
upgrade VelkorSlashes 'c:/inst3//' 'C:\inst3\lib' '"c:\inst3\"' '"c:\inst3"'
upgrade VelkorRoot 'D:\' 'D:\lib' '"D:\"' '"D:\\"'
upgrade VelkorPlain 'C:\Plain' 'C:\Plain\lib' '"C:\Plain"' '"C:\Plain"'
upgrade VelkorPct 'C:\50% off\x%' 'C:\50% off\x%\lib' '"C:\50% off\x%\"' '"C:\50% off\x%"' nostart
wine_install 'C:\x%%y%%z' >/dev/null
wine_run 'C:\x%%y%%z\lib\velkor_service.exe' create 'C:\x%%y%%z' VelkorPct2 x
expect_eq "%% opens no pair" "$RUN_RC $(text)" "0 "
wine_install 'C:\p%DEF%q' >/dev/null
wine_run 'C:\p%DEF%q\lib\velkor_service.exe' create 'C:\p%DEF%q' VelkorDef x
expect_eq "a defined %DEF% is refused" "$RUN_RC $(text | cut -c1-43)" "255 The directory 'C:\p%DEF%q' contains '%DEF%'"

inst=$(wine_install_service 'C:\Dup') exe='C:\Dup\lib\velkor_service.exe'
wine sc create Dup binPath= "\"$exe\" start \"C:\Dup\\\"" start= auto >/dev/null 2>&1 || true
wine sc create Dup-2 binPath= "\"$exe\" start \"C:\Dup\"" start= auto >/dev/null 2>&1 || true
wine_run "$exe" create 'C:\Dup' Velkor x
dup=$RUN_RC:$(text)
wine_run "$exe" state 'C:\Dup'
kept=$(text) extra=Dup && [ "$kept" != Dup ] || extra=Dup-2
expect_eq "Dup: create names both and the extra one's cleanup" "$dup" \
  "1:The installation 'C:\Dup' is registered as 2 services, each now up to date: '$kept' (the one state names), '$extra'. Remove each extra one with: cleanup \"$extra\""
wine_run "$tools/scm_query.exe" Dup && dup=$(field binary) && wine_run "$tools/scm_query.exe" Dup-2
expect_eq "Dup, Dup-2: today's lines" "$dup|$(field binary)" "\"$exe\" start \"C:\Dup\"|\"$exe\" start \"C:\Dup\""
wine_run "$exe" cleanup "$extra"
expect_eq "Dup: cleanup of the extra one" "$RUN_RC" 0
wine_run "$exe" remove 'C:\Dup'
expect_eq "Dup: remove" "$RUN_RC" 0
expect_gone "Dup: both are gone" "$kept"
finish

#!/usr/bin/env bash
# The resources of the program file: the message catalogue as Windows formats
# it (each id with one insertion string, lines ending in CR LF), the manifest
# element by element, and both resources (type 11 and 24, name 1, language
# 1033) in the x86_64 and the i686 builds.
set -eu
. "$(dirname "$0")/lib.sh"

# "<type> <name> <language>" for every resource, from objdump's listing of
# the resource directory (an entry's depth is told by its indentation).
resource_triples() {
  local type name language
  objdump -p "$1" | sed -n '/The .rsrc Resource Directory/,/Resources start/p' | awk '
    /Entry: ID:/ {
      match($0, /^[0-9a-f]+ +/); depth = RLENGTH
      id = $0; sub(/.*ID: 0x/, "", id); sub(/,.*/, "", id)
      if (depth == 6) type = id; else if (depth == 8) name = id; else if (depth == 10) print type, name, id
    }' | while read -r type name language; do
    echo "$((16#$type)) $((16#$name)) $((16#$language))"
  done
}
both=$'11 1 1033\n24 1 1033'
expect_eq "resources of the x86_64 build (objdump)" "$(resource_triples "$VELKOR_WINDOWS_EXE")" "$both"
if [ -n "${VELKOR_WINDOWS_EXE_X86:-}" ]; then
  expect_eq "resources of the i686 build (objdump)" "$(resource_triples "$VELKOR_WINDOWS_EXE_X86")" "$both"
else
  expect_eq "i686 build named" "no VELKOR_WINDOWS_EXE_X86" "a path"
fi

wine_setup
wine_install 'C:\velkor' >/dev/null
exe='C:\velkor\lib\velkor_service.exe'
tool="$VELKOR_WINDOWS_BIN/tests/wintools/read_resources.exe"

wine_run "$tool" "$exe" list
expect_eq "resources as Windows enumerates them" "$RUN_OUT" "$both"

# The tool prints CR, LF and backslash as \r, \n and \\.
insert='C:\velkor\inst "1"'
shown=${insert//\\/\\\\}
in_line="Velkor is in $shown.\\r\\n"
wine_run "$tool" "$exe" messages "$insert"
expect_eq "tool exit code" "$RUN_RC" 0
expect_eq "catalogue texts with one insertion string" "$RUN_OUT" "0x0FA00001 Velkor has started.\\r\\n$in_line
0x0FA00002 Velkor has shutdown.\\r\\n$in_line
0xCFA00003 Velkor failed in startup.\\r\\n$in_line
0xCFA00004 Velkor failed in stop.\\r\\n$in_line
0x4FA00005 $shown\\r\\n
0xCFA00006 Velkor stopped outside the Service Control Manager.\\r\\n$in_line"

wine_run "$tool" "$exe" manifest
expect_eq "manifest found in language 1033" "$RUN_RC" 0
# Every element with its attributes, in document order, namespaces spelled out.
elements=$(python3 - "$RUN_OUT_RAW_FILE" <<'PY'
import sys, xml.etree.ElementTree as ET
def walk(element, depth):
    attributes = " ".join(f"{k}={v}" for k, v in sorted(element.attrib.items()))
    text = (element.text or "").strip()
    print("  " * depth + element.tag + (" " + attributes if attributes else "") + (" [" + text + "]" if text else ""))
    for child in element:
        walk(child, depth + 1)
walk(ET.parse(sys.argv[1]).getroot(), 0)
PY
)
v1='{urn:schemas-microsoft-com:asm.v1}'
v2='{urn:schemas-microsoft-com:asm.v2}'
expect_eq "manifest elements" "$elements" "${v1}assembly manifestVersion=1.0
  ${v1}assemblyIdentity name=velkor_service processorArchitecture=X86 type=win32 version=1.0.0.0
  ${v1}description [Executable used to run Velkor as a Windows Service]
  ${v2}trustInfo
    ${v2}security
      ${v2}requestedPrivileges
        ${v2}requestedExecutionLevel level=asInvoker uiAccess=false"
finish

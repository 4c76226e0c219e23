#!/usr/bin/env bash
# Checks a Windows binary's export and import tables with objdump -p:
#   check-pe.sh OBJDUMP QN38HotPlug.dll   the DLL exports exactly the thirteen
#                                         names and WriteLogFile's Visual C++ name
#   check-pe.sh OBJDUMP program.exe       imports only (no exports expected)
# Either way the binary may import Windows system DLLs only, and a program the
# project's own library besides: the MinGW runtime is linked in statically.
# The service imports exactly the library's four exports that change the
# system, the tool exactly its three read-only queries, qn38ctl those and
# ZQ_ReadPCI.
set -euo pipefail
objdump=$1
binary=$2
dump=$(LC_ALL=C "$objdump" -p "$binary")
status=0

# Fails unless the names (one per line on standard input) are exactly the
# expected ones, in any order: expect_names WHAT EXPECTED. Fed by redirection,
# not a pipe, so that the failure reaches this shell's status.
expect_names() {
  local actual
  actual=$(LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
  if [[ $actual != "$2" ]]; then
    echo "FAIL: $(basename "$binary") $1"
    echo "  expected: $2"
    echo "  actual:   $actual"
    status=1
  fi
}

# Fails unless a program imports exactly these names from the project's library.
expect_library_imports() {
  # The import table lists "vma hint name" lines under the DLL's name.
  expect_names "imports from QN38HotPlug.dll" "$1" \
    < <(sed -n '/DLL Name: QN38HotPlug.dll/,/^$/ s/^\s*[0-9a-f]\+\s\+[0-9]\+\s\+//p' <<<"$dump")
}

allowed='^(kernel32|user32|gdi32|advapi32|setupapi|cfgmgr32|shell32|comctl32|comdlg32|ole32|oleacc|oleaut32|version|ntdll|msvcrt|ws2_32|shlwapi|uxtheme|rpcrt4|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r dll; do
  if [[ $(basename "$binary") == *.exe && ${dll,,} == qn38hotplug.dll ]]; then continue; fi
  if ! [[ ${dll,,} =~ $allowed ]]; then
    echo "FAIL: $(basename "$binary") imports $dll, which is not a Windows system DLL"
    status=1
  fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")

if [[ $(basename "$binary") == QN38HotPlug.dll ]]; then
  # Visual C++ spells a 64-bit (PE32+, 020b) pointer PEB, a 32-bit one PB.
  msvc='?WriteLogFile@@YAHPB_W@Z'
  if [[ $dump =~ Magic[[:space:]]+020b ]]; then msvc='?WriteLogFile@@YAHPEB_W@Z'; fi
  expected="$msvc GetDevNodeRegistryProperty GetDeviceRegistryProperty ZQ_AddFilter ZQ_DelFilter ZQ_DoesExistNoFilterRootPort ZQ_GetCardInfo ZQ_GetStatus ZQ_ReadPCI ZQ_SetSize ZQ_SetStatus ZQ_SetStatusWithVeto ZQ_WriteLog ZQ_WritePCI _Z12WriteLogFilePKw"
  # The export name table lists "[ordinal] name" lines after its heading.
  expect_names exports "$expected" < <(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/ s/^\s*\[ *[0-9]*\] //p' <<<"$dump")
fi

case $(basename "$binary") in
  QN38HotPlugService.exe) expect_library_imports "ZQ_AddFilter ZQ_GetStatus ZQ_SetSize ZQ_SetStatusWithVeto ZQ_WriteLog" ;;
  QN38HotPlugTool.exe) expect_library_imports "ZQ_DoesExistNoFilterRootPort ZQ_GetCardInfo ZQ_GetStatus" ;;
  # The command line changes nothing itself either: its stops and starts go to the service.
  qn38ctl.exe) expect_library_imports "ZQ_DoesExistNoFilterRootPort ZQ_GetCardInfo ZQ_GetStatus ZQ_ReadPCI" ;;
esac

if ((status == 0)); then echo "ok: $(basename "$binary")"; fi
exit $status

#!/usr/bin/env bash
# Checks an installer package's tables, read with msiinfo, and its files:
#   check-msi.sh OBJDUMP ROOT x64|x86
# ROOT/build/package/QN38HotPlug-VERSION-ARCH.msi must hold the three
# deliverables, all images of ARCH, in Program Files\QN38HotPlug, register the
# service as the service control manager's own process, started at boot as
# LocalSystem, and write the Run value only when asked. Exits 77 (skipped)
# when scripts/package has not made the package yet.
set -euo pipefail
objdump=$1
root=$2
arch=$3
msi=$root/build/package/QN38HotPlug-$("$root/scripts/package" --print-version)-$arch.msi
if [[ ! -f $msi ]]; then
  echo "no $msi: run scripts/package"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $(basename "$msi"): $*"
  status=1
}
# Prints a table's rows, without the three heading lines.
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
# Fails unless the table holds exactly this row (tab-separated columns).
expect_row() {
  grep -qxF "$2" <(table "$1") || fail "$1 lacks the row: $2"$'\n'"$(table "$1")"
}

case $arch in
  x64) magic=020b program_files=ProgramFiles64Folder bits=256 launch=VersionNT64 ;;
  x86) magic=010b program_files=ProgramFilesFolder bits=0 launch='NOT VersionNT64' ;;
esac

# Every file the package installs, taken out of its cabinet.
(cd "$work" && msiextract "$msi" >/dev/null)
files=$(table File | cut -f3 | sort | tr '\n' ' ')
[[ $files == "QN38HotPlug.dll QN38HotPlugService.exe QN38HotPlugTool.exe " ]] || fail "installs: $files"
for name in $files; do
  image=$(find "$work" -name "$name" -type f | head -n 1)
  if [[ -z $image ]]; then
    fail "$name is not in the cabinet"
  elif [[ $(LC_ALL=C "$objdump" -p "$image" | sed -n 's/^Magic\s\+\([0-9a-f]*\).*/\1/p') != "$magic" ]]; then
    fail "$name is not an $arch image"
  fi
done

expect_row Directory $'INSTALLDIR\t'"$program_files"$'\tQN38HotPlug'
for component in Library Service Tool; do
  [[ $(table Component | awk -F'\t' -v c="$component" '$1 == c {print $4}') == $((bits)) ]] ||
    fail "component $component is not marked for $arch"
done
table LaunchCondition | awk -F'\t' -v c="$launch" '$1 == c && $2 ~ /^This package is for / {found = 1} END {exit !found}' ||
  fail "no check for the machine"

# ServiceType 16: own process; StartType 2: automatic; ErrorControl 1: normal.
service=$(table ServiceInstall)
awk -F'\t' '$2 == "QN38HotPlugService" && $4 == 16 && $5 == 2 && $6 == 1 && $9 == "LocalSystem" &&
  $12 == "Service" && $13 != "" {found = 1} END {exit !found}' <<<"$service" || fail "service row: $service"
# 163: started on install, stopped on install and uninstall, deleted on uninstall.
expect_row ServiceControl $'ServiceControl\tQN38HotPlugService\t163\t\t1\tService'

run_key='Software\Microsoft\Windows\CurrentVersion\Run'
table Registry | grep -qP "^\\w+\\t1\\t\\Q$run_key\\E\\tQN38HotPlugTool\\t\"\\[#ToolExe\\]\"\\tStartAtLogon\$" ||
  fail "no Run value as the settings dialog writes it"
[[ $(table Component | awk -F'\t' '$1 == "StartAtLogon" {print $5}') == 'STARTATLOGON = 1 OR LOGONRUNVALUE' ]] ||
  fail "the Run value is not conditional on STARTATLOGON"
table Shortcut | grep -qP '^\w+\tProgramMenuFolder\t[^\t]+\t\w+\t\[#ToolExe\]\t' || fail "no Start-menu shortcut to the tool"

if ((status == 0)); then echo "ok: $(basename "$msi")"; fi
exit $status

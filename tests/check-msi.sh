#!/usr/bin/env bash
# Checks ROOT/build/package/QN38HotPlug-VERSION-ARCH.msi with msiinfo and msiextract:
#   check-msi.sh OBJDUMP ROOT x64|x86
# Exits 77 (skipped) when scripts/package has not made the package yet.
set -euo pipefail
objdump=$1
root=$2
arch=$3
msi=$root/build/package/QN38HotPlug-$("$root/scripts/package" --print-version)-$arch.msi
[[ -f $msi ]] || { echo "no $msi: run scripts/package"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
# Fails unless a row of the table matches the Perl pattern (columns split by \t).
expect() {
  msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r' | grep -qP "$2" || {
    echo "FAIL: $(basename "$msi"): $3"
    status=1
  }
}
case $arch in
  x64) magic=020b folder=ProgramFiles64Folder bits=256 launch=VersionNT64 ;;
  x86) magic=010b folder=ProgramFilesFolder bits=0 launch='NOT VersionNT64' ;;
esac

(cd "$work" && msiextract "$msi" >/dev/null)
for name in QN38HotPlug.dll QN38HotPlugService.exe QN38HotPlugTool.exe qn38ctl.exe; do
  # The 64-bit attribute (256) keeps Windows from redirecting the component.
  component=$(msiinfo export "$msi" File | awk -F'\t' -v n="$name" '$3 == n {print $2}')
  expect Component "^$component\\t[^\\t]*\\tINSTALLDIR\\t$bits\\t" "$name is not installed as an $arch file"
  image=$(find "$work" -name "$name" -type f | head -n 1)
  [[ -n $image && $(LC_ALL=C "$objdump" -p "$image" | sed -n 's/^Magic\s\+\([0-9a-f]*\).*/\1/p') == "$magic" ]] || {
    echo "FAIL: $(basename "$msi"): $name is not an $arch image"
    status=1
  }
done
expect Directory "^INSTALLDIR\\t$folder\\tQN38HotPlug\$" "not for $folder\\QN38HotPlug"
expect LaunchCondition "^$launch\\tThis package is for " "no check for the machine"
# Own process (16), automatic (2), normal error control (1).
expect ServiceInstall '^\w+\tQN38HotPlugService\t[^\t]*\t16\t2\t1\t\t\tLocalSystem\t\t\tService\t.+$' "service row"
# Started on install (1), stopped on install (2) and uninstall (32), deleted on uninstall (128).
expect ServiceControl '^\w+\tQN38HotPlugService\t163\t\t1\tService$' "service control row"
expect Registry '^\w+\t1\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tQN38HotPlugTool\t"\[#ToolExe\]"\tStartAtLogon$' \
  "no Run value as the settings dialog writes it"
expect Component '^StartAtLogon\t.*\tSTARTATLOGON = 1 OR LOGONRUNVALUE\t' "the Run value is not conditional on STARTATLOGON"
expect Shortcut '^\w+\tProgramMenuFolder\t[^\t]+\t\w+\t\[#ToolExe\]\t' "no Start-menu shortcut to the tool"
((status == 0)) && echo "ok: $(basename "$msi")"
exit $status

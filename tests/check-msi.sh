#!/usr/bin/env bash
# Checks ROOT/build/package/QN38HotPlug-VERSION-ARCH.msi with msiinfo and msiextract,
# and the version resource of every file it installs with the resource check:
#   check-msi.sh OBJDUMP ROOT x64|x86 RESOURCE_CHECK
# Exits 77 (skipped) when scripts/package has not made the package yet.
set -euo pipefail
objdump=$1
root=$2
arch=$3
resource_check=$4
version=$("$root/scripts/package" --print-version)
msi=$root/build/package/QN38HotPlug-$version-$arch.msi
[[ -f $msi ]] || { echo "no $msi: run scripts/package"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# msiinfo writes a table's binary streams into a folder where it runs.
cd "$work"
status=0
# Fails unless a row of the table matches the Perl pattern (columns split by \t).
expect() {
  msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r' | grep -qP "$2" || {
    echo "FAIL: $(basename "$msi"): $3"
    status=1
  }
}
case $arch in
  x64) magic=020b folder=ProgramFiles64Folder bits=256 launch=VersionNT64 system=System64Folder ;;
  x86) magic=010b folder=ProgramFilesFolder bits=0 launch='NOT VersionNT64' system=SystemFolder ;;
esac

msiextract "$msi" >/dev/null
for name in QN38HotPlug.dll QN38HotPlugService.exe QN38HotPlugTool.exe qn38logread.exe qn38ctl.exe; do
  # The 64-bit attribute (256) keeps Windows from redirecting the component.
  component=$(msiinfo export "$msi" File | awk -F'\t' -v n="$name" '$3 == n {print $2}')
  expect Component "^$component\\t[^\\t]*\\tINSTALLDIR\\t$bits\\t" "$name is not installed as an $arch file"
  image=$(find "$work" -name "$name" -type f | head -n 1)
  [[ -n $image && $(LC_ALL=C "$objdump" -p "$image" | sed -n 's/^Magic\s\+\([0-9a-f]*\).*/\1/p') == "$magic" ]] || {
    echo "FAIL: $(basename "$msi"): $name is not an $arch image"
    status=1
  }
  # Windows Installer compares a versioned file by the table's version, which
  # must be the one the file carries.
  expect File '^\w+\t'"$component"'\t'"$name"'\t\d+\t'"${version//./\\.}"'\t' "$name has no version in the File table"
  [[ -n $image ]] && ! "$resource_check" --gtest_brief=1 --gtest_filter='ShippedVersion.*' "$image" && {
    echo "FAIL: $(basename "$msi"): $name's version resource"
    status=1
  }
done
expect Directory "^INSTALLDIR\\t$folder\\tQN38HotPlug\$" "not for $folder\\QN38HotPlug"
expect LaunchCondition "^$launch\\tThis package is for " "no check for the machine"
# Own process (16), automatic (2), normal error control (1).
expect ServiceInstall '^\w+\tQN38HotPlugService\t[^\t]*\t16\t2\t1\t\t\tLocalSystem\t\t\tService\t.+$' "service row"
# Started on install (1), stopped on install (2) and uninstall (32), deleted on uninstall (128).
expect ServiceControl '^\w+\tQN38HotPlugService\t163\t\t1\tService$' "service control row"
# Recovery: an exit with an error code counts as a failure, from Windows
# Installer's own table, on install and reinstall; the actions from sc.exe as
# LocalSystem, deferred, on every install and repair; both between
# InstallServices and StartServices.
expect MsiServiceConfig '^ServiceFailureFlag\tQN38HotPlugService\t5\t4\t1\tService$' \
  "recovery does not cover exits with an error code"
expect InstallExecuteSequence '^MsiConfigureServices\t\t5850$' "MsiConfigureServices is not run after InstallServices"
expect CustomAction '^ServiceRecovery\t3170\tINSTALLDIR\t"\[SystemFolder\]sc\.exe" failure QN38HotPlugService reset= 86400 actions= restart/5000/restart/5000/restart/60000(\t|$)' \
  "no recovery actions for the service"
expect InstallExecuteSequence '^ServiceRecovery\tNOT REMOVE~="ALL"\t5860$' "ServiceRecovery is not run after MsiConfigureServices"
expect InstallExecuteSequence '^InstallServices\t[^\t]*\t5800$' "InstallServices is not at 5800"
expect InstallExecuteSequence '^StartServices\t[^\t]*\t5900$' "StartServices is not at 5900"
expect Registry '^\w+\t1\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tQN38HotPlugTool\t"\[#ToolExe\]"\tStartAtLogon$' \
  "no Run value as the settings dialog writes it"
expect Component '^StartAtLogon\t.*\tSTARTATLOGON = 1 OR LOGONRUNVALUE\t' "the Run value is not conditional on STARTATLOGON"
# The machine's own reg.exe, which a 64-bit Windows without its 32-bit subsystem still has.
expect CustomAction '^RemoveRunValue\t1122\tINSTALLDIR\t"\['"$system"'\]reg\.exe" delete ' "the Run value's removal"
expect Shortcut '^\w+\tProgramMenuFolder\t[^\t]+\t\w+\t\[#ToolExe\]\t' "no Start-menu shortcut to the tool"
expect Property '^ProductVersion\t'"${version//./\\.}"'$' "the product's version is not the version resource's"
company=$(sed -n 's/^#define QN38_COMPANY_NAME "\(.*\)"/\1/p' "$root/version/QN38Version.h")
expect Property '^Manufacturer\t'"$company"'$' "the manufacturer is not the version resource's company"
# A version that Windows Installer could not tell from this one is refused.
if "$root/scripts/package" --version "${version%.*}.$((${version##*.} + 1))" --print-version >/dev/null 2>&1; then
  echo "FAIL: scripts/package takes a version that differs in the fourth field only"
  status=1
fi

# Add/Remove Programs: the tool's icon, no Modify, the log reader named for support; a log of every run.
expect Property '^ARPPRODUCTICON\tToolIcon\.ico$' "no icon in Add/Remove Programs"
expect Icon '^ToolIcon\.ico\t' "no icon in Add/Remove Programs"
expect Property '^ARPNOMODIFY\t1$' "Add/Remove Programs offers a Modify"
expect Property '^ARPCOMMENTS\t.*\[INSTALLDIR\]qn38logread\.exe' "the help text does not name the log reader"
expect Property '^MsiLogging\tv' "no verbose log of every install"
# Every user's start at log-on through Active Setup (HKLM, 2), for a per-machine
# install with STARTATLOGON=1 or one that had it; the search reads the
# machine's own registry view (64-bit: 16 + raw 2).
active_setup='Software\\Microsoft\\Active Setup\\Installed Components\\\{6E0C2B1F-3F57-4C8E-9A2D-5B7E1C0A6410\}'
expect Registry '^\w+\t2\t'"$active_setup"'\tStubPath\t"\['"$system"'\]reg\.exe" add HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run /v QN38HotPlugTool /t REG_SZ /d "\\"\[#ToolExe\]\\"" /f\tStartAtLogonForEveryUser$' \
  "no Active Setup stub writing the Run value as the settings dialog writes it"
expect Registry '^\w+\t2\t'"$active_setup"'\tVersion\t1,0,0,0\tStartAtLogonForEveryUser$' "no Active Setup version"
expect Registry '^\w+\t2\t'"$active_setup"'\tIsInstalled\t#1\tStartAtLogonForEveryUser$' "Active Setup entry not enabled"
expect Component '^StartAtLogonForEveryUser\t.*\tSTARTATLOGON = 1 OR ACTIVESETUPSTUB\t' \
  "the Active Setup entry is not conditional on STARTATLOGON"
expect RegLocator '^\w+\t2\t'"$active_setup"'\tStubPath\t'"$((bits == 256 ? 18 : 2))"'$' "no search for an Active Setup entry"
expect Property '^SecureCustomProperties\t(.*;)?ACTIVESETUPSTUB;' "the Active Setup search does not reach the server side"
((status == 0)) && echo "ok: $(basename "$msi")"
exit $status

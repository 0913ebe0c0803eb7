#!/usr/bin/env bash
# Reads the installer's tables back with msiinfo and checks what Wine's
# msiexec could install wrongly without saying so.
#   tests/wine/check_msi.sh MSI VERSION
set -uo pipefail
msi=${1:?usage: check_msi.sh MSI VERSION}
version=${2:?usage: check_msi.sh MSI VERSION}
failed=0
check() { # check STATUS WHAT
    if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failed=$((failed + 1)); fi
}
table() { msiinfo export "$msi" "$1" 2>/dev/null | tr -d '\r' | tail -n +4; }

tables=$(msiinfo tables "$msi" | tr '\n' ' ')
for name in File Component ServiceInstall ServiceControl Registry Environment Upgrade; do
    [[ " $tables " == *" $name "* ]]
    check $? "table $name is there"
done
[ "$(table Property | awk -F'\t' '$1 == "ProductVersion" {print $2}')" = "$version" ]
check $? "ProductVersion is $version"
files=$(table File | cut -f3 | sort | tr '\n' ' ')
for name in brivant.exe BRIVANT.dll BRIVANT.lib BRIVANT.dll.a BRIVANT.def brivant.h brivant.hpp \
    brivant_version.h station.toml mosquitto-LICENSE.txt sqlite-LICENSE.md openssl-LICENSE.txt \
    protobuf-c-LICENSE.txt; do
    [[ " $files " == *" $name "* ]]
    check $? "file $name"
done
[ "$(table File | cut -f3 | grep -cx BRIVANT.dll)" -eq 2 ]
check $? "two BRIVANT.dll: x64 and x86"
table ServiceInstall | awk -F'\t' '$2 == "Brivant" && $4 == 16 && $5 == 3 && $11 ~ /^service run --config / {ok = 1} END {exit !ok}'
check $? "ServiceInstall: Brivant, own process, on demand, service run --config"
# Stop at install and uninstall (0x22), remove at uninstall (0x80), wait.
table ServiceControl | awk -F'\t' '$2 == "Brivant" && $3 == 162 && $5 == 1 {ok = 1} END {exit !ok}'
check $? "ServiceControl: stopped at install and uninstall, removed at uninstall"
# Win64 (0x100) + Permanent (0x10) + NeverOverwrite (0x80).
table Component | awk -F'\t' '$1 == "StationFile" && $4 == 400 {ok = 1} END {exit !ok}'
check $? "the station file's component is permanent and never overwritten"
table Environment | awk -F'\t' '$2 == "=-*PATH" && $3 == "[~];[INSTALLDIR]" {ok = 1} END {exit !ok}'
check $? "Environment: the install folder appended to the system PATH, removed at uninstall"
table InstallExecuteSequence | grep -q '^WriteEnvironmentStrings'
check $? "WriteEnvironmentStrings is sequenced"
table Upgrade | grep -q .
check $? "MajorUpgrade: an Upgrade row"
# An upgrade keeps the service as it was: read after FindRelatedProducts
# has found the old product and before RemoveExistingProducts takes it and
# its service away; put back after StartServices. The group given at the
# first install is read from the registry after what the command line gave
# is set aside, and is what an upgrade given none takes.
at() { table InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a {print $3}'; }
[ "$(at FindRelatedProducts)" -lt "$(at RememberService)" ] &&
    [ "$(at RememberService)" -lt "$(at RemoveExistingProducts)" ] &&
    [ "$(at StartServices)" -lt "$(at RestoreService)" ] && [ "$(at RestoreService)" -lt "$(at InstallFinalize)" ]
check $? "RememberService before RemoveExistingProducts, RestoreService after StartServices"
[ "$(at SetAsideReaderGroup)" -lt "$(at AppSearch)" ] && [ "$(at AppSearch)" -lt "$(at TakeGivenReaderGroup)" ] &&
    [ "$(at TakeGivenReaderGroup)" -lt "$(at DefaultReaderGroup)" ] && [ "$(at DefaultReaderGroup)" -lt "$(at CostFinalize)" ]
check $? "READERGROUP: the given one set aside, the registry's read, the given one put back, then Users"
# Deferred (0x400), not impersonated (0x800), its status ignored (0x40): the
# installed brivant.exe (18) runs as the installer's service account.
table CustomAction | awk -F'\t' '$1 == "RestoreService" && $2 == 3154 && $3 == "brivant.exe" && $4 ~ /^service restore / {ok = 1} END {exit !ok}'
check $? "RestoreService: brivant.exe service restore, deferred, as the system"
table Registry | awk -F'\t' '$4 == "ReaderGroup" && $5 == "[READERGROUP]" {ok = 1} END {exit !ok}'
check $? "READERGROUP kept in the registry as ReaderGroup"
echo "msi: $failed failed"
[ "$failed" -eq 0 ]

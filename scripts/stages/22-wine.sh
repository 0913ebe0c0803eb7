#!/usr/bin/env bash
# The Wine suite driving each real DLL of 20-windows in a fresh Wine prefix of
# its own architecture (made and removed by tests/wine/run_suite.sh); in the
# x64 prefix also brivant.exe, and the MSI installed, its service run with
# MQTT to a Mosquitto on this machine, upgraded while it runs and while it is
# stopped, stopped and uninstalled.
# packages: build windows msi wine wine32 python servers
# after: 20-windows
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need wine wine32 python msi
need_packages mosquitto mosquitto-clients
# The Sparkplug host of the servers suite reads the service's edge node.
install_sparkplug_host
export BRIVANT_SPARKPLUG_HOST=$BRIVANT_ROOT/tests/sparkplug-host/host.mjs
build_dir=$BRIVANT_ROOT/build-win
[ -f "$build_dir/BRIVANT.dll" ] && [ -f "$build_dir-x86/BRIVANT.dll" ] ||
    bash "$BRIVANT_ROOT/scripts/build-windows.sh" "$build_dir"
version=$(brivant_version)
msi=$BRIVANT_ROOT/dist/BRIVANT-$version-x64.msi
# The same files as installers of two higher versions, which the service
# checks upgrade to, once while the service runs and once while it is
# stopped.
IFS=. read -r major minor patch <<<"$version"
upgrades=""
for step in 1 2; do
    next=$build_dir/upgrade/BRIVANT-$major.$minor.$((patch + step))-x64.msi
    bash "$BRIVANT_ROOT/scripts/build-msi.sh" "$build_dir" "$next" "$major.$minor.$((patch + step))"
    upgrades+="$next "
done

echo "--- wine suite, the tool, the installer and the service"
log=$build_dir/wine-x64.log
BRIVANT_MSI=$msi BRIVANT_MSI_UPGRADES=$upgrades bash "$BRIVANT_ROOT/tests/wine/run_suite.sh" "$build_dir" | tee "$log"
for what in "wine" "wine tool" "wine tls" "wine service"; do
    count_matched "$what checks, x64" "s/^$what: ([0-9]+) passed, 0 failed$/\1/p" "$log"
done

echo "--- wine suite, x86 (32-bit prefix)"
status=0
bash "$BRIVANT_ROOT/tests/wine/run_suite.sh" "$build_dir-x86" win32 | tee "$build_dir-x86/wine-x86.log" ||
    status=$?
if [ "$status" -eq 3 ]; then
    # Said, not hidden: the x86 DLL's checks in 20-windows ran, its Wine suite did not.
    echo "SKIPPED: the x86 Wine suite (this machine's kernel runs no 32-bit programs)"
    count "wine checks, x86 (skipped: no 32-bit programs here)" 0
elif [ "$status" -ne 0 ]; then
    exit "$status"
else
    count_matched "wine checks, x86" 's/^wine: ([0-9]+) passed, 0 failed$/\1/p' "$build_dir-x86/wine-x86.log"
fi

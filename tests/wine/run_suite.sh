#!/usr/bin/env bash
# Runs the Wine suite against a built BRIVANT.dll in a fresh, temporary Wine
# prefix, which is shut down and removed afterwards whatever happens.
#   tests/wine/run_suite.sh BUILD_DIR [win64|win32]
# BUILD_DIR holds BRIVANT.dll and tests/wine/{winusb.dll,brivant_wine_suite.exe},
# all built for the prefix's architecture: win64 (the default) for the x64
# build, win32 (a 32-bit prefix, which needs wine32) for the x86 one.
# Passes only when the suite's last line reads "wine: N passed, 0 failed".
# With brivant.exe in BUILD_DIR (the win64 build), the tool's checks
# (tool_checks.sh) then run in the same prefix.
set -euo pipefail

build_dir=$(cd "${1:?usage: run_suite.sh BUILD_DIR [win64|win32]}" && pwd)
arch=${2:-win64}
case $arch in win64 | win32) ;; *) echo "run_suite.sh: no architecture '$arch'" >&2; exit 2 ;; esac
class_guid='{85b54c78-94cc-4866-a4bd-464e49dfc5e4}'
registered_units=17 # unit00..unit16, as the suite registers them
wine_timeout=${BRIVANT_WINE_TIMEOUT:-300}

work=$(mktemp -d /tmp/brivant-wine.XXXXXX)
export WINEPREFIX=$work/prefix
# The wineserver makes its socket folder under TMPDIR: keep it inside $work.
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
export WINEARCH=$arch
export WINEDEBUG=-all
# No mono or gecko prompts; the winusb.dll next to the suite, not Wine's.
export WINEDLLOVERRIDES='mscoree,mshtml=;winusb=n'

cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        timeout 60 wineserver -k >/dev/null 2>&1 || true
        timeout 60 wineserver -w >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Debian's `wine` starts its 32-bit loader first, which a kernel that runs no
# 32-bit programs (IA32 emulation off, as on some virtual machines) cannot
# start; there the 64-bit loader stands in as `wine` for a 64-bit prefix,
# and a 32-bit prefix cannot be had at all.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    if [ "$arch" = win32 ]; then
        echo "run_suite.sh: this machine runs no 32-bit programs, so no 32-bit Wine prefix" >&2
        exit 3
    fi
    mkdir -p "$work/bin"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$work/bin/wine"
    chmod +x "$work/bin/wine"
    export PATH=$work/bin:$PATH
fi

echo "wine prefix $WINEPREFIX, $arch ($(wine --version 2>/dev/null))"
if ! timeout "$wine_timeout" wine wineboot --init >"$work/wineboot.log" 2>&1; then
    echo "wineboot failed to set up the prefix:" >&2
    tail -n 20 "$work/wineboot.log" >&2
    exit 1
fi
timeout 60 wineserver -w

# Every unit's device path leads to a file holding its two-digit number,
# which is how the winusb.dll double tells the units apart.
mkdir -p "$work/units" "$work/run"
for ((unit = 0; unit < registered_units; unit++)); do
    nn=$(printf '%02d' "$unit")
    printf '%s' "$nn" >"$work/units/unit$nn"
    ln -s "$work/units/unit$nn" "$WINEPREFIX/dosdevices/usb#vid_1234&pid_0001#unit$nn#$class_guid"
done

cp "$build_dir/BRIVANT.dll" "$build_dir/tests/wine/winusb.dll" \
    "$build_dir/tests/wine/brivant_wine_suite.exe" "$work/run/"

status=0
(cd "$work/run" && timeout "$wine_timeout" wine brivant_wine_suite.exe) 2>"$work/stderr" |
    tr -d '\r' | tee "$work/output" || status=$?
summary=$(tail -n 1 "$work/output")
if [ $status -ne 0 ] || ! [[ $summary =~ ^wine:\ [1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
    echo "wine suite failed (exit $status, last line: '$summary')" >&2
    grep -v -e '^it looks like wine32' -e 'multiarch needs' -e 'execute "dpkg' -e 'apt-get install wine32' \
        "$work/stderr" | tail -n 20 >&2 || true
    exit 1
fi

# ---- the brivant tool in the same prefix (tests/wine/tool_checks.sh) ---------
if [ -f "$build_dir/brivant.exe" ]; then
    cp "$build_dir/brivant.exe" "$work/run/"
    source "$(dirname "${BASH_SOURCE[0]}")/tool_checks.sh"
    run_tool_checks
    # ---- serve over TLS (tests/wine/tls_checks.sh) ----------------------------
    source "$(dirname "${BASH_SOURCE[0]}")/tls_checks.sh"
    run_tls_checks
fi

# ---- the installer and the service (tests/wine/service_checks.sh) ------------
if [ -n "${BRIVANT_MSI:-}" ]; then
    source "$(dirname "${BASH_SOURCE[0]}")/service_checks.sh"
    run_service_checks
fi

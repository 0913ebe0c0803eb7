#!/usr/bin/env bash
# BRIVANT.dll cross-built with mingw-w64 from this tree, the static checks of
# the binary and its distribution folder (the wheels' contents and tags too),
# then the Wine suite driving the real DLL in a fresh Wine prefix (made and
# removed by tests/wine/run_suite.sh).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

need wine python
build_dir=$BRIVANT_ROOT/build-win
bash "$BRIVANT_ROOT/scripts/build-windows.sh" "$build_dir"

echo "--- binary checks"
version=$(brivant_version)
/usr/bin/python3 "$BRIVANT_ROOT/tests/wine/check_dll.py" "$version" "$build_dir/BRIVANT.dll" \
    "$BRIVANT_ROOT/include/brivant.h" "$BRIVANT_ROOT/dist/BRIVANT-$version-win64"

echo "--- wheels in the distribution folder"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_wheel.py" \
    "$BRIVANT_ROOT/dist/BRIVANT-$version-win64"/python/brivant-*-py3-none-win_amd64.whl win_amd64 \
    BRIVANT.dll "$build_dir/BRIVANT.dll"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_wheel.py" \
    "$BRIVANT_ROOT/dist/BRIVANT-$version-win64"/python/brivant-*-py3-none-linux_x86_64.whl linux_x86_64 \
    libbrivant-simulated.so "$BRIVANT_ROOT/build-linux-release/libbrivant.so"

echo "--- wine suite"
bash "$BRIVANT_ROOT/tests/wine/run_suite.sh" "$build_dir"

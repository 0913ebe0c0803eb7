#!/usr/bin/env bash
# BRIVANT.dll cross-built with mingw-w64 from this tree, the static checks of
# the binary and its distribution folder, then the Wine suite driving the real
# DLL in a fresh Wine prefix (made and removed by tests/wine/run_suite.sh).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

need wine
build_dir=$BRIVANT_ROOT/build-win
bash "$BRIVANT_ROOT/scripts/build-windows.sh" "$build_dir"

echo "--- binary checks"
version=$(brivant_version)
/usr/bin/python3 "$BRIVANT_ROOT/tests/wine/check_dll.py" "$version" "$build_dir/BRIVANT.dll" \
    "$BRIVANT_ROOT/include/brivant.h" "$BRIVANT_ROOT/dist/BRIVANT-$version-win64"

echo "--- wine suite"
bash "$BRIVANT_ROOT/tests/wine/run_suite.sh" "$build_dir"

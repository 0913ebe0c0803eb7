#!/usr/bin/env bash
# BRIVANT.dll cross-built with mingw-w64 from this tree for 64-bit and 32-bit
# Windows, brivant.exe, the wheels, the NuGet package and the MSI
# (scripts/build-windows.sh), then the static checks of each binary, its
# distribution folder and the installer's tables. 22-wine runs them under
# Wine.
# packages: build windows msi wine python bench aarch64 deb
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

need windows python msi wine
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
    "libbrivant.so.$(brivant_version | cut -d. -f1)" "$BRIVANT_ROOT/build-linux-release/libbrivant.so"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_wheel.py" \
    "$BRIVANT_ROOT/dist/BRIVANT-$version-win32"/python/brivant-*-py3-none-win32.whl win32 \
    BRIVANT.dll "$build_dir-x86/BRIVANT.dll"

echo "--- binary checks, x86"
/usr/bin/python3 "$BRIVANT_ROOT/tests/wine/check_dll.py" --arch x86 "$version" \
    "$build_dir-x86/BRIVANT.dll" "$BRIVANT_ROOT/include/brivant.h" \
    "$BRIVANT_ROOT/dist/BRIVANT-$version-win32"

echo "--- the installer's tables"
msi=$BRIVANT_ROOT/dist/BRIVANT-$version-x64.msi
bash "$BRIVANT_ROOT/tests/wine/check_msi.sh" "$msi" "$version"


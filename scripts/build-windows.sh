#!/usr/bin/env bash
# Cross-builds BRIVANT.dll with mingw-w64 and gathers what a Windows user
# needs in dist/BRIVANT-<version>-win64/ (and a zip of it):
#   BRIVANT.dll, BRIVANT.dll.a (MinGW import library), BRIVANT.lib (MSVC
#   import library), BRIVANT.def, brivant.exe (the command-line tool),
#   include/ (brivant.h, brivant_version.h, brivant.hpp), python/ (the Python
#   wheels: one with BRIVANT.dll inside, one for Linux with the library over
#   simulated units), dotnet/ (the NuGet package Brivant and its symbols
#   package, the binding's netstandard2.0 assembly with its documentation,
#   and an example).
# Then the same for 32-bit Windows in BUILD_DIR-x86 and
# dist/BRIVANT-<version>-win32/: the DLL, its import libraries, its .def, the
# headers, the win32 wheel and the same dotnet/.
# Also builds the Wine suite's programs in the same build folders, and the
# installer dist/BRIVANT-<version>-x64.msi from both (packaging/windows/).
# brivant.exe links libmosquitto and SQLite built from Debian's sources of
# them (scripts/build-third-party.sh, cached outside the clone); their
# licences go into licenses/.
# Usage: scripts/build-windows.sh [BUILD_DIR]   (default build-win)
set -euo pipefail
source "$(dirname "$0")/lib.sh"

need windows msi

build_dir=${1:-$BRIVANT_ROOT/build-win}
version=$(brivant_version)
dist_name=BRIVANT-$version-win64
wheel_tag=win_amd64 # the Python platform tag of this DLL
dist=$BRIVANT_ROOT/dist/$dist_name

third_party=$(bash "$BRIVANT_ROOT/scripts/build-third-party.sh" x86_64-w64-mingw32)
cmake_configure "$build_dir" \
    -DCMAKE_TOOLCHAIN_FILE="$BRIVANT_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBRIVANT_BUILD_TESTS=OFF -DBRIVANT_BUILD_WINE_SUITE=ON \
    -DBRIVANT_THIRD_PARTY="$(printf '%s' "$third_party" | paste -sd';')"
cmake_build "$build_dir"

# MSVC's linker reads the short import format that llvm-dlltool writes.
dlltool=$(command -v llvm-dlltool || ls /usr/bin/llvm-dlltool-* 2>/dev/null | sort -V | tail -n1)
"$dlltool" -m i386:x86-64 -d "$BRIVANT_ROOT/src/windows/BRIVANT.def" -l "$build_dir/BRIVANT.lib"

rm -rf "$dist" "$dist.zip"
mkdir -p "$dist/include"
cp "$build_dir/BRIVANT.dll" "$build_dir/BRIVANT.dll.a" "$build_dir/BRIVANT.lib" \
    "$build_dir/brivant.exe" "$BRIVANT_ROOT/src/windows/BRIVANT.def" "$dist/"
cp "$BRIVANT_ROOT/include/brivant.h" "$BRIVANT_ROOT/include/brivant.hpp" \
    "$build_dir/include/brivant_version.h" "$dist/include/"
mkdir -p "$dist/python" "$dist/dotnet" "$dist/licenses"
printf '%s\n' "$third_party" | while read -r folder; do cp "$folder"/licenses/* "$dist/licenses/"; done
build_wheel "$dist/python" "$wheel_tag" "$build_dir/BRIVANT.dll"
bash "$BRIVANT_ROOT/scripts/build-linux-wheel.sh" "$dist/python"
dist64=$dist

# 32-bit: the functions are __stdcall, so both import libraries are made from
# the .def that names them decorated, importing the undecorated names (-k).
build_x86=$build_dir-x86
dist_name=BRIVANT-$version-win32
dist=$BRIVANT_ROOT/dist/$dist_name
cmake_configure "$build_x86" \
    -DCMAKE_TOOLCHAIN_FILE="$BRIVANT_ROOT/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBRIVANT_BUILD_TESTS=OFF -DBRIVANT_BUILD_WINE_SUITE=ON
cmake_build "$build_x86" --target brivant brivant_demo winusb_double brivant_wine_suite
"$dlltool" -m i386 -k -d "$BRIVANT_ROOT/src/windows/BRIVANT-x86.def" -l "$build_x86/BRIVANT.lib"

rm -rf "$dist" "$dist.zip"
mkdir -p "$dist/include"
cp "$build_x86/BRIVANT.dll" "$build_x86/BRIVANT.dll.a" "$build_x86/BRIVANT.lib" "$dist/"
cp "$BRIVANT_ROOT/src/windows/BRIVANT-x86.def" "$dist/BRIVANT.def"
cp "$BRIVANT_ROOT/include/brivant.h" "$BRIVANT_ROOT/include/brivant.hpp" \
    "$build_x86/include/brivant_version.h" "$dist/include/"
# A 32-bit Python takes the win32 wheel.
mkdir -p "$dist/python" "$dist/dotnet"
build_wheel "$dist/python" win32 "$build_x86/BRIVANT.dll"

# The NuGet package carries both DLLs (and the Linux library), so it is the
# same in both folders; so is the binding (its calls are __stdcall in a
# 32-bit process by default).
bash "$BRIVANT_ROOT/scripts/build-nuget.sh" "$build_dir/nuget" "$build_dir"
for folder in "$dist64" "$dist"; do
    cp "$build_dir/nuget/Brivant.$version.nupkg" "$build_dir/nuget/Brivant.$version.snupkg" \
        "$build_dir/nuget/lib/netstandard2.0/Brivant.Net.dll" \
        "$build_dir/nuget/lib/netstandard2.0/Brivant.Net.xml" \
        "$BRIVANT_ROOT/examples/dotnet/ReadCounts.cs" "$folder/dotnet/"
    name=$(basename "$folder")
    (cd "$BRIVANT_ROOT/dist" && /usr/bin/python3 -m zipfile -c "$name.zip" "$name")
    echo "built $folder ($(stat -c %s "$folder/BRIVANT.dll") bytes) and $folder.zip"
done

# The installer, from the two folders just made.
bash "$BRIVANT_ROOT/scripts/build-msi.sh" "$build_dir"

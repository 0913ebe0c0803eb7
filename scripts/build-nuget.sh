#!/usr/bin/env bash
# The NuGet package Brivant: OUT_DIR/Brivant.<version>.nupkg and its symbols
# package .snupkg, with the binding for netstandard2.0, net462 and net8.0 and
# the native libraries under runtimes/: the Linux libraries (Release builds in
# build-linux-release/ and build-linux-release-arm64/) and both DLLs (from the mingw-w64 builds; made by
# scripts/build-windows.sh when they are not there). Also OUT_DIR/lib/, the assemblies and their XML documentation.
# Usage: scripts/build-nuget.sh OUT_DIR [WINDOWS_BUILD_DIR]
#   (the DLLs from WINDOWS_BUILD_DIR and WINDOWS_BUILD_DIR-x86; default build-win)
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 OUT_DIR [WINDOWS_BUILD_DIR]" >&2; exit 64; }
need_dotnet
out=$(mkdir -p "$1" && cd "$1" && pwd)

build_linux_release
build_linux_release arm64
windows=${2:-$BRIVANT_ROOT/build-win}
win64=$windows/BRIVANT.dll
win32=$windows-x86/BRIVANT.dll
if [ ! -f "$win64" ] || [ ! -f "$win32" ]; then
    bash "$BRIVANT_ROOT/scripts/build-windows.sh" "$windows"
fi

native=$BRIVANT_ROOT/build-dotnet/native
rm -rf "$native"
mkdir -p "$native/win-x64" "$native/win-x86" "$native/linux-x64"
cp "$win64" "$native/win-x64/BRIVANT.dll"
cp "$win32" "$native/win-x86/BRIVANT.dll"
# The real file, under the name the runtime looks for.
cp -L "$(linux_release_dir amd64)/libbrivant.so" "$native/linux-x64/libbrivant.so"
mkdir -p "$native/linux-arm64"
cp -L "$(linux_release_dir arm64)/libbrivant.so" "$native/linux-arm64/libbrivant.so"

log=$BRIVANT_ROOT/build-dotnet/pack.log
if ! dotnet pack "$BRIVANT_ROOT/bindings/dotnet/Brivant.Net.csproj" -c Release --nologo \
    -p:BrivantNativeDir="$native" -o "$out" >"$log" 2>&1; then
    grep -E "error|warning" "$log" >&2 || tail -n 20 "$log" >&2
    echo "build-nuget: dotnet pack failed; its output is in $log" >&2
    exit 1
fi
rm -rf "$out/lib"
for framework in netstandard2.0 net462 net8.0; do
    mkdir -p "$out/lib/$framework"
    cp "$BRIVANT_ROOT/build-dotnet/bin/Brivant.Net/Release/$framework/Brivant.Net.dll" \
        "$BRIVANT_ROOT/build-dotnet/bin/Brivant.Net/Release/$framework/Brivant.Net.xml" \
        "$out/lib/$framework/"
done
echo "built $(ls "$out"/Brivant.*.nupkg | grep -v snupkg)"

#!/usr/bin/env bash
# The .NET binding with the .NET SDK: its P/Invoke declarations checked
# against brivant.h; its xunit tests against the Linux library over simulated
# units; the NuGet package built and its contents checked; then a fresh
# `dotnet new console` given the package from a local feed alone: run on
# Linux with no LD_LIBRARY_PATH, and built for win-x64 and win-x86 with the
# right BRIVANT.dll beside it. The package takes the DLLs of 20-windows.
# packages: build usb-emulation python windows msi wine bench aarch64 deb
# after: 10-linux 20-windows
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build python
need_dotnet
build_linux_tree >/dev/null
version=$(brivant_version)

echo "--- P/Invoke declarations against brivant.h"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_pinvoke.py" "$BRIVANT_ROOT/include/brivant.h" \
    "$BRIVANT_ROOT/bindings/dotnet/src/NativeMethods.cs"

echo "--- binding tests (xunit)"
BRIVANT_BACKEND=sim dotnet test "$BRIVANT_ROOT/bindings/dotnet/tests/Brivant.Net.Tests.csproj" \
    -c Release --nologo -p:BrivantLibrary="$BRIVANT_ROOT/build/libbrivant.so" 2>&1 | tail -n 3 |
    tee "$BRIVANT_ROOT/build/dotnet-tests.log"
count_matched "binding tests (xunit)" 's/.*Passed: *([0-9]+),.*/\1/p' "$BRIVANT_ROOT/build/dotnet-tests.log"

echo "--- the package"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
feed=$work/feed
# The package 20-windows made (with both DLLs and both Linux libraries) when
# it is there, else one made now.
made=$BRIVANT_ROOT/build-win/nuget
if [ -f "$made/Brivant.$version.nupkg" ] && [ -f "$made/Brivant.$version.snupkg" ]; then
    mkdir -p "$feed"
    cp "$made/Brivant.$version.nupkg" "$made/Brivant.$version.snupkg" "$feed/"
    echo "the package of 20-windows: $made/Brivant.$version.nupkg"
else
    bash "$BRIVANT_ROOT/scripts/build-nuget.sh" "$feed"
fi
rids=(win-x64 win-x86 linux-x64 linux-arm64)
/usr/bin/python3 "$BRIVANT_ROOT/tests/dotnet/check_nupkg.py" "$feed/Brivant.$version.nupkg" \
    "$feed/Brivant.$version.snupkg" "$version" "${rids[@]}" | tail -n 1

echo "--- a fresh console app takes the package from the local feed alone"
app=$work/app
mkdir -p "$app"
cat >"$work/nuget.config" <<XML
<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <packageSources>
    <clear />
    <add key="local" value="$feed" />
  </packageSources>
</configuration>
XML
# A packages folder of its own: no Brivant of an earlier build is taken.
export NUGET_PACKAGES=$work/packages
(
    cd "$app"
    dotnet new console --force -o . >/dev/null
    cp "$BRIVANT_ROOT/tests/dotnet/ConsumerProgram.cs" Program.cs
    dotnet add package Brivant --version "$version" --source "$feed" >/dev/null
    dotnet restore --configfile "$work/nuget.config" >/dev/null
    dotnet build -c Release --no-restore -o "$work/linux" >/dev/null
)
env -u LD_LIBRARY_PATH BRIVANT_BACKEND=sim dotnet "$work/linux/app.dll"
[ -z "$(find "$app" -name 'libbrivant.so*' -not -path '*/obj/*')" ] ||
    { echo "the library was copied into the app's sources"; exit 1; }

# dll_beside FOLDER RID WHAT: FOLDER/BRIVANT.dll is the PE image for RID.
dll_beside() {
    /usr/bin/python3 - "$1/BRIVANT.dll" "$2" "$3" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = struct.unpack_from("<I", data, 0x3C)[0]
machine = struct.unpack_from("<H", data, at + 4)[0]
want = {"win-x64": 0x8664, "win-x86": 0x014C}[sys.argv[2]]
assert data[at:at + 4] == b"PE\0\0" and machine == want, (sys.argv[3], hex(machine))
print("%s: BRIVANT.dll beside the program, machine 0x%04x" % (sys.argv[3], machine))
PY
}

# Built for each Windows runtime, framework-dependent (no runtime or host
# packs needed), the DLL of that architecture lands beside the program.
for rid in win-x64 win-x86; do
    (cd "$app" && dotnet build -c Release -r "$rid" --self-contained false -p:UseAppHost=false \
        --configfile "$work/nuget.config" -o "$work/$rid" >/dev/null)
    dll_beside "$work/$rid" "$rid" "$rid"
done
# A .NET Framework program does not read runtimes/: the package's targets
# copy the DLL of the process's architecture. Its reference assemblies come
# from the registry, Brivant from the local feed.
fx=$work/fx
mkdir -p "$fx"
cat >"$fx/nuget.config" <<XML
<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <packageSources>
    <clear />
    <add key="local" value="$feed" />
    <add key="nuget.org" value="https://api.nuget.org/v3/index.json" />
  </packageSources>
</configuration>
XML
cat >"$fx/fx.csproj" <<XML
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>net462</TargetFramework>
  </PropertyGroup>
  <ItemGroup>
    <PackageReference Include="Brivant" Version="$version" />
    <PackageReference Include="Microsoft.NETFramework.ReferenceAssemblies" Version="1.0.3" PrivateAssets="all" />
  </ItemGroup>
</Project>
XML
cp "$BRIVANT_ROOT/examples/dotnet/ReadCounts.cs" "$fx/"
for platform in "x86 -p:PlatformTarget=x86 win-x86" "x64 -p:PlatformTarget=x64 win-x64"     "AnyCPU-Prefer32Bit -p:Prefer32Bit=true win-x86"; do
    read -r name setting rid <<<"$platform"
    (cd "$fx" && dotnet build -c Release "$setting" -o "$work/fx-$name" >/dev/null)
    dll_beside "$work/fx-$name" "$rid" "net462 $name"
done
echo "dotnet: tests, package, and consumers on linux-x64, win-x64, win-x86 and net462 passed"

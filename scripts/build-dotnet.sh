#!/usr/bin/env bash
# The .NET binding compiled with mono's mcs: OUT_DIR/Brivant.Net.dll (for
# .NET Framework 4.5+; .NET 6+ loads it too), its XML documentation and
# Brivant.Net.dll.config (mono's map of the library name outside Windows).
# Usage: scripts/build-dotnet.sh OUT_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 64; }
need dotnet

out=$1
src=$BRIVANT_ROOT/bindings/dotnet
mkdir -p "$out"
version=$(brivant_version)
cat >"$out/BrivantVersion.cs" <<CS
[assembly: System.Reflection.AssemblyVersion("$version.0")]
[assembly: System.Reflection.AssemblyFileVersion("$version.0")]
[assembly: System.Reflection.AssemblyInformationalVersion("$version")]
CS
mcs -nologo -sdk:4.5 -target:library -optimize+ -warn:4 -warnaserror+ -nowarn:1591 \
    -out:"$out/Brivant.Net.dll" -doc:"$out/Brivant.Net.xml" \
    "$src"/src/*.cs "$out/BrivantVersion.cs"
cp "$src/Brivant.Net.dll.config" "$out/"

#!/usr/bin/env bash
# The .NET binding: its P/Invoke declarations checked against brivant.h,
# then compiled with mono's mcs, its tests and the example program
# run with mono against the Linux library over simulated units.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build dotnet
configure_and_build "$BRIVANT_ROOT/build" >/dev/null

echo "--- P/Invoke declarations against brivant.h"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_pinvoke.py" "$BRIVANT_ROOT/include/brivant.h" \
    "$BRIVANT_ROOT/bindings/dotnet/src/NativeMethods.cs"

out=$BRIVANT_ROOT/build-dotnet
bash "$BRIVANT_ROOT/scripts/build-dotnet.sh" "$out"
compile_exe() { # OUT SOURCES...
    local exe=$1
    shift
    mcs -nologo -sdk:4.5 -target:exe -warn:4 -warnaserror+ -r:"$out/Brivant.Net.dll" -out:"$exe" "$@"
}
compile_exe "$out/Brivant.Net.Tests.exe" "$BRIVANT_ROOT"/bindings/dotnet/tests/*.cs
compile_exe "$out/ReadCounts.exe" "$BRIVANT_ROOT/examples/dotnet/ReadCounts.cs"

# Brivant.Net.dll.config maps BRIVANT to libbrivant.so, found on this path;
# its simulated units are chosen.
export BRIVANT_BACKEND=sim
export LD_LIBRARY_PATH="$BRIVANT_ROOT/build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
echo "--- binding tests"
mono --debug "$out/Brivant.Net.Tests.exe"
echo "--- example"
mono "$out/ReadCounts.exe"

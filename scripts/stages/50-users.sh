#!/usr/bin/env bash
# What users get: the Python package's tests against the Linux build, then
# `cmake --install` into a fresh prefix and a consumer project built and run
# against that installed tree alone. (The tool's and the C++ wrapper's tests
# run with ctest in 10-linux.)
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build python
# Everything here runs against the simulated units.
export BRIVANT_BACKEND=sim
configure_and_build "$BRIVANT_ROOT/build"

echo "--- Python package"
BRIVANT_LIBRARY="$BRIVANT_ROOT/build/libbrivant.so" /usr/bin/python3 -m unittest discover \
    -s "$BRIVANT_ROOT/python/tests" -t "$BRIVANT_ROOT/python"

echo "--- install and consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$BRIVANT_ROOT/build" --prefix "$prefix" >/dev/null
version=$(brivant_version)
for file in include/brivant.h include/brivant_version.h include/brivant.hpp lib/libbrivant.so \
    "lib/libbrivant.so.${version%%.*}" "lib/libbrivant.so.$version" bin/brivant \
    lib/cmake/Brivant/BrivantConfig.cmake lib/cmake/Brivant/BrivantConfigVersion.cmake; do
    [ -f "$prefix/$file" ] || { echo "install lacks $file"; exit 1; }
done
"$BRIVANT_ROOT/tests/check_exports.sh" "$prefix/lib/libbrivant.so"
cmake -S "$BRIVANT_ROOT/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    >/dev/null
cmake --build "$work/consumer" -j "$BRIVANT_JOBS" >/dev/null
"$work/consumer/consumer_cpp"
"$work/consumer/consumer_c"
"$prefix/bin/brivant" read 1 2

echo "--- the Python package installs with pip and finds the installed library"
/usr/bin/python3 -m pip install -q --root-user-action=ignore --no-build-isolation --no-deps \
    --target "$work/site" "$BRIVANT_ROOT/python"
(cd "$work" && BRIVANT_LIBRARY="$prefix/lib/libbrivant.so" PYTHONPATH="$work/site" \
    /usr/bin/python3 -c 'import brivant; u = brivant.Unit(0); print("Python", brivant.__version__, u.read_counts()); u.close()' |
    tee "$work/python.out")
grep -q "^Python $version " "$work/python.out" || { echo "the installed package's version is not $version"; exit 1; }
echo "users: Python tests, install layout and consumer passed"

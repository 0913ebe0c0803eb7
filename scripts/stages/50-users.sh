#!/usr/bin/env bash
# What users get: the Python package's tests against the Linux build, then
# `cmake --install` into a fresh prefix and a consumer project built and run
# against that installed tree alone. (The tool's and the C++ wrapper's tests
# run with ctest in 10-linux.)
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need_base_packages
need_packages python3 python3-pip python3-setuptools
configure_and_build "$BRIVANT_ROOT/build"

echo "--- Python package"
BRIVANT_LIBRARY="$BRIVANT_ROOT/build/libbrivant.so" /usr/bin/python3 -m unittest discover \
    -s "$BRIVANT_ROOT/python/tests" -t "$BRIVANT_ROOT/python"

echo "--- install and consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$BRIVANT_ROOT/build" --prefix "$prefix" >/dev/null
for file in include/brivant.h include/brivant.hpp lib/libbrivant.so bin/brivant \
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
cp -r "$BRIVANT_ROOT/python" "$work/python-src" # pip leaves build folders behind
/usr/bin/python3 -m pip install -q --root-user-action=ignore --no-build-isolation --no-deps \
    --target "$work/site" "$work/python-src"
(cd "$work" && BRIVANT_LIBRARY="$prefix/lib/libbrivant.so" PYTHONPATH="$work/site" \
    /usr/bin/python3 -c 'import brivant; u = brivant.Unit(0); print("Python:", u.read_counts()); u.close()')
echo "users: Python tests, install layout and consumer passed"

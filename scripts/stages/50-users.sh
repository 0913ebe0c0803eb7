#!/usr/bin/env bash
# What users get: the Python package's tests against the Linux build;
# `cmake --install` into a fresh prefix and consumers built against that
# installed tree alone, with CMake and with pkg-config; the Linux wheel and
# `pip install ./python`, each into a fresh venv with no index to reach; the
# README's lines that say they run without units, run as printed.
# (The tool's and the C++ wrapper's tests run with ctest in 10-linux.)
# packages: build usb-emulation python pkgconfig deb bench
# after: 10-linux
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build python pkgconfig
# Everything here runs against the simulated units.
export BRIVANT_BACKEND=sim
build_linux_tree

echo "--- Python package"
BRIVANT_LIBRARY="$BRIVANT_ROOT/build/libbrivant.so" /usr/bin/python3 -m unittest discover \
    -s "$BRIVANT_ROOT/python/tests" -t "$BRIVANT_ROOT/python" 2>&1 | tee "$BRIVANT_ROOT/build/python-tests.log"
count_matched "Python package tests (unittest)" 's/^Ran ([0-9]+) tests? in .*/\1/p' "$BRIVANT_ROOT/build/python-tests.log"

echo "--- install and consumer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$BRIVANT_ROOT/build" --prefix "$prefix" >/dev/null
version=$(brivant_version)
for file in include/brivant.h include/brivant_version.h include/brivant.hpp lib/libbrivant.so \
    "lib/libbrivant.so.${version%%.*}" "lib/libbrivant.so.$version" bin/brivant \
    lib/cmake/Brivant/BrivantConfig.cmake lib/cmake/Brivant/BrivantConfigVersion.cmake \
    lib/pkgconfig/brivant.pc; do
    [ -f "$prefix/$file" ] || { echo "install lacks $file"; exit 1; }
done
"$BRIVANT_ROOT/tests/check_exports.sh" "$prefix/lib/libbrivant.so"
cmake -S "$BRIVANT_ROOT/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    >/dev/null
cmake --build "$work/consumer" -j "$BRIVANT_JOBS" >/dev/null
"$work/consumer/consumer_cpp"
"$work/consumer/consumer_c"
"$prefix/bin/brivant" read 1 2

echo "--- pkg-config consumer"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
pc_version=$(pkg-config --modversion brivant)
[ "$pc_version" = "$version" ] || { echo "brivant.pc says $pc_version, the project $version"; exit 1; }
# The tree was installed elsewhere than its configured prefix: brivant.pc
# finds it from its own place.
rpath="-Wl,-rpath,$(pkg-config --variable=libdir brivant)"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$BRIVANT_ROOT/examples/consumer/main.c" \
    $(pkg-config --cflags --libs brivant) "$rpath" -o "$work/pc_consumer_c"
c++ -std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Werror "$BRIVANT_ROOT/examples/consumer/main.cpp" \
    $(pkg-config --cflags --libs brivant) "$rpath" -o "$work/pc_consumer_cpp"
"$work/pc_consumer_c"
"$work/pc_consumer_cpp"
echo "pkg-config: brivant $pc_version"

# pip may not reach any index: what cannot be installed offline fails here.
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
fresh_venv() {
    /usr/bin/python3 -m venv "$1"
}
mkdir -p "$work/elsewhere"
cp "$BRIVANT_ROOT/python/tests/wheel_check.py" "$work/elsewhere/"

echo "--- the Linux wheel in a fresh venv"
bash "$BRIVANT_ROOT/scripts/build-linux-wheel.sh" "$work/wheels"
wheel=$(ls "$work"/wheels/brivant-*-py3-none-linux_x86_64.whl)
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_wheel.py" "$wheel" linux_x86_64 \
    "libbrivant.so.$(brivant_version | cut -d. -f1)" "$BRIVANT_ROOT/build-linux-release/libbrivant.so"
fresh_venv "$work/venv-wheel"
"$work/venv-wheel/bin/pip" install -q "$wheel"
site=$("$work/venv-wheel/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
(cd "$work/elsewhere" && env -u BRIVANT_LIBRARY "$work/venv-wheel/bin/python" wheel_check.py \
    "$site/brivant" "$version")

echo "--- pip install ./python in a fresh venv, with the installed library"
before=$(cd "$BRIVANT_ROOT/python" && find . -not -path '*/__pycache__*' | sort)
fresh_venv "$work/venv-source"
"$work/venv-source/bin/pip" install -q "$BRIVANT_ROOT/python"
after=$(cd "$BRIVANT_ROOT/python" && find . -not -path '*/__pycache__*' | sort)
if [ "$before" != "$after" ]; then
    echo "pip left files in python/:"
    diff <(echo "$before") <(echo "$after") || true
    exit 1
fi
(cd "$work/elsewhere" && BRIVANT_LIBRARY="$prefix/lib/libbrivant.so" \
    "$work/venv-source/bin/python" wheel_check.py "$prefix/lib" "$version")
echo "--- the README's lines that run without units, as printed"
/usr/bin/python3 "$BRIVANT_ROOT/tests/readme/run_readme_lines.py" "$BRIVANT_ROOT/README.md" "$BRIVANT_ROOT" |
    tee "$work/readme-lines.log"
count_matched "README lines run" 's/^readme: ([0-9]+) passed, 0 failed$/\1/p' "$work/readme-lines.log"
echo "users: Python tests, install layout, consumers, wheel, pip install and README lines passed"

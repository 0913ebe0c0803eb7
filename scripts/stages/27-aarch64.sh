#!/usr/bin/env bash
# 64-bit ARM Linux: the library, the tool, the diagnostics library and the
# test suite cross-built with Debian's cross toolchain against the arm64
# packages, in the arm64 Release tree that 28-packages makes its packages
# from; the binaries' ELF machine checked, the suite run by ctest under
# qemu-aarch64, and the tool's `--simulate list` under emulation. The stress
# tests make fewer calls a thread under emulation (BRIVANT_STRESS_CALLS).
# serve gets MQTT when libmosquitto-dev:arm64 can be installed beside the
# machine's own.
# packages: build aarch64 bench deb
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need aarch64
need_packages libmosquitto-dev:arm64 ||
    echo "warning: libmosquitto-dev:arm64 cannot be installed here; serve is built without MQTT"
build_linux_release arm64 all
dir=$(linux_release_dir arm64)

echo "--- the binaries are 64-bit ARM"
for file in "$dir/libbrivant.so" "$dir/brivant" "$dir/tests/brivant_tests"; do
    machine=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
    [ "$machine" = "AArch64" ] || { echo "$file is for $machine"; exit 1; }
done

echo "--- the suite under qemu-aarch64"
BRIVANT_STRESS_CALLS=2000 ctest_counted "aarch64 suite under qemu (ctest)" "$dir"

echo "--- brivant --simulate list under qemu-aarch64"
qemu-aarch64 "$dir/brivant" --simulate list
echo "aarch64: build, suite and tool under emulation passed"

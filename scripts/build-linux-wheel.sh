#!/usr/bin/env bash
# The Linux wheel: the Python package with the Linux library inside it (as
# brivant/libbrivant.so.4, by its soname): real units over USB, or with BRIVANT_BACKEND=sim the
# simulated ones, to try everything without hardware. The library is a
# Release build in build-linux-release/; it needs libusb-1.0 on the system.
# Usage: scripts/build-linux-wheel.sh OUT_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 64; }
build_linux_release
dir=$(linux_release_dir amd64)
tag=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
build_wheel "$1" "$tag" "$dir/libbrivant.so"

#!/usr/bin/env bash
# The Debian packages for amd64 and arm64 (scripts/build-debs.sh): their
# contents and binaries checked, lintian on each, then the amd64 ones
# installed, used and purged on this machine (tests/packages/). Also the
# linux_aarch64 wheel, checked as the other wheels are. The packages come
# from the Release trees: amd64's (made in 20-windows) and arm64's (27-aarch64).
# packages: build deb python aarch64 bench
# after: 20-windows 27-aarch64
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need deb python
version=$(brivant_version)
out=$BRIVANT_ROOT/dist/deb
rm -rf "$out"
for arch in amd64 arm64; do
    echo "--- packages for $arch"
    bash "$BRIVANT_ROOT/scripts/build-debs.sh" "$arch" "$out"
    /usr/bin/python3 "$BRIVANT_ROOT/tests/packages/check_debs.py" "$arch" "$version" "$out"
done

echo "--- lintian"
# Every tag shown, down to the pedantic ones; an error or a warning fails.
lintian --pedantic --info --fail-on error,warning "$out"/*.deb 2>&1 |
    grep -v "running with root privileges" || true
lintian --pedantic --fail-on error,warning "$out"/*.deb >/dev/null 2>&1 ||
    { echo "lintian: errors or warnings above"; exit 1; }
echo "lintian: no error or warning in $(ls "$out"/*.deb | wc -l) packages"

echo "--- installed, used and purged"
bash "$BRIVANT_ROOT/tests/packages/install_check.sh" "$out" "$version"

echo "--- the linux_aarch64 wheel"
wheels=$BRIVANT_ROOT/dist/wheels-aarch64
rm -rf "$wheels"
library=$(linux_release_dir arm64)/libbrivant.so
build_wheel "$wheels" linux_aarch64 "$library"
/usr/bin/python3 "$BRIVANT_ROOT/tests/check_wheel.py" "$wheels"/brivant-*-py3-none-linux_aarch64.whl \
    linux_aarch64 "libbrivant.so.${version%%.*}" "$library"
echo "packages: amd64 and arm64 built, checked, lint-free; amd64 installed, used and purged"

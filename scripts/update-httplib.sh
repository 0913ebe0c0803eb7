#!/usr/bin/env bash
# Regenerates third_party/cpp-httplib/ from Debian's source package of
# cpp-httplib: the single-header httplib.h with Debian's patches applied, and
# its licence. Debian's libcpp-httplib-dev ships the split build (declarations
# only, the implementation in a Linux shared library), which cannot serve the
# mingw-w64 build; the header-only form of the same version serves both.
# Needs apt-get, patch and xz; fetches from the Debian mirror of
# /etc/apt/sources.list.d/debian.sources through a private deb-src list.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial"
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$work/parts/src.sources"
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists" -o "APT::Sandbox::User=root")
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq cpp-httplib)
tar -C "$work" -xJf "$work"/cpp-httplib_*.orig.tar.xz
tar -C "$work" -xJf "$work"/cpp-httplib_*.debian.tar.xz
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name '*httplib*' | head -n1)
if [ -f "$work/debian/patches/series" ]; then
    while read -r name; do
        [ -n "$name" ] && patch -s -d "$source_dir" -p1 <"$work/debian/patches/$name"
    done < <(grep -v '^#' "$work/debian/patches/series")
fi
target=$BRIVANT_ROOT/third_party/cpp-httplib
cp "$source_dir/httplib.h" "$source_dir/LICENSE" "$target/"
version=$(basename "$work"/cpp-httplib_*.dsc .dsc | sed 's/^cpp-httplib_//')
echo "$version" >"$target/DEBIAN_VERSION"
echo "third_party/cpp-httplib: httplib.h from Debian source package cpp-httplib $version"

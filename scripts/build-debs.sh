#!/usr/bin/env bash
# The Debian packages for one architecture, from this tree, with dpkg-deb:
#   libbrivant4     the shared library and its soname link
#   libbrivant-dev  the headers, the unversioned link, brivant.pc, the CMake package
#   brivant         the tool, its manual page, the udev rule, the systemd unit
#                   of `brivant serve` and its station file /etc/brivant/station.toml
# in OUT_DIR as NAME_VERSION_ARCH.deb, the version the CMake project's.
# Usage: scripts/build-debs.sh amd64|arm64 OUT_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ $# -eq 2 ] || { echo "usage: $0 amd64|arm64 OUT_DIR" >&2; exit 64; }
arch=$1
mkdir -p "$2"
out=$(cd "$2" && pwd)
build_linux_release "$arch" brivant brivant_cli
dir=$(linux_release_dir "$arch")
run=()
[ "$arch" = arm64 ] && run=(qemu-aarch64)

version=$(brivant_version)
soversion=${version%%.*}
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
# Dates in the packages are the commit's, so that the same tree builds the
# same packages.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$BRIVANT_ROOT" log -1 --format=%ct 2>/dev/null || date +%s)}
packaging=$BRIVANT_ROOT/packaging/deb

# dpkg-shlibdeps reads debian/control and the packages' trees under debian/.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022
stage=$work/stage
DESTDIR=$stage cmake --install "$dir" >/dev/null
# Stripped as dh_strip strips: no symbols beyond the dynamic ones, no
# compiler notes.
strip_tool=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
find "$stage" -type f \( -name '*.so.*' -o -path '*/bin/*' \) \
    -exec "$strip_tool" --strip-unneeded --remove-section=.comment --remove-section=.note {} +
mkdir -p "$work/debian"
cp "$packaging/control" "$work/debian/control"

# take PACKAGE PATH...: moves these installed paths into PACKAGE's tree.
take() {
    local package=$1 path
    shift
    for path in "$@"; do
        mkdir -p "$work/debian/$package/$(dirname "$path")"
        mv "$stage/$path" "$work/debian/$package/$path"
    done
}
lib=usr/lib/$multiarch
take libbrivant4 "$lib/libbrivant.so.$soversion" "$lib/libbrivant.so.$version"
take libbrivant-dev usr/include "$lib/libbrivant.so" "$lib/pkgconfig" "$lib/cmake"
take brivant usr/bin/brivant usr/lib/udev usr/lib/systemd etc/brivant
left=$(cd "$stage" && find . -type f -o -type l)
if [ -n "$left" ]; then
    echo "build-debs: installed files no package takes:" >&2
    echo "$left" >&2
    exit 1
fi

# The manual page, from the tool's own help: the command list, then each
# command's help.
man=$work/debian/brivant/usr/share/man/man1
mkdir -p "$man"
tool=$work/tool
cat >"$tool" <<EOF
#!/bin/sh
exec ${run[*]} "$dir/brivant" "\$@"
EOF
chmod +x "$tool"
{
    echo "[COMMANDS]"
    "$tool" help | sed -En '/^(Subcommands|Commands|COMMANDS):/,$p' | sed 1d | awk '{print $1}' | while read -r command; do
        [ -n "$command" ] || continue
        echo ".SS $command"
        echo ".nf"
        "$tool" help "$command" | sed 's/\\/\\e/g; s/^\./\\\&./; s/^'"'"'/\\\&'"'"'/'
        echo ".fi"
    done
    cat "$packaging/brivant.1.extra"
} >"$work/commands.h2m"
help2man --no-info --section=1 --source="brivant $version" \
    --name="open, configure and read BRIVANT USB counter units" \
    --include="$work/commands.h2m" "$tool" >"$work/brivant.1"
gzip -9n <"$work/brivant.1" >"$man/brivant.1.gz"

changelog=$work/changelog
{
    echo "brivant ($version) stable; urgency=medium"
    echo
    echo "  * Built from the brivant source tree at version $version."
    echo
    echo " -- $(sed -n 's/^Maintainer: //p' "$packaging/control" | head -n1)  $(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")"
} >"$changelog"

for package in libbrivant4 libbrivant-dev brivant; do
    root=$work/debian/$package
    doc=$root/usr/share/doc/$package
    mkdir -p "$doc" "$root/DEBIAN"
    cp "$packaging/copyright" "$doc/copyright"
    gzip -9n <"$changelog" >"$doc/changelog.gz"
    if [ -f "$packaging/$package.lintian-overrides" ]; then
        mkdir -p "$root/usr/share/lintian/overrides"
        cp "$packaging/$package.lintian-overrides" "$root/usr/share/lintian/overrides/$package"
    fi
    for script in postinst prerm postrm triggers shlibs conffiles; do
        [ -f "$packaging/$package.$script" ] || continue
        sed "s/@VERSION@/$version/g" "$packaging/$package.$script" >"$root/DEBIAN/$script"
        case $script in postinst | prerm | postrm) chmod 755 "$root/DEBIAN/$script" ;; *) chmod 644 "$root/DEBIAN/$script" ;; esac
    done
done

# Dependencies from the binaries. libbrivant4's shlibs file, in its tree
# under debian/, answers for libbrivant.so.4 when the tool is looked at.
shlibdeps() {
    local found
    if ! found=$(cd "$work" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O "$@" 2>"$work/shlibdeps.log"); then
        cat "$work/shlibdeps.log" >&2
        return 1
    fi
    sed -n 's/^shlibs:Depends=//p' <<<"$found"
}
lib_depends=$(shlibdeps -xlibbrivant4 -e"debian/libbrivant4/$lib/libbrivant.so.$version")
tool_depends=$(shlibdeps -Sdebian/libbrivant4 -edebian/brivant/usr/bin/brivant)
if [ -z "$lib_depends" ] || [ -z "$tool_depends" ]; then
    echo "build-debs: dpkg-shlibdeps found no dependencies:" >&2
    cat "$work/shlibdeps.log" >&2
    exit 1
fi

maintainer=$(sed -n 's/^Maintainer: //p' "$packaging/control" | head -n1)
for package in libbrivant4 libbrivant-dev brivant; do
    root=$work/debian/$package
    case $package in
    libbrivant4) depends=$lib_depends ;;
    libbrivant-dev) depends="libbrivant4 (= $version)" ;;
    # addgroup makes the group of the udev rule.
    brivant) depends="$tool_depends, adduser" ;;
    esac
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | sort |
        xargs -r md5sum) >"$root/DEBIAN/md5sums"
    size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
    {
        echo "Package: $package"
        echo "Source: brivant"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: $maintainer"
        echo "Installed-Size: $size"
        echo "Depends: $depends"
        # Section, Priority, Multi-Arch and Description, from the package's stanza.
        awk -v p="$package" '/^Package: /{on = ($2 == p); next} /^$/{on = 0} on && !/^Architecture: /' "$packaging/control"
    } >"$root/DEBIAN/control"
    find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_${version}_${arch}.deb" >/dev/null
done
ls "$out"/*_"${version}_$arch".deb

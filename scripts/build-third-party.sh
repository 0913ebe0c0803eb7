#!/usr/bin/env bash
# Builds the third-party libraries brivant.exe links (OpenSSL for TLS,
# libmosquitto for MQTT over it, SQLite for the journal, protobuf-c's
# runtime for Sparkplug B) for Windows with
# mingw-w64, from Debian's own source packages of them, the ones the Linux
# tool uses. Each is built once per machine into a cache outside the clone,
# in a folder named by the package, its Debian version, the first digits of
# its .dsc's SHA-256 and the target (libmosquitto's by OpenSSL's too), so a
# second run (or a second clone) reuses it and a new Debian revision builds
# anew.
# Prints the folders (include/, lib/, licenses/), one a line.
# Usage: scripts/build-third-party.sh TRIPLET   (x86_64-w64-mingw32)
# The cache: $BRIVANT_CACHE_DIR, else $XDG_CACHE_HOME/brivant, else
# ~/.cache/brivant.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

triplet=${1:?usage: build-third-party.sh TRIPLET}
case $triplet in
x86_64-w64-mingw32) toolchain=$BRIVANT_ROOT/cmake/mingw-w64-x86_64.cmake ;;
i686-w64-mingw32) toolchain=$BRIVANT_ROOT/cmake/mingw-w64-i686.cmake ;;
*) echo "build-third-party.sh: no target '$triplet'" >&2; exit 64 ;;
esac
cache=${BRIVANT_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/brivant}/third-party
mkdir -p "$cache"

# apt-get source needs deb-src lines: the same mirrors as the deb ones.
has_source() {
    apt-cache showsrc "$1" 2>/dev/null | grep -c '^Package:' >/dev/null
}

ensure_source_lists() {
    has_source "$1" && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "no Debian source index; add deb-src lines for your mirrors and run apt-get update" >&2
        return 1
    fi
    local from=/etc/apt/sources.list.d/debian.sources
    if [ -f "$from" ]; then
        sed 's/^Types: deb$/Types: deb-src/' "$from" >/etc/apt/sources.list.d/brivant-source.sources
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/brivant-source.list
    fi
    apt-get update -qq >/dev/null 2>&1 || echo "warning: apt-get update reported errors" >&2
    has_source "$1"
}

# source_keys PACKAGE: "VERSION SHA" of each source the index lists, newest
# first (an index can list a version its mirror no longer serves).
source_keys() {
    apt-cache showsrc "$1" | awk -v pkg="$1" '
        /^Package:/ { keep = ($2 == pkg) }
        keep && /^Version:/ { v = $2 }
        keep && /^Checksums-Sha256:/ { sums = 1; next }
        keep && sums && /^ / { if ($3 ~ /\.dsc$/) { dsc[v] = substr($1, 1, 12) }; next }
        { sums = 0 }
        END { for (x in dsc) print x, dsc[x] }' | sort -r -V
}

# unpack PACKAGE VERSION DIR: the source with Debian's patches applied.
unpack() {
    local work=$3
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq "$1=$2" >/dev/null 2>&1) || {
        echo "cannot fetch the source of $1 $2" >&2
        return 1
    }
    find "$work" -mindepth 1 -maxdepth 1 -type d | head -n1
}

# OpenSSL's static libraries and headers; no programs, no engines or
# modules to load from a folder at run time.
build_openssl() {
    local src=$1 out=$2 target=mingw64
    [ "$triplet" = i686-w64-mingw32 ] && target=mingw
    # Its compiler's warnings go to a log, shown only if the build fails.
    (cd "$src" && ./Configure "$target" --cross-compile-prefix="$triplet-" no-shared no-tests \
        no-module no-engine --prefix="$out" --libdir=lib &&
        make -j "$BRIVANT_JOBS" build_libs && make install_dev) >"$src.log" 2>&1 || {
        tail -n 40 "$src.log" >&2
        return 1
    }
    mkdir -p "$out/licenses"
    cp "$src/LICENSE.txt" "$out/licenses/openssl-LICENSE.txt"
}

build_mosquitto() {
    local src=$1 out=$2 build=$1-build
    # Over the OpenSSL built above: its folder is the first printed.
    cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DWITH_TLS=ON -DWITH_TLS_PSK=OFF -DOPENSSL_INCLUDE_DIR="$openssl/include" \
        -DOPENSSL_CRYPTO_LIBRARY="$openssl/lib/libcrypto.a" -DOPENSSL_SSL_LIBRARY="$openssl/lib/libssl.a" \
        -DLIB_EAY="$openssl/lib/libcrypto.a" -DSSL_EAY="$openssl/lib/libssl.a" \
        -DWITH_THREADING=OFF -DWITH_CJSON=OFF -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF \
        -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF -DWITH_STATIC_LIBRARIES=ON \
        -DWITH_SRV=OFF >/dev/null
    cmake --build "$build" -j "$BRIVANT_JOBS" --target libmosquitto_static >/dev/null
    mkdir -p "$out/include" "$out/lib" "$out/licenses"
    cp "$src/include/mosquitto.h" "$src/include/mqtt_protocol.h" "$out/include/"
    cp "$build/lib/libmosquitto_static.a" "$out/lib/libmosquitto.a"
    cp "$src/LICENSE.txt" "$out/licenses/mosquitto-LICENSE.txt"
    cp "$src/edl-v10" "$out/licenses/mosquitto-edl-v10.txt"
    cp "$src/epl-v20" "$out/licenses/mosquitto-epl-v20.txt"
}

# SQLite's source tree makes its one-file amalgamation with tclsh and a few
# programs it builds for this machine; that file is then cross-compiled.
build_sqlite() {
    local src=$1 out=$2 build=$1-build
    mkdir -p "$build"
    (cd "$build" && "$src/configure" --disable-tcl >/dev/null && make -j "$BRIVANT_JOBS" sqlite3.c >/dev/null)
    mkdir -p "$out/include" "$out/lib" "$out/licenses"
    "$triplet-gcc-posix" -O2 -c "$build/sqlite3.c" -o "$build/sqlite3.o" \
        -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DEFAULT_FOREIGN_KEYS=0
    "$triplet-ar" rcs "$out/lib/libsqlite3.a" "$build/sqlite3.o"
    cp "$build/sqlite3.h" "$out/include/"
    cp "$src/LICENSE.md" "$out/licenses/sqlite-LICENSE.md" 2>/dev/null ||
        echo "SQLite is in the public domain." >"$out/licenses/sqlite-LICENSE.md"
}

# protobuf-c's runtime, for the Sparkplug B payloads: one C file and its
# header (the code it runs is generated from the .proto on this machine by
# Debian's protoc-c, of the same version).
build_protobuf-c() {
    local src=$1 out=$2
    mkdir -p "$out/include/protobuf-c" "$out/lib" "$out/licenses"
    "$triplet-gcc-posix" -O2 -c "$src/protobuf-c/protobuf-c.c" -I"$src" -o "$src/protobuf-c.o"
    "$triplet-ar" rcs "$out/lib/libprotobuf-c.a" "$src/protobuf-c.o"
    cp "$src/protobuf-c/protobuf-c.h" "$out/include/protobuf-c/"
    cp "$src/LICENSE" "$out/licenses/protobuf-c-LICENSE.txt"
}

need windows
need_packages dpkg-dev tcl perl
openssl=
for package in openssl mosquitto sqlite3 protobuf-c; do
    ensure_source_lists "$package"
    keys=$(source_keys "$package")
    [ -n "$keys" ] || { echo "no source of $package in the index" >&2; exit 1; }
    # The newest version built already or served; an older one only where
    # the mirror does not serve the newer.
    out=
    while read -r version sha; do
        candidate=$cache/$package-$version-$sha-$triplet
        if [ "$package" = mosquitto ]; then
            candidate=$cache/$package-$version-$sha-over-$(basename "$openssl")
        fi
        if [ -f "$candidate/.built" ]; then
            out=$candidate
            break
        fi
        work=$(mktemp -d)
        if src=$(unpack "$package" "$version" "$work"); then
            echo "building $package $version for $triplet into $candidate (once)" >&2
            started=$(date +%s)
            rm -rf "$candidate"
            "build_${package%3}" "$src" "$candidate"
            rm -rf "$work"
            touch "$candidate/.built"
            echo "installed: $package $version for $triplet, built from Debian's source ($(( $(date +%s) - started )) s)" >&2
            out=$candidate
            break
        fi
        rm -rf "$work"
        echo "the source of $package $version is not served here; an older one, then" >&2
    done <<<"$keys"
    [ -n "$out" ] || { echo "no source of $package can be fetched" >&2; exit 1; }
    [ "$package" = openssl ] && openssl=$out
    echo "$out"
done

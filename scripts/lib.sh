# Shared helpers for the build and test scripts. Source it; do not run it.

BRIVANT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BRIVANT_JOBS=${BRIVANT_JOBS:-$(nproc 2>/dev/null || echo 2)}

# brivant_version: the project's version (e.g. 4.1.0), read from the one
# place it is written, the CMake project.
brivant_version() {
    sed -nE 's/^project\(brivant VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' \
        "$BRIVANT_ROOT/CMakeLists.txt"
}

# The Debian packages each kind of work needs. Every script installs what it
# needs through `need`, so this table is the one list of what a fresh machine
# gets.
declare -A BRIVANT_PACKAGES=(
    [build]="cmake make g++ gcc binutils pkg-config libgtest-dev libgmock-dev libusb-1.0-0-dev"
    [usb-emulation]="umockdev libumockdev-dev"
    [clang]="clang libclang-rt-14-dev"
    [windows]="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 llvm"
    [wine]="wine wine64 python3-pefile"
    [valgrind]="valgrind"
    [bench]="cmake make g++ binutils pkg-config libbenchmark-dev libusb-1.0-0-dev umockdev libumockdev-dev"
    [python]="python3 python3-pip python3-setuptools"
)

# need GROUP...: installs the packages of these groups that are missing.
need() {
    local group packages=()
    for group in "$@"; do
        if [ -z "${BRIVANT_PACKAGES[$group]+set}" ]; then
            echo "need: no package group '$group'" >&2
            return 1
        fi
        # shellcheck disable=SC2206 # the lists are space-separated on purpose
        packages+=(${BRIVANT_PACKAGES[$group]})
    done
    need_packages "${packages[@]}"
}

# need_packages PKG...: installs the Debian packages that are missing (as
# root), or prints the apt-get line to run and fails. Recommends come too:
# Wine's runtime pieces arrive that way.
need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages; install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "installing ${missing[*]}"
    if [ -z "${BRIVANT_APT_UPDATED:-}" ]; then
        apt-get update -qq || return 1
        export BRIVANT_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" \
        >/dev/null || return 1
}

# configure_and_build DIR [CMAKE ARGS...]: the Linux build in DIR.
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null &&
        cmake --build "$dir" -j "$BRIVANT_JOBS"
}

# build_bench: the benchmark binaries, Release, in build-bench/.
build_bench() {
    need bench
    local dir="$BRIVANT_ROOT/build-bench"
    cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DBRIVANT_BUILD_BENCH=ON -DBRIVANT_BUILD_TESTS=OFF >/dev/null &&
        cmake --build "$dir" -j "$BRIVANT_JOBS" --target brivant_bench brivant_bench_own \
            brivant_bench_shipped brivant_bench_usb brivant_bench_usb_own
}

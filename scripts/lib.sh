# Shared helpers for the build and test scripts. Source it; do not run it.

BRIVANT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BRIVANT_JOBS=${BRIVANT_JOBS:-$(nproc 2>/dev/null || echo 2)}

# need_packages PKG...: installs the Debian packages that are missing (as
# root), or prints the apt-get line to run and fails.
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

# The packages every build needs.
need_base_packages() {
    need_packages cmake make g++ gcc binutils libgtest-dev libgmock-dev
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
    need_packages cmake make g++ binutils libbenchmark-dev
    local dir="$BRIVANT_ROOT/build-bench"
    cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DBRIVANT_BUILD_BENCH=ON -DBRIVANT_BUILD_TESTS=OFF >/dev/null &&
        cmake --build "$dir" -j "$BRIVANT_JOBS" --target brivant_bench brivant_bench_own
}

# build_wheel OUT_DIR [PLATFORM_TAG LIBRARY]: the Python package's wheel in
# OUT_DIR: with LIBRARY inside it for PLATFORM_TAG (win_amd64, win32,
# linux_x86_64), or pure Python without them. Offline: the package's own
# backend needs nothing beyond the standard library.
build_wheel() {
    need_packages python3-build
    local out=$1
    shift
    local settings=()
    if [ $# -eq 2 ]; then
        settings=(-C "platform-tag=$1" -C "library=$(realpath "$2")")
    fi
    /usr/bin/python3 -m build --wheel --no-isolation "${settings[@]}" --outdir "$out" \
        "$BRIVANT_ROOT/python" | tail -n1
}

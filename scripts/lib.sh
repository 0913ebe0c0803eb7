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
    [build]="cmake make ninja-build ccache g++ gcc binutils pkg-config libgtest-dev libgmock-dev libusb-1.0-0-dev
             libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libmosquitto-dev libssl-dev libsqlite3-dev
             protobuf-c-compiler libprotobuf-c-dev protobuf-compiler python3-protobuf curl openssl"
    [usb-emulation]="umockdev libumockdev-dev"
    [clang]="clang libclang-rt-14-dev"
    [windows]="cmake make ninja-build ccache dpkg-dev tcl protobuf-c-compiler g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
               g++-mingw-w64-i686-posix binutils-mingw-w64-i686 llvm
               libcli11-dev nlohmann-json3-dev libtomlplusplus-dev"
    # The Windows installer, built and read back.
    [msi]="wixl msitools"
    [wine]="wine wine64 python3-pefile"
    [wine32]="wine32:i386"
    [valgrind]="valgrind"
    [bench]="cmake make ninja-build ccache g++ binutils pkg-config libbenchmark-dev libusb-1.0-0-dev umockdev libsqlite3-dev
             libumockdev-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libmosquitto-dev
             mosquitto"
    # Real servers for serve's MQTT and metrics tests: a broker, a
    # Prometheus, an MQTT client and certificates made on the spot.
    [servers]="mosquitto mosquitto-clients prometheus python3-paho-mqtt openssl"
    # 64-bit ARM Linux: Debian's cross toolchain, the arm64 development
    # packages through multiarch, and qemu-user to run what it builds.
    [aarch64]="cmake make ninja-build ccache crossbuild-essential-arm64 qemu-user pkg-config libusb-1.0-0-dev:arm64
               libstdc++6:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libcli11-dev nlohmann-json3-dev
               libtomlplusplus-dev"
    # The Debian packages: the build flags, dependencies from the binaries,
    # the manual page from the tool's help, and lintian.
    [deb]="dpkg-dev help2man lintian xz-utils systemd udev"
    [browser]="chromium"
    [python]="python3 python3-venv python3-pip python3-build python3-wheel"
    [pkgconfig]="pkg-config"
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
    # Packages of another architecture (wine32:i386) need it enabled first,
    # and package lists that include it.
    local arch new_archs=()
    for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\(.*\)/\1/p' | sort -u); do
        if [ "$arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            new_archs+=("$arch")
        fi
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages; install them with:" >&2
        for arch in "${new_archs[@]}"; do
            echo "  sudo dpkg --add-architecture $arch && sudo apt-get update" >&2
        done
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "installing ${missing[*]}"
    for arch in "${new_archs[@]}"; do
        dpkg --add-architecture "$arch" || return 1
        unset BRIVANT_APT_UPDATED
    done
    if [ -z "${BRIVANT_APT_UPDATED:-}" ]; then
        # A mirror caught mid-sync fails one index; the install below then
        # says whether what it fetched is enough.
        local update_log
        update_log=$(mktemp)
        if ! apt-get update -qq >"$update_log" 2>&1; then
            cat "$update_log" >&2
            echo "warning: apt-get update reported errors; installing from the lists it has" >&2
            take_index_mid_sync "$update_log"
        fi
        rm -f "$update_log"
        export BRIVANT_APT_UPDATED=1
    fi
    # --no-remove: a package of another architecture whose version the lists
    # do not match fails here rather than taking installed ones away.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "${missing[@]}" \
        >/dev/null || return 1
}

# take_index_mid_sync LOG: a mirror caught mid-sync serves a package index
# that its signed Release does not describe, and apt refuses it. For a
# foreign architecture that leaves no index newer than the release's, so its
# libraries cannot match the native ones (Multi-Arch: same) and nothing of
# it installs. Such an index is fetched as the mirror serves it and put
# where apt reads its lists; the packages installed from it are still
# checked against the hashes it gives. Only indexes refused for their size,
# which is what a sync in progress looks like, are taken.
take_index_mid_sync() {
    local log=$1 url name tmp
    grep -oE 'Failed to fetch [^ ]+/binary-[a-z0-9]+/Packages\.xz +File has unexpected size' "$log" |
        awk '{print $4}' | sort -u | while read -r url; do
        name=$(printf '%s' "${url%.xz}" | sed -E 's|^[a-z]+://||; s|/|_|g')
        tmp=$(mktemp)
        if command -v curl >/dev/null && command -v xz >/dev/null &&
            curl -fsS -o "$tmp" "$url" && xz -t "$tmp" 2>/dev/null &&
            xzcat "$tmp" >"/var/lib/apt/lists/$name.partial" &&
            mv "/var/lib/apt/lists/$name.partial" "/var/lib/apt/lists/$name"; then
            echo "warning: took $url as the mirror serves it now (its Release names another)" >&2
        else
            rm -f "/var/lib/apt/lists/$name.partial"
            echo "warning: could not take $url either" >&2
        fi
        rm -f "$tmp"
    done
}

# Node.js with npm, for the tests whose other side is written with npm's
# packages. The machine may carry a newer Node.js of its own, with npm
# inside: then it stays.
need_node() {
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        need_packages nodejs npm
    fi
}

# Headless Chromium and Node.js with npm, for the panel's browser test.
need_browser_packages() {
    need browser
    need_node
}

# The Sparkplug host of the servers suite: npm's mqtt and sparkplug-payload,
# exactly as tests/sparkplug-host/package-lock.json pins them.
install_sparkplug_host() {
    local started
    need_node
    [ -d "$BRIVANT_ROOT/tests/sparkplug-host/node_modules/sparkplug-payload" ] && return 0
    started=$(date +%s)
    (cd "$BRIVANT_ROOT/tests/sparkplug-host" &&
        npm ci --no-audit --no-fund --loglevel=error >/dev/null) &&
        echo "installed: the Sparkplug host's mqtt and sparkplug-payload from npm ($(( $(date +%s) - started )) s)"
}

# puppeteer-core, exactly as tests/panel-browser/package-lock.json pins it.
install_browser_driver() {
    local started
    started=$(date +%s)
    (cd "$BRIVANT_ROOT/tests/panel-browser" &&
        npm ci --no-audit --no-fund --loglevel=error >/dev/null) &&
        echo "installed: puppeteer-core from npm ($(( $(date +%s) - started )) s)"
}

# The compiler cache: Debian's ccache, in a folder outside the clone, so that
# another clone of the same tree on this machine (CI's) reuses what this one
# compiled. Paths under the clone are hashed relative to it, and the build
# folder's own name and the prefix map that hides it are left out of the
# hash, so the same sources hit whatever folder they are in.
# BRIVANT_CCACHE=0 compiles without it.
brivant_cache_root() {
    echo "${BRIVANT_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/brivant}"
}
if [ "${BRIVANT_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-$(brivant_cache_root)/ccache}
    export CCACHE_BASEDIR=$BRIVANT_ROOT CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
    export CCACHE_IGNOREOPTIONS='-ffile-prefix-map=*'
    BRIVANT_LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
else
    BRIVANT_LAUNCHER=()
fi

# cmake_configure DIR [CMAKE ARGS...]: configures this source tree in DIR,
# with Ninja for a new tree when it is there (a tree keeps the generator it
# was made with) and the compiler cache. A tree configured before with the
# same arguments and compilers is not configured again: its build reruns
# CMake by itself when a CMakeLists.txt changes.
cmake_configure() {
    local dir=$1
    shift
    local generator=() stamp wanted
    mkdir -p "$dir"
    stamp=$dir/.brivant-configured
    wanted=$(printf '%q ' "CC=${CC:-}" "CXX=${CXX:-}" "${BRIVANT_LAUNCHER[@]}" "$@")
    if [ -f "$dir/CMakeCache.txt" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        return 0
    fi
    if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
        generator=(-G Ninja)
    fi
    rm -f "$stamp"
    cmake -S "$BRIVANT_ROOT" -B "$dir" "${generator[@]}" "${BRIVANT_LAUNCHER[@]}" "$@" >/dev/null &&
        printf '%s' "$wanted" >"$stamp"
}

# with_tree_lock DIR COMMAND...: COMMAND (a function of this file too) while
# holding DIR's lock. Stages that run at once may share a tree: one
# configures or builds in it at a time.
with_tree_lock() {
    local dir=$1
    shift
    mkdir -p "$dir"
    (
        flock 9
        "$@"
    ) 9>"$dir/.brivant-build.lock"
}

# cmake_build DIR [BUILD ARGS...]: builds in DIR, under its lock.
cmake_build() {
    with_tree_lock "$1" cmake --build "$1" -j "$BRIVANT_JOBS" "${@:2}"
}

# configure_and_build DIR [CMAKE ARGS...]: the Linux build in DIR, optimised,
# with line tables for debug information (-g1): enough for a sanitizer's or
# valgrind's report to name file and line, at half the compile time of -g.
configure_and_build() {
    local dir=$1
    shift
    with_tree_lock "$dir" cmake_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" "$@" &&
        cmake_build "$dir"
}

# build_linux_tree: the Linux tree of the tests, build/: gcc, over the
# simulated units, with the libusb backend's tests over emulated units.
build_linux_tree() {
    need build usb-emulation
    configure_and_build "$BRIVANT_ROOT/build" -DBRIVANT_USB_TESTS=ON
}

# count WHAT N: a line that test.sh gathers into its account of what ran.
count() {
    echo "count: $1: $2"
}

# count_matched WHAT SED_EXPRESSION FILE: counts as WHAT the number that
# the sed -E expression prints from FILE's last matching line.
count_matched() {
    local n
    n=$(sed -nE "$2" "$3" | tail -n1)
    count "$1" "${n:-0}"
}

# ctest_counted WHAT DIR [CTEST ARGS...]: ctest in DIR, its tally counted as
# WHAT; its output also in DIR/ctest-STAGE.log.
ctest_counted() {
    local what=$1 dir=$2 status=0
    shift 2
    local log=$dir/ctest-${BRIVANT_STAGE:-run}.log
    ctest --test-dir "$dir" --output-on-failure -j "$BRIVANT_JOBS" "$@" 2>&1 | tee "$log" || status=$?
    count_matched "$what" 's/.* tests failed out of ([0-9]+).*/\1/p' "$log"
    return $status
}

# asan_options, tsan_options: what the sanitizer builds run with: any report
# ends the program with a status of its own.
asan_options() {
    export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:exitcode=66:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=67
}
tsan_options() {
    export TSAN_OPTIONS=halt_on_error=1:exitcode=68:second_deadlock_stack=1
}

# no_sanitizer_report NAME DIR: fails when ctest's log in DIR holds a
# sanitizer report that somehow did not fail its test; else says so, with
# the stress and sweep tallies.
no_sanitizer_report() {
    local name=$1 log=$2/Testing/Temporary/LastTest.log
    if grep -qE "ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer" "$log"; then
        echo "$name: sanitizer report found in the test log" >&2
        return 1
    fi
    grep -hE "^(sweep|stress):" "$log" | sed "s/^/$name: /" || true
    echo "$name: no sanitizer report"
}

# build_clang_tree: build-clang/, clang with warnings as errors, every target
# with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# (the fuzz targets alone link libFuzzer): the test suite with the libusb
# backend's tests, and the fuzzers.
build_clang_tree() {
    need build clang usb-emulation
    CC=clang CXX=clang++ configure_and_build "$BRIVANT_ROOT/build-clang" -DBRIVANT_WERROR=ON \
        -DBRIVANT_USB_TESTS=ON -DBRIVANT_FUZZ=ON -DBRIVANT_SANITIZE=fuzzer-no-link,address,undefined
}

# build_tsan_tree: build-tsan/, gcc with ThreadSanitizer.
build_tsan_tree() {
    need build usb-emulation
    configure_and_build "$BRIVANT_ROOT/build-tsan" -DBRIVANT_SANITIZE=thread -DBRIVANT_USB_TESTS=ON
}

# run_servers_suite TOOL NAME: the servers suite (tests/servers/) against
# serve from TOOL, its tally counted under NAME: the JSON topics and the
# metrics, then the Sparkplug node against the npm host (the second decoder's
# module from TOOL's own tree).
run_servers_suite() {
    local tool=$1 name=$2 log status=0 suite
    install_sparkplug_host
    log=$(mktemp)
    for suite in test_mqtt_and_metrics test_sparkplug; do
        echo "--- serve ($tool): $suite"
        (cd "$BRIVANT_ROOT/tests/servers" &&
            BRIVANT_TOOL=$tool BRIVANT_SPARKPLUG_MODULE="$(dirname "$tool")/tests/sparkplug_py" \
                /usr/bin/python3 -m unittest -v "$suite") 2>&1 | tee -a "$log" || status=$?
    done
    count "servers suite, $name serve (unittest)" "$(awk '/^Ran [0-9]+ tests? in/ {n += $2} END {print n + 0}' "$log")"
    # The node over units unplugged and back, in-process, against the same host.
    local tests
    tests="$(dirname "$tool")/tests/brivant_tool_tests"
    if [ -x "$tests" ]; then
        BRIVANT_SPARKPLUG_HOST="$BRIVANT_ROOT/tests/sparkplug-host/host.mjs" \
            "$tests" --gtest_filter='SparkplugUnplug.*' 2>&1 | tee "$log" || status=$?
        count_matched "servers suite, $name Sparkplug node in-process (gtest)" 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$log"
    fi
    rm -f "$log"
    [ $status -eq 0 ] && echo "servers: $name serve against Mosquitto, Prometheus and a Sparkplug host passed"
    return $status
}

# The benchmarks' targets.
BRIVANT_BENCH_TARGETS=(brivant_bench brivant_bench_own brivant_bench_shipped brivant_bench_tool
    brivant_bench_usb brivant_bench_usb_own brivant_bench_mqtt)

# build_bench: the benchmark binaries, Release, in build-bench/.
build_bench() {
    need bench
    local dir="$BRIVANT_ROOT/build-bench"
    with_tree_lock "$dir" cmake_configure "$dir" -DCMAKE_BUILD_TYPE=Release -DBRIVANT_BUILD_BENCH=ON \
        -DBRIVANT_BUILD_TESTS=OFF &&
        cmake_build "$dir" --target "${BRIVANT_BENCH_TARGETS[@]}" brivant_cli
}

# linux_release_dir ARCH: the Release tree of build_linux_release for ARCH.
linux_release_dir() {
    case $1 in
    amd64) echo "$BRIVANT_ROOT/build-linux-release" ;;
    arm64) echo "$BRIVANT_ROOT/build-linux-release-arm64" ;;
    *) echo "no architecture '$1' (amd64 or arm64)" >&2; return 64 ;;
    esac
}

# deb_buildflag ARCH NAME: Debian's NAME (CFLAGS, LDFLAGS, ...) for ARCH,
# every hardening feature on.
deb_buildflag() {
    DEB_HOST_ARCH=$1 DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$2" 2>/dev/null
}

# quiet_unless_failing COMMAND...: runs COMMAND with its output kept back,
# and shows its last lines if it fails.
quiet_unless_failing() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [ $status -eq 0 ] || tail -n 60 "$log" >&2
    rm -f "$log"
    return $status
}

# build_linux_release [ARCH [TARGET...]]: the shipped Linux library (or the
# targets named), Release, for amd64 (the default) or arm64, in
# linux_release_dir's tree: what the wheels, the NuGet package and the Debian
# packages carry, one tree each. Configured as a package is (prefix /usr,
# Debian's hardening flags), so scripts/build-debs.sh builds the tool in the
# same tree. The amd64 tree also builds the benchmarks, and the arm64 one the
# test suite that runs under emulation: each tree is compiled once.
build_linux_release() {
    local arch=${1:-amd64} dir cross=() kind=()
    [ $# -gt 0 ] && shift
    local targets=("$@")
    [ ${#targets[@]} -gt 0 ] || targets=(brivant)
    dir=$(linux_release_dir "$arch") || return 64
    if [ "$arch" = arm64 ]; then
        need aarch64
        cross=(-DCMAKE_TOOLCHAIN_FILE="$BRIVANT_ROOT/cmake/linux-aarch64.cmake")
        kind=(-DBRIVANT_BUILD_TESTS=ON)
    else
        need bench
        kind=(-DBRIVANT_BUILD_TESTS=OFF -DBRIVANT_BUILD_BENCH=ON)
    fi
    need build deb
    local cflags cxxflags ldflags
    cflags="$(deb_buildflag "$arch" CFLAGS) $(deb_buildflag "$arch" CPPFLAGS)"
    cxxflags="$(deb_buildflag "$arch" CXXFLAGS) $(deb_buildflag "$arch" CPPFLAGS)"
    ldflags=$(deb_buildflag "$arch" LDFLAGS)
    # The build folder's own path stays out of the binaries.
    cflags=${cflags//-ffile-prefix-map=$PWD=./-ffile-prefix-map=$BRIVANT_ROOT=.}
    cxxflags=${cxxflags//-ffile-prefix-map=$PWD=./-ffile-prefix-map=$BRIVANT_ROOT=.}
    # Line tables for debug information, as in the test trees: a backtrace
    # names file and line, at half the compile time. (The packages are
    # stripped of it whichever it is.)
    cflags=$(sed -E 's/(^| )-g( |$)/\1-g1\2/' <<<"$cflags")
    cxxflags=$(sed -E 's/(^| )-g( |$)/\1-g1\2/' <<<"$cxxflags")
    with_tree_lock "$dir" cmake_configure "$dir" "${cross[@]}" -DCMAKE_BUILD_TYPE=Release "${kind[@]}" \
        -DCMAKE_INSTALL_PREFIX=/usr -DBRIVANT_INSTALL_SYSTEM_FILES=ON \
        -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)" \
        -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" &&
        quiet_unless_failing cmake_build "$dir" --target "${targets[@]}"
}

# The .NET SDK quietly, and restores that ask only the registry's copy and
# the machine's folder of packages.
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1

# need_dotnet: the .NET SDK is part of this kind of machine, not a package.
need_dotnet() {
    command -v dotnet >/dev/null && return 0
    echo "the .NET SDK (dotnet) is not on PATH; install the .NET SDK 8 or later" >&2
    return 1
}

# build_wheel OUT_DIR [PLATFORM_TAG LIBRARY]: the Python package's wheel in
# OUT_DIR: with LIBRARY inside it for PLATFORM_TAG (win_amd64, win32,
# linux_x86_64), or pure Python without them. Offline: the package's own
# backend needs nothing beyond the standard library.
build_wheel() {
    need python
    local out=$1
    shift
    local settings=()
    if [ $# -eq 2 ]; then
        settings=(-C "platform-tag=$1" -C "library=$(realpath "$2")")
    fi
    /usr/bin/python3 -m build --wheel --no-isolation "${settings[@]}" --outdir "$out" \
        "$BRIVANT_ROOT/python" | tail -n1
}

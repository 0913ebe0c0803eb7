#!/usr/bin/env bash
# The amd64 packages as a user gets them, on this machine (as root):
# `apt-get install ./*.deb`; a C and a C++ consumer built against the
# installed system files with pkg-config and with find_package(Brivant), and
# run; `brivant --simulate list` from PATH; the group; systemd-analyze verify
# on the unit; a parse of the udev rule; then `apt-get purge`, which must
# leave none of the packages' files (the file lists before and after).
# Usage: tests/packages/install_check.sh DEB_DIR VERSION
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
[ $# -eq 2 ] || { echo "usage: $0 DEB_DIR VERSION" >&2; exit 64; }
debs=$(cd "$1" && pwd)
version=$2
[ "$(id -u)" -eq 0 ] || { echo "install_check: must run as root (it installs the packages)" >&2; exit 1; }
packages=(libbrivant4 libbrivant-dev brivant)
files=()
for package in "${packages[@]}"; do
    files+=("$debs/${package}_${version}_amd64.deb")
done
export DEBIAN_FRONTEND=noninteractive BRIVANT_BACKEND=sim

purge() {
    apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
}
# Every file outside the package manager's own records and the caches.
snapshot() {
    find /etc /usr /var/lib /opt \( -path /var/lib/dpkg -o -path /var/lib/apt \) -prune -o -print 2>/dev/null |
        sort
}
purge
# What the packages depend on comes first, so that the lists compared
# differ by the packages' own files alone. systemd and udev bring
# systemd-analyze and udevadm.
depends=$(for file in "${files[@]}"; do dpkg-deb -f "$file" Depends; done | tr ',' '\n' |
    sed -E 's/\(.*\)//; s/^ +| +$//g' | grep -v '^libbrivant' | sort -u)
# shellcheck disable=SC2086 # one package a word
need_packages $depends systemd udev pkg-config cmake make gcc g++

work=$(mktemp -d)
trap 'rm -rf "$work"; purge' EXIT
snapshot >"$work/before"

echo "--- apt-get install ./*.deb"
(cd "$debs" && apt-get install -y -qq --no-remove "${files[@]/#$debs/.}" >/dev/null)
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Package} ${Version} ${Status}\n' "$package"
done

echo "--- brivant from PATH"
[ "$(command -v brivant)" = /usr/bin/brivant ] || { echo "brivant is not /usr/bin/brivant"; exit 1; }
listed=$(brivant --simulate list 2>/dev/null | tr '\n' ' ')
[ "$listed" = "0 1 5 " ] || { echo "brivant --simulate list gave '$listed'"; exit 1; }
echo "brivant --simulate list: $listed"
brivant --version | head -n1
getent group brivant >/dev/null || { echo "no group brivant"; exit 1; }
echo "group brivant: $(getent group brivant)"

echo "--- consumers against the system files"
consumer=$BRIVANT_ROOT/examples/consumer
pc_version=$(env -u PKG_CONFIG_PATH pkg-config --modversion brivant)
[ "$pc_version" = "$version" ] || { echo "pkg-config says $pc_version, the package $version"; exit 1; }
cc -std=c99 -Wall -Wextra -Werror "$consumer/main.c" $(pkg-config --cflags --libs brivant) -o "$work/pc_c"
c++ -std=c++17 -Wall -Wextra -Werror "$consumer/main.cpp" $(pkg-config --cflags --libs brivant) -o "$work/pc_cpp"
"$work/pc_c"
"$work/pc_cpp"
readelf -d "$work/pc_c" | grep -q 'Shared library: \[libbrivant.so.4\]' ||
    { echo "the pkg-config consumer does not link libbrivant.so.4"; exit 1; }
cmake -S "$consumer" -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
grep -q "^Brivant_DIR:PATH=/usr/lib/x86_64-linux-gnu/cmake/Brivant$" "$work/cmake/CMakeCache.txt" ||
    { echo "find_package(Brivant) did not take the installed package:"; grep Brivant_DIR "$work/cmake/CMakeCache.txt"; exit 1; }
"$work/cmake/consumer_c"
"$work/cmake/consumer_cpp"
echo "consumers: pkg-config and find_package(Brivant) from /usr"

echo "--- the service and the rule"
systemd-analyze verify /usr/lib/systemd/system/brivant-serve.service
echo "systemd-analyze verify: brivant-serve.service accepted"
brivant serve --check /etc/brivant/station.toml
rule=/usr/lib/udev/rules.d/60-brivant.rules
if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify "$rule"
else
    # udev 252 has no verify: `udevadm test` reads every rules file and
    # names each line it cannot parse as FILE:LINE.
    udevadm test --action=add /devices/virtual/mem/null >"$work/udev.log" 2>&1 || true
    grep -q "Reading rules file: $rule" "$work/udev.log" || { echo "udev did not read $rule"; exit 1; }
    if grep "^$rule:" "$work/udev.log"; then
        echo "udev refuses lines of $rule"
        exit 1
    fi
    echo "udevadm test: $rule read, every line parsed"
fi

echo "--- the system serve's token and place"
# The token a station file names with token_file = "/etc/brivant/token".
[ "$(stat -c '%a %U %G' /etc/brivant/token)" = "640 root brivant" ] &&
    grep -qxE '[0-9a-f]{32}' /etc/brivant/token || { echo "/etc/brivant/token: $(stat -c '%a %U %G' /etc/brivant/token)"; exit 1; }
unit=/usr/lib/systemd/system/brivant-serve.service
getent passwd brivant | grep -q ':/var/lib/brivant:/usr/sbin/nologin$' || { echo "no system user brivant"; exit 1; }
for line in RuntimeDirectory=brivant RuntimeDirectoryMode=0750 StateDirectory=brivant StateDirectoryMode=0750 \
    User=brivant Group=brivant UMask=0027 \
    SupplementaryGroups=brivant "RestartPreventExitStatus=64 66"; do
    grep -qx "$line" "$unit" || { echo "$unit lacks $line"; exit 1; }
done
! grep -q XDG_RUNTIME_DIR "$unit" || { echo "$unit still sets XDG_RUNTIME_DIR"; exit 1; }
# No systemd runs here: serve runs as the unit would run it, as a user of
# its own in the group brivant with RUNTIME_DIRECTORY set, reading the
# root-owned token file. A member of the group finds it; another user not.
gid=$(getent group brivant | cut -d: -f3)
system=$work/run-brivant
mkdir -m 0755 "$system"
chown 61001:61001 "$system"
as() { # UID GROUPS COMMAND...: the command as that user, with folders of its own
    local uid=$1 groups=$2
    shift 2
    mkdir -p -m 0700 "$work/home-$uid" && chown "$uid" "$work/home-$uid"
    env HOME="$work/home-$uid" XDG_RUNTIME_DIR="$work/home-$uid" BRIVANT_SYSTEM_RUNTIME="$system" \
        setpriv --reuid="$uid" --regid="$uid" --groups="$groups" --inh-caps=-all -- "$@"
}
printf 'station = "sys"\ntoken_file = "/etc/brivant/token"\n[unit.0]\n' >"$work/sys.toml"
chmod 0644 "$work/sys.toml"
chmod 0755 "$work"
mkdir -p -m 0700 "$work/home-61001" && chown 61001 "$work/home-61001"
# Each command execs the next: $! is serve's own PID.
env HOME="$work/home-61001" RUNTIME_DIRECTORY="$system" \
    setpriv --reuid=61001 --regid=61001 --groups="$gid" --inh-caps=-all -- \
    brivant serve --config "$work/sys.toml" --log-format json >"$work/sys.out" 2>"$work/sys.err" &
sys_pid=$!
for _ in $(seq 1 100); do ls "$system"/serve-*.json >/dev/null 2>&1 && break; sleep 0.05; done
record=$(ls "$system"/serve-*.json 2>/dev/null || true)
[ -n "$record" ] || { echo "the system serve wrote no runtime file:"; cat "$work/sys.out" "$work/sys.err"; exit 1; }
[ "$(stat -c '%a %G' "$system")" = "750 brivant" ] && [ "$(stat -c '%a %G' "$record")" = "640 brivant" ] ||
    { echo "system place: $(stat -c '%a %G' "$system") $(stat -c '%a %G' "$record")"; exit 1; }
grep -q "The page's token is in /etc/brivant/token." "$work/sys.out" && ! grep -qf /etc/brivant/token "$work/sys.out" ||
    { echo "serve's output:"; cat "$work/sys.out"; exit 1; }
as 61002 "$gid" brivant read 0 >"$work/in.out" 2>&1 || true
grep -q "held by brivant serve (station sys" "$work/in.out" ||
    { echo "a member of the group did not reach the system serve:"; cat "$work/in.out"; exit 1; }
as 61003 61003 brivant read 0 >"$work/out.out" 2>&1 || true
! grep -q "held by brivant serve" "$work/out.out" ||
    { echo "a user outside the group reached the system serve:"; cat "$work/out.out"; exit 1; }
kill -TERM "$sys_pid"
wait "$sys_pid" || { echo "the system serve did not stop cleanly:"; cat "$work/sys.err"; exit 1; }
echo "system serve: token read from /etc/brivant/token, its place 750 and 640 of group brivant," \
    "reached by a member of the group and not by another user"

echo "--- apt-get purge"
apt-get purge -y -qq "${packages[@]}" >/dev/null
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/left"; then
    echo "the packages left these behind (or took these away):"
    cat "$work/left"
    exit 1
fi
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
        echo "$package is still installed"
        exit 1
    fi
done
echo "purge: none of the packages' files left ($(wc -l <"$work/before") paths compared)"

#!/usr/bin/env bash
# Runs the test stages of scripts/stages/ and reports each:
#   scripts/test.sh                    every stage
#   scripts/test.sh 10-linux 15-clang  only these (the .sh may be left off)
# Exits non-zero when any stage fails.
#
# Each stage says in its opening comment lines what it needs:
#   # packages: GROUP...   the package groups of scripts/lib.sh it uses
#   # after: STAGE...      the stages whose trees or results it uses
#   # lane: build|wait     build: it compiles or computes on both cores;
#                          wait: it mostly waits on servers, timers or one core
# The packages of every chosen stage are installed first, one apt-get at a
# time. Then a stage starts as soon as the stages it comes after have passed
# (a stage that was not chosen does not hold it back: it builds what it needs
# itself): one build stage at a time, and beside it up to
# BRIVANT_WAIT_LANES (2) wait stages. Each stage writes its own log in
# $BRIVANT_LOG_DIR (build-logs/), printed whole when the stage ends; a stage
# after one that failed does not run and fails too, naming it.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

# BRIVANT_STAGE_DIR: another folder of stages (the runner's own test uses it).
stage_dir=${BRIVANT_STAGE_DIR:-$BRIVANT_ROOT/scripts/stages}
stages=()
if [ $# -eq 0 ]; then
    for stage in "$stage_dir"/*.sh; do stages+=("$(basename "$stage" .sh)"); done
else
    for name in "$@"; do
        if [ ! -f "$stage_dir/${name%.sh}.sh" ]; then
            echo "no stage '$name'; the stages are:" >&2
            (cd "$stage_dir" && ls ./*.sh | sed 's|^\./||; s|\.sh$||; s/^/  /') >&2
            exit 2
        fi
        stages+=("${name%.sh}")
    done
fi

# header STAGE FIELD: the words of the stage's "# FIELD:" line.
header() {
    sed -n "s/^# $2: *//p" "$stage_dir/$1.sh" | head -n1
}

log_dir=${BRIVANT_LOG_DIR:-$BRIVANT_ROOT/build-logs}
rm -rf "$log_dir"
mkdir -p "$log_dir"
run_started=$(date +%s)
# The compiler cache's tally: what it counted during this run, taken as the
# difference from its counts now (zeroing them would spoil another run's).
ccache_tally() {
    ccache --print-stats 2>/dev/null |
        awk -F'\t' '$1 ~ /^(direct_cache_hit|preprocessed_cache_hit)$/ {hit += $2}
                    $1 == "cache_miss" {miss = $2}
                    END {print hit + 0, miss + 0}'
}
tally_before=
if [ ${#BRIVANT_LAUNCHER[@]} -gt 0 ]; then tally_before=$(ccache_tally); fi

# ---- what the chosen stages need, installed first ----------------------------
groups=()
for name in "${stages[@]}"; do
    # shellcheck disable=SC2207 # one group a word
    groups+=($(header "$name" packages))
done
mapfile -t groups < <(printf '%s\n' "${groups[@]}" | sed '/^$/d' | sort -u)
echo "=== installing what the stages need: ${groups[*]}"
install_started=$(date +%s)
install_status=0
if [ ${#groups[@]} -gt 0 ]; then
    need "${groups[@]}" 2>&1 | tee "$log_dir/install.log" || install_status=1
fi
if printf '%s\n' "${groups[@]}" | grep -qx browser; then
    need_browser_packages 2>&1 | tee -a "$log_dir/install.log" || install_status=1
fi
if printf '%s\n' "${groups[@]}" | grep -qx aarch64; then
    # serve for arm64 gets MQTT where libmosquitto's arm64 package installs
    # beside the machine's own.
    need_packages libmosquitto-dev:arm64 2>&1 | tee -a "$log_dir/install.log" ||
        echo "warning: libmosquitto-dev:arm64 cannot be installed here; arm64 serve is built without MQTT"
fi
install_seconds=$(( $(date +%s) - install_started ))
installed=$(sed -n 's/^installing //p' "$log_dir/install.log" 2>/dev/null | tr '\n' ' ')
echo "=== installed: ${installed:-nothing (every package was there)} ($install_seconds s)"
if [ $install_status -ne 0 ]; then
    echo "the packages could not be installed; no stage runs"
    echo "stages: 0 passed, ${#stages[@]} failed"
    exit 1
fi

# ---- the stages, as their order and the lanes allow --------------------------
declare -A state started_at seconds lane after
for name in "${stages[@]}"; do
    state[$name]=waiting
    lane[$name]=$(header "$name" lane)
    [ -n "${lane[$name]}" ] || lane[$name]=build
    after[$name]=$(header "$name" after)
done
wait_lanes=${BRIVANT_WAIT_LANES:-2}
running_build=0
running_wait=0
declare -A stage_of_pid

# blocker NAME: the first chosen stage NAME comes after that did not pass, or
# "pending" while one is still to run, or nothing when it may start.
blocker() {
    local dep
    for dep in ${after[$1]}; do
        [ -n "${state[$dep]+set}" ] || continue
        case ${state[$dep]} in
        passed) ;;
        failed | "not run") echo "$dep"; return ;;
        *) echo pending; return ;;
        esac
    done
}

start_stage() {
    local name=$1
    state[$name]=running
    started_at[$name]=$(date +%s)
    echo "=== stage $name started ($(( started_at[$name] - run_started )) s into the run, ${lane[$name]} lane)"
    BRIVANT_STAGE=$name bash "$stage_dir/$name.sh" >"$log_dir/$name.log" 2>&1 </dev/null &
    stage_of_pid[$!]=$name
    if [ "${lane[$name]}" = wait ]; then
        running_wait=$((running_wait + 1))
    else
        running_build=$((running_build + 1))
    fi
}

finish_stage() {
    local name=$1 status=$2
    seconds[$name]=$(( $(date +%s) - started_at[$name] ))
    if [ "${lane[$name]}" = wait ]; then
        running_wait=$((running_wait - 1))
    else
        running_build=$((running_build - 1))
    fi
    echo "=== stage $name"
    cat "$log_dir/$name.log"
    if [ "$status" -eq 0 ]; then
        state[$name]=passed
        echo "=== stage $name passed (${seconds[$name]} s)"
    else
        state[$name]=failed
        echo "=== stage $name FAILED (${seconds[$name]} s; exit $status; log $log_dir/$name.log)"
    fi
}

while :; do
    progress=0
    for name in "${stages[@]}"; do
        [ "${state[$name]}" = waiting ] || continue
        why=$(blocker "$name")
        if [ -n "$why" ] && [ "$why" != pending ]; then
            state[$name]="not run"
            seconds[$name]=0
            echo "=== stage $name FAILED (not run: it comes after $why, which did not pass)"
            progress=1
            continue
        fi
        [ -z "$why" ] || continue
        if [ "${lane[$name]}" = wait ]; then
            [ $running_wait -lt "$wait_lanes" ] || continue
        else
            [ $running_build -lt 1 ] || continue
        fi
        start_stage "$name"
        progress=1
    done
    [ $progress -eq 1 ] && continue
    [ $((running_build + running_wait)) -gt 0 ] || break
    finished_pid=
    wait -n -p finished_pid
    status=$?
    finish_stage "${stage_of_pid[$finished_pid]}" "$status"
done

# ---- the account ---------------------------------------------------------------
run_seconds=$(( $(date +%s) - run_started ))
passed=0
failed=0
failed_names=()
echo
echo "=== stage times (the run: $run_seconds s, of which installing $install_seconds s)"
printf '%-20s %-6s %8s  %s\n' stage lane seconds result
for name in "${stages[@]}"; do
    printf '%-20s %-6s %8s  %s\n' "$name" "${lane[$name]}" "${seconds[$name]:-0}" "${state[$name]}"
    if [ "${state[$name]}" = passed ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failed_names+=("$name")
    fi
done
echo "installed: ${installed:-nothing} ($install_seconds s)"
# What stages installed or built from source for themselves.
for name in "${stages[@]}"; do
    sed -n "s/^installed: /$name installed: /p" "$log_dir/$name.log" 2>/dev/null
done
# What ran, counted: each stage prints "count: WHAT: N" lines.
echo
echo "=== what ran"
for name in "${stages[@]}"; do
    sed -n "s/^count: /$name: /p" "$log_dir/$name.log" 2>/dev/null
done
if [ -n "$tally_before" ]; then
    read -r hits_before misses_before <<<"$tally_before"
    read -r hits misses <<<"$(ccache_tally)"
    echo "compiler cache ($CCACHE_DIR): $((hits - hits_before)) hits, $((misses - misses_before)) misses in this run"
fi
[ $failed -gt 0 ] && echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]

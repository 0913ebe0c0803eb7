#!/usr/bin/env bash
# Usage: serve_test.sh BRIVANT LIBRARY PYTHON_DIR EXAMPLES_DIR. brivant serve as
# a process over the simulated units: --check, the tool and the Python
# package going through it (and not with --direct), SIGHUP with a bad file and
# a good one, SIGTERM. Each process has simulated units of its own, so what
# went through serve shows in serve's live configuration and counts.
set -uo pipefail
tool=$1
library=$2
python_dir=$3
examples=$4
failures=0
checks=0
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run BRIVANT_BACKEND=sim
mkdir -m 700 "$XDG_RUNTIME_DIR"
serve_pid=
cleanup() {
    [ -n "$serve_pid" ] && kill -KILL "$serve_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() { # CONDITION-STATUS WHAT
    checks=$((checks + 1))
    if [ "$1" -ne 0 ]; then
        failures=$((failures + 1))
        echo "FAIL: $2"
    fi
}

# --- --check: 0 for the example, 64 with FILE:LINE:COLUMN for mistakes.
"$tool" serve --check "$examples/station.toml" >"$work/out" 2>&1
check $? "serve --check examples/station.toml exits 0: $(cat "$work/out")"
printf 'station = "x"\n[unit.0.channel.0]\nmultiplier = 5\nmultiplyer = 1\nrun = "yes"\n' >"$work/bad.toml"
"$tool" serve --check "$work/bad.toml" >"$work/out" 2>&1
status=$?
[ "$status" -eq 64 ] && grep -q "bad.toml:3:14: unit.0.channel.0.multiplier 5 is not 0 to 2" "$work/out" &&
    grep -q "bad.toml:4:1: unknown key 'multiplyer'" "$work/out" &&
    grep -q "bad.toml:5:7: unit.0.channel.0.run must be true or false, not a string" "$work/out"
check $? "serve --check names every mistake (status $status): $(cat "$work/out")"

# --- --check finds what serve would refuse at its start: a file it names
# that cannot be read (66), a port in use (64), a wrong url told as wrong.
printf 'station = "x"\ntoken_file = "%s/no-such-dir/token"\n[mqtt]\nurl = "mqtt://h"\nusername = "u"\npassword_file = "%s/missing"\n' \
    "$work" "$work" >"$work/files.toml"
if "$tool" serve --check "$work/files.toml" >"$work/out" 2>&1; then status=0; else status=$?; fi
[ "$status" -eq 66 ] && grep -q "cannot read mqtt.password_file $work/missing" "$work/out"
check $? "serve --check names a password file it cannot read (status $status): $(cat "$work/out")"
printf 'station = "x"\n[mqtt]\nurl = "tcp://h:1883"\n' >"$work/url.toml"
"$tool" serve --check "$work/url.toml" >"$work/out" 2>&1
grep -q "mqtt.url must be the broker" "$work/out" && ! grep -q "mqtt.url is missing" "$work/out"
check $? "a wrong url is told as wrong, not as missing: $(cat "$work/out")"
held_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 -c 'import socket, sys, time; s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(30)' "$held_port" &
holder=$!
sleep 0.3
printf 'station = "x"\nport = %s\n[unit.0]\n' "$held_port" >"$work/port.toml"
if "$tool" serve --check "$work/port.toml" >"$work/out" 2>&1; then status=0; else status=$?; fi
grep -q "port $held_port: the port is in use" "$work/out" && [ "$status" -eq 64 ]
check $? "serve --check finds the port in use (status $status): $(cat "$work/out")"
"$tool" serve --config "$work/port.toml" --log-format json >"$work/out" 2>&1
status=$?
[ "$status" -eq 64 ] && ! grep -q '"configured"' "$work/out"
check $? "serve with the port in use stops before it configures a unit (status $status)"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null

# --- a running serve: its runtime file, the user's alone.
cat >"$work/station.toml" <<'TOML'
station = "cli"
rate_hz = 50
[unit.0.channel.1]
multiplier = 2
[unit.5]
[unit.3]
TOML
"$tool" serve --config "$work/station.toml" --log-format json >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
for _ in $(seq 1 100); do
    ls "$XDG_RUNTIME_DIR"/brivant/serve-*.json >/dev/null 2>&1 && grep -q '"configured"' "$work/serve.err" && break
    sleep 0.05
done
runtime=$(ls "$XDG_RUNTIME_DIR"/brivant/serve-"$serve_pid".json 2>/dev/null)
[ -n "$runtime" ] && [ "$(stat -c %a "$runtime")" = 600 ]
check $? "serve writes its runtime file, mode 600 ($runtime)"
base=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["base"])' "$runtime")
token=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["token"])' "$runtime")
config() { curl -s -H "X-Brivant-Token: $token" "$base/api/config"; }

# --- a unit of the station that is not plugged in is named in the log.
grep '"event":"unit-not-answering"' "$work/serve.err" | grep -q 'unit 3 is not connected (no unit answers with ID 3)'
check $? "serve's log names the absent unit 3: $(grep unit- "$work/serve.err")"

# --- the tool goes through serve: its change is in serve's configuration,
# its read is serve's unit (counting since serve started, at x4 on channel 1).
sleep 0.5
"$tool" multiplier 0 2 1 >"$work/out" 2>&1
grep -q "held by brivant serve (station cli, pid $serve_pid)" "$work/out" &&
    config | grep -A3 '^\[unit.0.channel.2\]' | grep -q '^multiplier = 1$'
check $? "the tool's multiplier went through serve into its configuration: $(cat "$work/out")"
count=$("$tool" read 0 1 --json 2>/dev/null | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["count"])')
[ "${count:-0}" -gt 100 ]
check $? "read through serve sees serve's unit counting (channel 1 count $count)"
"$tool" --direct multiplier 0 2 0 >"$work/out" 2>&1
! grep -q "held by brivant serve" "$work/out" && config | grep -A3 '^\[unit.0.channel.2\]' | grep -q '^multiplier = 1$'
check $? "--direct leaves serve alone: $(cat "$work/out")"
direct=$("$tool" --direct read 0 1 --json 2>/dev/null | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["count"])')
[ "${direct:-1}" -eq 0 ]
check $? "--direct reads a unit of its own (count ${direct})"
"$tool" log 0,5 --count 2 --interval 20 >"$work/out" 2>&1
[ "$(grep -c ',RC_OK$' "$work/out")" -eq 4 ]
check $? "log goes through serve for both units: $(cat "$work/out")"
"$tool" list --json 2>/dev/null | grep -q '"units":\[{"id":0},{"id":1},{"id":5}\]'
check $? "list has serve's units and the process's own"

# --- what recorded data says of the units is what serve's units are, not
# the tool's own backend (here real USB, with no unit on it).
env -u BRIVANT_BACKEND "$tool" list --json 2>/dev/null | grep -q '^{"backend":"sim","units":\[{"id":0},{"id":5}\]}$'
check $? "list through serve names serve's backend: $(env -u BRIVANT_BACKEND "$tool" list --json 2>&1)"
env -u BRIVANT_BACKEND "$tool" log 0 --count 1 --output "$work/run.csv" >/dev/null 2>&1
grep -q 'RUN_START backend=sim ' "$work/run.csv"
check $? "log's run start through serve names serve's backend: $(head -3 "$work/run.csv")"

# --- a second serve for any of the same units is refused, naming the first.
printf 'station = "other"\n[unit.5]\n[unit.7]\n' >"$work/other.toml"
"$tool" serve --config "$work/other.toml" >"$work/out" 2>&1
status=$?
[ "$status" -eq 64 ] && grep -q "unit 5 of station other is held by brivant serve (station cli, pid $serve_pid)" "$work/out"
check $? "a second serve for unit 5 is refused (status $status): $(cat "$work/out")"

# --- Python: the same through serve, and via="direct" not. A library built
# with a sanitizer cannot be loaded into Debian's Python (its runtime must
# come first), so the sanitizer builds leave this part to the plain one.
# gcc links such a library to its sanitizer's shared runtime; clang leaves
# the runtime's symbols (__asan_*, __sancov_* ...) for the program to bring.
# (grep reads all of the output: with -q it could end the pipe early, and
# pipefail would take the broken pipe for "not sanitized".)
sanitized() {
    ldd "$library" 2>/dev/null | grep -E 'lib(a|t|ub)san' >/dev/null ||
        nm -D --undefined-only "$library" 2>/dev/null | grep -E ' __(asan|tsan|ubsan|sancov)_' >/dev/null
}
if sanitized; then
    echo "serve: the Python part is left out: $library is built with a sanitizer"
else
PYTHONPATH=$python_dir BRIVANT_LIBRARY=$library /usr/bin/python3 - "$serve_pid" >"$work/out" 2>&1 <<'PY'
import sys
import brivant
with brivant.Unit(0) as unit:
    assert unit.serve is not None and unit.serve.pid == int(sys.argv[1]), unit.serve
    unit.set_limiter(0, True, False)
    assert unit.read_counts().counts[1] > 100, unit.read_counts()
    try:
        unit.run(3)
        raise SystemExit("channel 3 was taken")
    except brivant.BrivantError as e:
        assert e.code == brivant.RC_BAD_PARAMETER and "channel 3 is not 0 to 2" in str(e), e
    try:
        brivant.Unit(0)
        raise SystemExit("a second Unit(0) in one process was opened through serve")
    except brivant.BrivantError as e:
        assert e.code == brivant.RC_ALREADY_OPEN, e
    assert 0 in brivant.list_units(), "a unit held open here is present"
with brivant.Unit(0, via="direct") as own:
    assert own.serve is None and own.read_counts().counts[1] == 0
assert brivant.list_units() == [0, 1, 5], brivant.list_units()
print("python through serve: ok")
PY
status=$?
[ "$status" -eq 0 ] && config | grep -A8 '^\[unit.0.channel.0\]' | grep -q '^limiter = \[1, 0\]$'
check $? "Python goes through serve (limiter in serve's configuration): $(cat "$work/out")"
fi

# --- SIGHUP: a file with a mistake is refused and the running configuration
# kept; a good one is taken and the unit configured again.
cp "$work/station.toml" "$work/good.toml"
printf 'station = "cli"\n[unit.0.channel.1]\nmultiplier = 9\n[unit.5]\n' >"$work/station.toml"
kill -HUP "$serve_pid"
for _ in $(seq 1 50); do grep -q reload-refused "$work/serve.err" && break; sleep 0.05; done
grep -q '"event":"reload-refused"' "$work/serve.err" && grep -q 'multiplier 9 is not 0 to 2' "$work/serve.err" &&
    config | grep -A3 '^\[unit.0.channel.1\]' | grep -q '^multiplier = 2$'
check $? "SIGHUP with a bad file keeps the running configuration"
sed 's/multiplier = 2/multiplier = 0/' "$work/good.toml" >"$work/station.toml"
kill -HUP "$serve_pid"
for _ in $(seq 1 50); do grep -q '"why":"reload"' "$work/serve.err" && break; sleep 0.05; done
grep -q '"event":"reloaded"' "$work/serve.err" && grep -q '"why":"reload"' "$work/serve.err" &&
    config | grep -A3 '^\[unit.0.channel.1\]' | grep -q '^multiplier = 0$'
check $? "SIGHUP with a good file configures the unit again"

# --- SIGTERM: exit 0, runtime file gone.
kill -TERM "$serve_pid"
wait "$serve_pid"
status=$?
serve_pid=
[ "$status" -eq 0 ] && [ ! -e "$runtime" ] && grep -q '"event":"stopping"' "$work/serve.err"
check $? "SIGTERM stops serve with 0 and removes its runtime file (status $status)"
"$tool" read 0 >"$work/out" 2>&1
! grep -q "held by brivant serve" "$work/out"
check $? "with serve gone the tool opens units itself"
if ! sanitized; then
    PYTHONPATH=$python_dir BRIVANT_LIBRARY=$library /usr/bin/python3 - >"$work/out" 2>&1 <<'PY'
import brivant
try:
    brivant.Unit(0, via="serve")
    raise SystemExit("opened through a serve that is not there")
except brivant.BrivantError as e:
    assert e.code == brivant.RC_ID_NOT_FOUND, e
print("ok")
PY
    check $? "Python's via=\"serve\" with no serve raises BrivantError: $(cat "$work/out")"
fi

# --- --save: the user's station file is never written; changes made through
# the API survive a restart; an edit of the file wins over an older change;
# what SIGHUP cannot apply is named; a change that cannot be kept is refused
# whole and serve goes on. Standard output is not a terminal here: no token.
export XDG_STATE_HOME=$work/state
mkdir -p "$XDG_STATE_HOME"
cat >"$work/saved.toml" <<'TOML'
# The line's counter, bay 2. Keep channel 1 at x4.
station = "cli"
rate_hz = 50
[unit.0.channel.1]
multiplier = 2   # x4
TOML
start_saving_serve() {
    "$tool" serve --config "$work/saved.toml" --save --log-format json >"$work/saved.out" 2>"$work/saved.err" &
    serve_pid=$!
    for _ in $(seq 1 100); do
        grep -q '"configured"' "$work/saved.err" 2>/dev/null && [ -s "$work/saved.out" ] && break
        sleep 0.05
    done
    runtime=$XDG_RUNTIME_DIR/brivant/serve-$serve_pid.json
    base=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["base"])' "$runtime")
    token=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["token"])' "$runtime")
}
stop_serve() {
    kill -TERM "$serve_pid"
    wait "$serve_pid"
    serve_pid=
}
start_saving_serve
! grep -q "$token" "$work/saved.out" && grep -q "The page's token is in $runtime." "$work/saved.out"
check $? "serve's standard output, not a terminal, names where the token is but not the token: $(cat "$work/saved.out")"
"$tool" multiplier 0 2 1 >/dev/null 2>&1
cp "$work/saved.toml" "$work/before-edit.toml"
changes=$XDG_STATE_HOME/brivant/changes-cli.toml
[ -f "$changes" ] && grep -q '^\[unit.0.channel.2.set\]' "$changes"
check $? "the change is kept in serve's changes file ($changes)"
cat >>"$work/saved.toml" <<'TOML'
# unit 3 arrives next week
[unit.3]
[unit.0.channel.0]
multiplier = 1
TOML
cp "$work/saved.toml" "$work/edited.toml"
kill -HUP "$serve_pid"
for _ in $(seq 1 50); do grep -q '"event":"reload-needs-restart"' "$work/saved.err" && break; sleep 0.05; done
cmp -s "$work/saved.toml" "$work/edited.toml" && grep -q '"event":"reload-needs-restart".*unit 3 added' "$work/saved.err" &&
    config | grep -A3 '^\[unit.0.channel.0\]' | grep -q '^multiplier = 1$' &&
    config | grep -A3 '^\[unit.0.channel.2\]' | grep -q '^multiplier = 1$'
check $? "SIGHUP takes the edit, keeps the change, names unit 3 and leaves the file as written"
stop_serve
start_saving_serve
config | grep -A3 '^\[unit.0.channel.2\]' | grep -q '^multiplier = 1$' &&
    config | grep -A3 '^\[unit.0.channel.1\]' | grep -q '^multiplier = 2$' && cmp -s "$work/saved.toml" "$work/edited.toml"
check $? "after a restart serve runs what it ran before"
# Without --save, the saved changes are not applied, and serve says so once.
stop_serve
"$tool" serve --config "$work/saved.toml" --log-format json >"$work/unsaved.out" 2>"$work/unsaved.err" &
serve_pid=$!
for _ in $(seq 1 100); do grep -q '"configured"' "$work/unsaved.err" 2>/dev/null && break; sleep 0.05; done
stop_serve
[ "$(grep -c '"event":"changes-not-applied"' "$work/unsaved.err")" -eq 1 ] &&
    grep '"event":"changes-not-applied"' "$work/unsaved.err" | grep -q -- "--save"
check $? "serve without --save says once that saved changes are not applied: $(grep changes "$work/unsaved.err")"
start_saving_serve
# log through serve goes on across a restart of serve: a failed row naming
# serve, then the unit found again.
"$tool" log 0 --interval 250 --count 16 >"$work/restart.csv" 2>"$work/restart.err" &
log_pid=$!
sleep 1.3
stop_serve
start_saving_serve
wait "$log_pid"
status=$?
rows=$(grep -cE ',RC_(OK|COMM_FAILED)$' "$work/restart.csv")
[ "$rows" -eq 16 ] && grep -q "brivant serve (station cli, pid [0-9]*) does not answer" "$work/restart.err" &&
    [ "$(tail -n1 "$work/restart.csv" | grep -c ',RC_OK$')" -eq 1 ]
check $? "log goes on across a restart of serve ($rows rows, status $status): $(cat "$work/restart.err")"
if ! sanitized; then
    PYTHONPATH=$python_dir BRIVANT_LIBRARY=$library /usr/bin/python3 - "$serve_pid" >"$work/out" 2>&1 <<'PY' &
import os, signal, sys, time
import brivant
unit = brivant.Unit(0)
assert unit.serve is not None
os.kill(int(sys.argv[1]), signal.SIGTERM)
time.sleep(1.0)
try:
    unit.read_counts()
    raise SystemExit("read through a stopped serve")
except brivant.BrivantError as e:
    assert e.code == brivant.RC_COMM_FAILED and "does not answer" in str(e), str(e)
print("ok")
PY
    python_pid=$!
    wait "$serve_pid" 2>/dev/null
    wait "$python_pid"
    check $? "Python names the serve that stopped: $(cat "$work/out")"
    serve_pid=
    start_saving_serve
fi
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=1m tmpfs "$XDG_STATE_HOME/brivant" 2>/dev/null; then
    # Root writes through file modes; a read-only mount stops even root.
    mount -o remount,ro "$XDG_STATE_HOME/brivant"
    answer=$(curl -s -w ' %{http_code}' -X POST -H "X-Brivant-Token: $token" -H 'Content-Type: application/json' \
        -d '{"s1": 1, "s2": 1}' "$base/api/units/0/channels/2/limiter")
    umount "$XDG_STATE_HOME/brivant"
    [[ "$answer" == *"$changes"*"nothing was changed"*" 500" ]] &&
        config | grep -A8 '^\[unit.0.channel.2\]' | grep -q '^limiter = \[0, 0\]$' && kill -0 "$serve_pid"
    check $? "a change that cannot be kept is refused whole, and serve goes on: $answer"
else
    echo "serve: the read-only state folder is left out (needs root and tmpfs)"
fi
# A crowd of idle keep-alive connections and clients trickling their
# headers (more than there once were workers) leaves a request answered.
/usr/bin/python3 - "${base##*:}" "$token" >"$work/crowd.out" 2>&1 <<'PY'
import socket, sys, threading, time, urllib.request
port, token = int(sys.argv[1]), sys.argv[2]
request = b"GET /api/units HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Brivant-Token: " + token.encode() + b"\r\n\r\n"
idle = []
for _ in range(100):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request)
    s.recv(65536)
    idle.append(s)
slow = []
for _ in range(40):
    s = socket.create_connection(("127.0.0.1", port))
    s.send(b"GET /api/units HTTP/1.1\r\nX-Slow: ")
    slow.append(s)
time.sleep(0.5)
answer = urllib.request.urlopen(urllib.request.Request(
    "http://127.0.0.1:%d/api/units" % port, headers={"X-Brivant-Token": token}), timeout=4)
assert answer.status == 200
print("answered")
PY
check $? "a request is answered with 100 idle and 40 slow connections open: $(cat "$work/crowd.out")"
# A client that sends its headers a byte at a time holds a connection open:
# a stop does not wait for it.
port=${base##*:}
/usr/bin/python3 - "$port" >/dev/null 2>&1 <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
for byte in b"GET /api/units HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 200:
    s.send(bytes([byte]))
    time.sleep(0.2)
PY
trickle=$!
sleep 1
started=$(date +%s)
kill -TERM "$serve_pid"
for _ in $(seq 1 200); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.05; done
! kill -0 "$serve_pid" 2>/dev/null && [ ! -e "$runtime" ]
check $? "a client trickling its headers does not hold up a stop ($(( $(date +%s) - started )) s)"
wait "$serve_pid" 2>/dev/null
serve_pid=
kill "$trickle" 2>/dev/null
wait "$trickle" 2>/dev/null

echo "serve: $checks checks, $failures failed"
[ "$failures" -eq 0 ]

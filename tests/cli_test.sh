#!/usr/bin/env bash
# Usage: cli_test.sh BRIVANT. Runs the command-line tool against the
# simulated units of the Linux build (IDs 0, 1 and 5) and checks its exit
# statuses and what it prints.
set -uo pipefail
tool=$1
failures=0
checks=0
out=$(mktemp)
# A serve of the user's own is not looked for here: an empty runtime folder.
export XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"
trap 'rm -rf "$out" "$XDG_RUNTIME_DIR"' EXIT

# expect STATUS REGEX ARGS...: the tool exits with STATUS and its output
# (stdout and stderr together) matches the extended REGEX.
expect() {
    local status=$1 pattern=$2 actual
    shift 2
    "$tool" "$@" >"$out" 2>&1 </dev/null
    actual=$?
    checks=$((checks + 1))
    if [ "$actual" -ne "$status" ] || ! { [ "$pattern" = "^$" ] && [ ! -s "$out" ] || grep -Eq -- "$pattern" "$out"; }; then
        failures=$((failures + 1))
        echo "FAIL: brivant $* -> status $actual (want $status), output:"
        sed 's/^/    /' "$out"
        echo "    (wanted /$pattern/)"
    fi
}

# expect_batch STATUS REGEX SCRIPT: as expect, for `brivant batch` fed SCRIPT.
expect_batch() {
    local status=$1 pattern=$2 script=$3 actual
    printf '%b' "$script" | "$tool" batch >"$out" 2>&1
    actual=$?
    checks=$((checks + 1))
    if [ "$actual" -ne "$status" ] || ! grep -Ezq -- "$pattern" "$out"; then
        failures=$((failures + 1))
        echo "FAIL: batch of '$script' -> status $actual (want $status), output:"
        sed 's/^/    /' "$out"
        echo "    (wanted /$pattern/)"
    fi
}

commands="read watch list log input-invert output-invert output-mode clear-event multiplier limiter clear run stop preset batch sleep help"

# --- help: the list names every command, each command has its own help.
for command in $commands; do
    expect 0 "^  $command " --help
    expect 0 "^  $command " help   # help with no command lists them too
    expect 0 "^Usage: brivant $command" "$command" --help
done
expect 0 "^Usage: brivant preset \[OPTIONS\] ID CH FIRST SECOND" help preset
expect 64 "^Usage: brivant \[OPTIONS\] \[COMMAND\]"
expect 64 "no command 'frob'" frob
expect 64 "no command 'frob'" help frob
expect 0 "^brivant [0-9]+\.[0-9]+\.[0-9]+$" --version
expect 0 "^library [0-9]+\.[0-9]+\.[0-9]+ \(/.*/libbrivant\.so\.[0-9]+\.[0-9]+\.[0-9]+\)$" -V
versions=$("$tool" --version | sed -nE 's/^(brivant|library) ([0-9.]+).*/\2/p' | sort -u | wc -l)
checks=$((checks + 1))
[ "$versions" -eq 1 ] || { failures=$((failures + 1)); echo "FAIL: the tool and the library it loads differ in version"; }

# --- options: --opt=value and --opt value; unknown options and extra words named.
expect 0 "^unit 0  ch0" watch 0 --count=2 --interval=10
expect 0 "^unit 0  ch0" watch 0 --interval 10 --count 2
expect 64 "^brivant: unknown option --bogus$" watch 0 --bogus
expect 64 "^brivant: unknown option --every$" watch 0 --every=5
# history: a time it cannot read, a journal that is not there, no serve.
expect 64 "--since 'soon' is not a time" history --journal /nonexistent.db --since soon
expect 66 "cannot read the journal /nonexistent.db|this build of brivant reads no journal" history --journal /nonexistent.db
expect 64 "no running brivant serve keeps a journal" history
expect 64 "--overwrite requires --output" history --journal /nonexistent.db --overwrite

# history of a journal a serve wrote: standard output as "-", a device, a
# folder refused by name, a file kept unless --overwrite, and a reader that
# closes the pipe early is a normal end. A build without SQLite (a cross
# build with no SQLite for its target) keeps no journal: left out there.
journal_kept=$("$tool" history --journal /nonexistent.db 2>&1)
if [[ "$journal_kept" == *"reads no journal"* ]]; then
    echo "cli: history of a journal left out: this build keeps none"
else
history_dir=$(mktemp -d)
printf 'station = "cli"\nrate_hz = 200\n[unit.0]\n[history]\npath = "%s/j.db"\nsync_ms = 100\n' \
    "$history_dir" >"$history_dir/station.toml"
"$tool" serve --config "$history_dir/station.toml" >/dev/null 2>&1 &
serve_pid=$!
for _ in $(seq 100); do
    [ "$("$tool" history --journal "$history_dir/j.db" 2>/dev/null | wc -l)" -gt 300 ] && break
    sleep 0.1
done
kill -TERM "$serve_pid"
wait "$serve_pid"
expect 0 "^time,time_us,unit" history --journal "$history_dir/j.db" --output -
expect 0 "^time,time_us,unit" history --journal "$history_dir/j.db" --output /dev/stdout
expect 64 "--output $history_dir is a folder" history --journal "$history_dir/j.db" --output "$history_dir"
expect 0 "^$" history --journal "$history_dir/j.db" --output "$history_dir/rows.csv" --format jsonl
expect 74 "it is there \(--overwrite replaces it\)" history --journal "$history_dir/j.db" --output "$history_dir/rows.csv"
expect 0 "^$" history --journal "$history_dir/j.db" --output "$history_dir/rows.csv" --overwrite
checks=$((checks + 1))
if ! head -1 "$history_dir/rows.csv" | grep -q '^time,time_us,unit'; then
    failures=$((failures + 1))
    echo "FAIL: --overwrite did not replace the JSON lines with CSV: $(head -c 200 "$history_dir/rows.csv")"
fi
checks=$((checks + 1))
piped=$( { "$tool" history --journal "$history_dir/j.db" 2>"$out"; echo "status $?" >"$out.status"; } | head -1)
if [ "$(cat "$out.status")" != "status 0" ] || [ -s "$out" ] || [ "${piped%%,*}" != time ]; then
    failures=$((failures + 1))
    echo "FAIL: history | head -> $(cat "$out.status"), standard error: $(cat "$out")"
fi
# A station file with mistakes is a usage error wherever it is read.
printf 'station = "c"\nrate_hz = "fast"\n[unit.0]\n' >"$history_dir/bad.toml"
expect 64 "bad.toml:2:.*rate_hz" history --config "$history_dir/bad.toml"
# serve --check finds what serve would refuse about the journal.
for bad in "/proc/x/j.db:is under /proc" "$history_dir/j.db/inner.db:is not a folder" \
    "/nonexistent/deeper/j.db:cannot be made"; do
    printf 'station = "c"\n[unit.0]\n[history]\npath = "%s"\n' "${bad%%:*}" >"$history_dir/c.toml"
    expect 64 "${bad#*:}" serve --check "$history_dir/c.toml"
done
/usr/bin/python3 -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute("create table blocks(x)"); c.execute("pragma application_id=1112694602"); c.execute("pragma user_version=9"); c.commit()' "$history_dir/newer.db"
printf 'station = "c"\n[unit.0]\n[history]\npath = "%s"\n' "$history_dir/newer.db" >"$history_dir/c.toml"
expect 66 "written by a newer brivant" serve --check "$history_dir/c.toml"
rm -rf "$history_dir" "$out.status"
fi
# serve --check loads each certificate and key as serve would: a key of
# another certificate and a file that is no certificate are found (64).
tls_dir=$(mktemp -d)
for name in a b; do
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=$name \
        -keyout "$tls_dir/$name.key" -out "$tls_dir/$name.crt" 2>/dev/null
done
echo "not a certificate" >"$tls_dir/text.crt"
tls_station() {
    printf 'station = "c"\nport = 0\ntls_cert_file = "%s"\ntls_key_file = "%s"\n[unit.0]\n' "$1" "$2" >"$tls_dir/c.toml"
    if [ -n "${3:-}" ]; then
        printf '[mqtt]\nurl = "mqtts://127.0.0.1"\ncert_file = "%s"\nkey_file = "%s"\n' "$3" "$4" >>"$tls_dir/c.toml"
    fi
}
tls_station "$tls_dir/a.crt" "$tls_dir/a.key"
tls_answer=$("$tool" serve --check "$tls_dir/c.toml" 2>&1) # its status is not the point here
if [[ "$tls_answer" == *"has no TLS"* ]]; then
    echo "serve --check of TLS files left out: this build has no TLS"
else
    expect 0 "no mistake found" serve --check "$tls_dir/c.toml"
    tls_station "$tls_dir/a.crt" "$tls_dir/b.key"
    expect 64 "tls_cert_file $tls_dir/a.crt and tls_key_file $tls_dir/b.key: .*(key of the certificate|does not match)" \
        serve --check "$tls_dir/c.toml"
    tls_station "$tls_dir/text.crt" "$tls_dir/a.key"
    expect 64 "tls_cert_file $tls_dir/text.crt .*no PEM certificate" serve --check "$tls_dir/c.toml"
    tls_station "$tls_dir/a.crt" "$tls_dir/a.key" "$tls_dir/b.crt" "$tls_dir/a.key"
    expect 64 "mqtt.cert_file $tls_dir/b.crt and mqtt.key_file $tls_dir/a.key: " serve --check "$tls_dir/c.toml"
fi
rm -rf "$tls_dir"
expect 64 "^brivant: unexpected argument '1'" watch 0 1
expect 64 "^brivant: unknown option --json$" watch 0 --json
expect 64 "option --count needs a value" watch 0 --count
expect 64 "^brivant: option --count is given more than once$" log 0 --count 1 --count 2
expect 64 "^brivant: option --interval is given more than once$" watch 0 --interval=10 --interval 20
expect 64 "^brivant: option --json takes no value$" list --json=no
expect 64 "^brivant: option --csv takes no value$" read 0 --csv=false
expect 64 "^brivant: unit list '0,' has an empty item" log 0, --count 1
expect 64 "^brivant: unit list '0,,5' has an empty item" log 0,,5 --count 1
expect 64 "^brivant: unit list ',1' has an empty item" watch ,1 --count 1
expect 64 "unit ID 16 is not 0 to 15" read 0,16
expect 64 "--count excludes --duration" log 0 --count 1 --duration 1
expect 64 "format 'xml' is not csv or jsonl" log 0 --format xml
expect 64 "duration '0' is not a number of seconds above 0" log 0 --duration 0
expect 64 "unit ID 1 is given twice" log 0,1,1

# --- each argument is checked by the tool, named with its range, before a unit is opened: 64.
expect 64 "^brivant: unit ID 16 is not 0 to 15$" read 16
expect 64 "^brivant: unit ID 65536 is not 0 to 15$" read 65536
expect 64 "^brivant: unit ID 'abc' is not a number from 0 to 15$" read abc
expect 64 "^brivant: unit ID -1 is not 0 to 15$" read -1
expect 64 "^brivant: channel 3 is not 0 to 2$" read 0 3
expect 64 "^brivant: channel 3 is not 0 to 2$" clear 9 3   # told before unit 9 is looked for
expect 64 "channel 'one' is not a number from 0 to 2" read 0 one
expect 64 "S3 '0x' is not a number" input-invert 0 0 1 1 0x
expect 64 "S2 2 is not 0 to 1" output-mode 1 0 0 2
expect 64 "SEL '1x' is not a number" multiplier 0 0 1x
expect 64 "SEL 3 is not 0 to 2" clear-event 0 0 3
expect 64 "SEL -1 is not 0 to 2" clear-event 0 0 -1
expect 64 "FIRST '0x100000000' is not a 32-bit word" preset 0 0 0x100000000 0
expect 64 "SECOND '' is not a 32-bit word" preset 0 0 1 ""
expect 64 "interval 5 is not 10 to 3600000" watch 0 --interval 5
expect 64 "CH is required" run 0
expect 64 "unexpected argument '2'" read 0 1 2
expect 0 "unit 0 channel 1: count -?[0-9]+, status 0x01" read 0x0 0x1
expect 0 "preset words 0x12AB00FF 0xFFFFFFFF written" preset 0 1 0x12ab00ff -1
expect 0 "preset words 0x00000010 0x80000000 written" preset 5 2 16 0x80000000

# --- machine-readable read, and list.
expect 0 '^\{"unit":1,"channels":\[\{"channel":0,"count":-?[0-9]+,"status":1\},\{"channel":1,.*\{"channel":2,' read 1 --json
expect 0 '^\{"unit":1,"channel":2,"count":-?[0-9]+,"status":1\}$' read 1 2 --json
expect 0 "^5,1,-?[0-9]+,1$" read 5 --csv
expect 0 "^unit,channel,count,status$" read 5 1 --csv
expect 64 "--json excludes --csv|--csv excludes --json" read 5 --json --csv
expect 0 '^\{"backend":"sim","units":\[\{"id":0\},\{"id":1\},\{"id":5\}\]\}$' list --json
expect 0 "^brivant: backend: simulated units \(BRIVANT_BACKEND=sim\)$" list
expect 0 "^backend sim: simulated units" --version
"$tool" list 2>/dev/null | tr '\n' ' ' | grep -qx "0 1 5 " ||
    { failures=$((failures + 1)); echo "FAIL: list did not print 0, 1 and 5 one a line"; }
# The backend: --simulate chooses the simulated units whatever the environment
# says; an unknown BRIVANT_BACKEND finds nothing and list says why.
BRIVANT_BACKEND=bogus expect 0 '^\{"backend":"sim","units":\[\{"id":0\},\{"id":1\},\{"id":5\}\]\}$' --simulate list --json
BRIVANT_BACKEND=bogus expect 0 "BRIVANT_BACKEND is 'bogus', neither usb nor sim" list
BRIVANT_BACKEND=simulate expect 6 "^brivant: warning: BRIVANT_BACKEND is 'simulate'" read 0
BRIVANT_BACKEND=simulate "$tool" --simulate read 0 2>&1 | grep -q "warning" &&
    { failures=$((failures + 1)); echo "FAIL: --simulate still warned of BRIVANT_BACKEND"; }
checks=$((checks + 1))
# A unit not found points to where to look.
BRIVANT_BACKEND=usb expect 6 "'brivant list' tells which units are present.*--simulate" read 3
expect 6 "the simulated units are 0, 1 and 5" read 3

# --- a write that fails is told and exits 74, never 0: a full disk, a closed pipe or stdout.
expect_to_full() {
    local actual
    "$tool" "$@" >/dev/full 2>"$out"
    actual=$?
    checks=$((checks + 1))
    if [ "$actual" -ne 74 ] || ! grep -q "cannot write to standard output: No space left on device" "$out"; then
        failures=$((failures + 1))
        echo "FAIL: brivant $* > /dev/full -> status $actual (want 74):"
        sed 's/^/    /' "$out"
    fi
}
expect_to_full read 0
expect_to_full read 0 1 --json
expect_to_full watch 0 --count 2 --interval 10
expect_to_full list
expect_to_full log 0 --count 2 --interval 10
expect_to_full --version
expect_to_full --help
"$tool" read 0 >&- 2>"$out"
status=$?
checks=$((checks + 1))
if [ "$status" -ne 74 ] || ! grep -q "cannot write to standard output: Bad file descriptor" "$out"; then
    failures=$((failures + 1))
    echo "FAIL: read with stdout closed -> status $status:"; sed 's/^/    /' "$out"
fi
statuses=$("$tool" log 0 --interval 1 2>"$out" | head -n 2 >/dev/null; echo "${PIPESTATUS[0]}")
checks=$((checks + 1))
if [ "$statuses" -ne 74 ] || ! grep -q "cannot write to standard output: Broken pipe" "$out"; then
    failures=$((failures + 1))
    echo "FAIL: log into a pipe closed early -> status $statuses:"; sed 's/^/    /' "$out"
fi

# --- inputs that cannot be read: the system's reason, 66.
expect 66 "^brivant: cannot read /tmp: Is a directory$" batch /tmp
expect 66 "^brivant: cannot read /nonexistent/commands.txt: No such file or directory$" \
    batch /nonexistent/commands.txt

# --- the library's refusals become messages that name the result code, and exit statuses.
expect 6 "unit 9: open: RC_ID_NOT_FOUND \(6\): no present unit reported this ID" read 9
expect 6 "^brivant unit 2: open: RC_ID_NOT_FOUND \(6\)" run 2 0
expect 6 ",3,,,,,,,RC_ID_NOT_FOUND$" log 3 --count 1   # a row with the result; logging goes on
# What the library would refuse with RC_BAD_PARAMETER never reaches it.
expect 64 "S2 2 is not 0 to 1" input-invert 1 0 0 2 0
expect 64 "channel 3 is not 0 to 2" output-invert 1 3 0 0
expect 64 "S1 2 is not 0 to 1" limiter 1 0 2 0
expect 64 "SEL 3 is not 0 to 2" multiplier 1 0 3
expect 64 "channel 3 is not 0 to 2" stop 1 3
expect 64 "channel 3 is not 0 to 2" preset 1 3 0 0

# --- each setting is taken by a present unit.
expect 0 "unit 5 channel 2: input inversion set to 1 0 1" input-invert 5 2 1 0 1
expect 0 "unit 5 channel 0: output inversion set to 1 1" output-invert 5 0 1 1
expect 0 "unit 5 channel 1: output mode set to 0 1" output-mode 5 1 0 1
expect 0 "unit 5 channel 1: clear event 2 selected" clear-event 5 1 2
expect 0 "unit 5 channel 1: multiplier 2 selected" multiplier 5 1 2
expect 0 "unit 5 channel 1: limiter set to 1 1" limiter 5 1 1 1
expect 0 "unit 5 channel 1: count cleared" clear 5 1
expect 0 "unit 5 channel 1: running" run 5 1
expect 0 "unit 5 channel 1: stopped" stop 5 1

# --- watch refreshes as often as asked; in a pipe, one line each.
expect 0 "^unit 1  ch0 +-?[0-9]+ 0x01  ch1 +-?[0-9]+ 0x01  ch2 +-?[0-9]+ 0x01$" \
    watch 1 --count 3 --interval 10
"$tool" watch 1 --count 3 --interval 10 | grep -c "^unit 1" | grep -qx 3 ||
    { failures=$((failures + 1)); echo "FAIL: watch --count 3 did not print 3 lines"; }

# --- Ctrl-C ends watch and log with status 130, after writing what they read.
"$tool" watch 1 --interval 20 >"$out" 2>&1 &
watcher=$!
sleep 0.3
kill -INT "$watcher"
wait "$watcher"
status=$?
checks=$((checks + 1))
if [ "$status" -ne 130 ] || ! grep -q "^unit 1  ch0" "$out"; then
    failures=$((failures + 1))
    echo "FAIL: watch interrupted by Ctrl-C -> status $status, output:"
    sed 's/^/    /' "$out"
fi

"$tool" log 1 --interval 20 >"$out" 2>&1 &
logger=$!
# Ctrl-C once rows are coming: under emulation on a busy machine the tool
# can take longer than a few intervals to start.
for _ in $(seq 1 100); do
    [ "$(grep -c ',RC_OK$' "$out")" -ge 3 ] && break
    sleep 0.1
done
kill -INT "$logger"
wait "$logger"
status=$?
checks=$((checks + 1))
rows=$(grep -c ',RC_OK$' "$out")
if [ "$status" -ne 130 ] || [ "$rows" -lt 3 ] || [ "$(tail -c 1 "$out" | od -An -c | tr -d ' ')" != '\n' ]; then
    failures=$((failures + 1))
    echo "FAIL: log interrupted by Ctrl-C -> status $status, $rows rows, output:"
    sed 's/^/    /' "$out"
fi

# --- batch: commands share one process, so the simulated unit's state carries over.
expect_batch 0 "> stop 0 1.*> clear 0 1.*      1            0  0x00" \
    'stop 0 1\nclear 0 1\nsleep 30\nread 0\n'
expect_batch 0 "count 4096, status 0x00" \
    '# a preset is loaded by the next clear\nstop 0 0  # hold it\npreset 0 0 0x1000 0\n\nclear 0 0\nread 0 0\n'
expect_batch 64 "<stdin>:2: brivant: channel 3 is not 0 to 2" 'read 0\nrun 0 3\nread 0\n'
! printf 'run 0 3\nread 0\n' | "$tool" batch 2>&1 | grep -q "> read 0" ||
    { failures=$((failures + 1)); echo "FAIL: batch went on after a failing command"; }
expect_batch 64 "<stdin>:1: brivant: batch cannot run inside a batch" 'batch\n'
expect_batch 64 "<stdin>:2: brivant: panel cannot run inside a batch" 'read 0\npanel --no-browser\nread 1\n'
# The echo of each line goes to standard error: what the commands print
# stays parseable.
printf 'list --json\nread 5 2 --json\n' | "$tool" batch 2>/dev/null >"$out"
checks=$((checks + 1))
/usr/bin/python3 -c 'import json, sys; [json.loads(l) for l in open(sys.argv[1])]' "$out" ||
    { failures=$((failures + 1)); echo "FAIL: batch's standard output is not JSON lines:"; sed 's/^/    /' "$out"; }
# --keep-going: every line runs; the status is the first failure's, each named FILE:LINE.
script=$(mktemp)
printf 'read 9\n\nrun 0 3\nread 0 1  # still runs\n' >"$script"
"$tool" batch --keep-going "$script" >"$out" 2>&1
status=$?
checks=$((checks + 1))
if [ "$status" -ne 6 ] || ! grep -q "^$script:1: brivant unit 9: open: RC_ID_NOT_FOUND" "$out" ||
    ! grep -q "^$script:3: brivant: channel 3 is not 0 to 2" "$out" ||
    ! grep -q "^unit 0 channel 1: count" "$out"; then
    failures=$((failures + 1))
    echo "FAIL: batch --keep-going -> status $status, output:"; sed 's/^/    /' "$out"
fi
printf 'read 0 1\n' | "$tool" batch - >"$out" 2>&1 && grep -q "^unit 0 channel 1: count" "$out" ||
    { failures=$((failures + 1)); echo "FAIL: batch - did not read standard input"; }
checks=$((checks + 1))
rm -f "$script"

# --- exit statuses of the commands that read again and again: a run with
# any failed read is not a success (the last failure's code), Ctrl-C is 130
# whatever failed before it.
expect 0 ",5,[0-9-]" log 0,5 --count 2 --interval 10
expect 6 "^.*,3,,,,,,,RC_ID_NOT_FOUND$" log 0,3 --count 2 --interval 10
expect 6 "^unit 3  RC_ID_NOT_FOUND$" watch 0,3 --count 2 --interval 10
expect 0 "^unit 5  ch0" watch 0,5 --count 2 --interval 10
expect 6 "^unit 5$" read 9,5    # the unit that answers is still read
expect 0 '^\{"unit":5,' read 0,5 --json
script=$(mktemp)
printf 'read 9\nsleep 5000\nread 0\n' >"$script"
"$tool" batch --keep-going "$script" >"$out" 2>&1 &
pid=$!
sleep 0.5
kill -INT "$pid"
wait "$pid"
status=$?
checks=$((checks + 1))
[ "$status" -eq 130 ] ||
    { failures=$((failures + 1)); echo "FAIL: Ctrl-C in batch --keep-going after a failure -> $status"; }
rm -f "$script"

# --- log's output rules: - is standard output, '' is refused, a stream gets
# its header, appending keeps to one format, starts on a new line and marks
# each run, --overwrite replaces.
dir=$(mktemp -d)
(cd "$dir" && "$tool" log 0 --count 1 --output - >"$out" 2>&1)
checks=$((checks + 1))
if [ -e "$dir/-" ] || ! head -n 1 "$out" | grep -q "^time,elapsed_s,unit"; then
    failures=$((failures + 1)); echo "FAIL: --output - did not write to standard output"
fi
expect 64 "^brivant: --output needs a file name" log 0 --count 1 --output ''
expect 64 "^brivant: --overwrite needs --output FILE" log 0 --count 1 --overwrite
"$tool" log 0 --count 1 --output /dev/stdout 2>/dev/null | cat >"$out"
head -n 1 "$out" | grep -q "^time,elapsed_s" ||
    { failures=$((failures + 1)); echo "FAIL: --output /dev/stdout into a pipe lost the CSV header"; }
checks=$((checks + 1))
"$tool" log 0,5 --count 2 --interval 10 --output "$dir/a.csv" 2>/dev/null
truncate -s -1 "$dir/a.csv" # a last row cut short of its newline
"$tool" log 5 --count 1 --output "$dir/a.csv" 2>/dev/null
checks=$((checks + 1))
if [ "$(grep -c '^time,elapsed_s' "$dir/a.csv")" -ne 1 ] ||
    [ "$(grep -c ',RUN_START backend=sim units=' "$dir/a.csv")" -ne 2 ] ||
    [ "$(sed -n 7p "$dir/a.csv" | cut -d, -f10)" != "RUN_START backend=sim units=5 interval_ms=1000" ] ||
    [ "$(sed -n 2p "$dir/a.csv" | cut -d, -f10)" != "RUN_START backend=sim units=0;5 interval_ms=10" ] ||
    ! /usr/bin/python3 -c '
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))
assert all(len(r) == 10 for r in rows), rows
assert [r["result"].split()[0] for r in rows if r["result"].startswith("RUN_START")] == ["RUN_START"] * 2
' "$dir/a.csv"; then
    failures=$((failures + 1)); echo "FAIL: appending to a CSV log:"; sed 's/^/    /' "$dir/a.csv"
fi
expect 64 "a.csv does not hold JSON Lines" log 0 --count 1 --format jsonl --output "$dir/a.csv"
"$tool" log 0 --count 1 --format jsonl --output "$dir/b.jsonl" 2>/dev/null
expect 64 "b.jsonl does not begin with the CSV header" log 0 --count 1 --output "$dir/b.jsonl"
"$tool" log 1 --count 1 --format jsonl --output "$dir/b.jsonl" 2>/dev/null
checks=$((checks + 1))
/usr/bin/python3 -c '
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
starts = [r for r in records if "run_start" in r]
assert [r["units"] for r in starts] == [[0], [1]] and starts[0]["backend"] == "sim", records
assert len(records) == 4, records
' "$dir/b.jsonl" || { failures=$((failures + 1)); echo "FAIL: appending to a JSON Lines log:"; sed 's/^/    /' "$dir/b.jsonl"; }
"$tool" log 0 --count 1 --overwrite --output "$dir/b.jsonl" 2>/dev/null
checks=$((checks + 1))
[ "$(head -n 1 "$dir/b.jsonl")" = "time,elapsed_s,unit,ch0_count,ch0_status,ch1_count,ch1_status,ch2_count,ch2_status,result" ] &&
    [ "$(wc -l <"$dir/b.jsonl")" -eq 3 ] ||
    { failures=$((failures + 1)); echo "FAIL: --overwrite did not replace the file:"; sed 's/^/    /' "$dir/b.jsonl"; }
rm -rf "$dir"

# --- a panel's port is its own: a second panel on it is refused (64, the
# port was named), and the first one keeps answering alone.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
panel_out=$(mktemp)
"$tool" panel --no-browser --port "$port" >"$panel_out" 2>&1 &
panel=$!
for _ in $(seq 1 50); do grep -q "token=" "$panel_out" && break; sleep 0.1; done
expect 64 "cannot listen on 127.0.0.1 port $port: the port is in use" panel --no-browser --port "$port"
checks=$((checks + 1))
grep -q "found (simulated units" "$panel_out" ||
    { failures=$((failures + 1)); echo "FAIL: the panel did not name its backend:"; sed 's/^/    /' "$panel_out"; }
kill -INT "$panel" 2>/dev/null
wait "$panel"
rm -f "$panel_out"

echo "cli: $checks checks, $failures failed"
[ "$failures" -eq 0 ]

# The brivant tool (brivant.exe) in the Wine suite's prefix, against the real
# BRIVANT.dll and the winusb.dll double. Sourced by run_suite.sh, which has
# set up the prefix with its registered units; kept apart from the suite's own
# checks. Needs: $work (the suite's folder), $class_guid, brivant.exe in
# $work/run.

# Shows (1) or hides (0) unitNN in the enumeration.
link_unit() {
    local nn key
    nn=$(printf '%02d' "$1")
    key="HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\$class_guid\\##?#USB#VID_1234&PID_0001#unit$nn#$class_guid\\#\\Control"
    wine reg add "$key" /v Linked /t REG_DWORD /d "$2" /f >/dev/null 2>&1
}

run_tool_checks() {
    local - # each check's status is taken, not left to end the script
    set +e
    local passed=0 failed=0 out=$work/tool-output status
    tool_check() { # tool_check CONDITION-STATUS WHAT
        if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else
            failed=$((failed + 1)); echo "FAIL [brivant.exe] $2"; sed 's/^/    /' "$out"; fi
    }
    # Through a file, not a pipe, for the reason service_checks.sh gives.
    brivant() {
        local status=0
        (cd "$work/run" && timeout 60 wine brivant.exe "$@") >"$work/brivant-output" 2>&1 </dev/null || status=$?
        tr -d '\r' <"$work/brivant-output"
        return $status
    }

    # Units 00, 01 and 05 present; the double's unit NN answers K with NN.
    for ((unit = 0; unit < registered_units; unit++)); do
        link_unit "$unit" 0
    done
    for unit in 0 1 5; do
        link_unit "$unit" 1
    done

    brivant list >"$out"
    [ "$(grep -v '^brivant: ' "$out" | tr '\n' ' ')" = "0 1 5 " ] &&
        grep -qx 'brivant: backend: real units over USB (WinUSB)' "$out"
    tool_check $? "list prints the present IDs 0, 1, 5 one a line, and names the backend"

    brivant list --json >"$out"
    grep -qx '{"backend":"winusb","units":\[{"id":0},{"id":1},{"id":5}\]}' "$out"
    tool_check $? "list --json"

    brivant log 0,5 --count 3 --interval 50 >"$out"
    [ "$(head -n 1 "$out")" = "time,elapsed_s,unit,ch0_count,ch0_status,ch1_count,ch1_status,ch2_count,ch2_status,result" ] &&
        [ "$(grep -cE '^[0-9-]+T[0-9:.]+Z,[0-9.]+,(0|5),0,0,0,0,0,0,RC_OK$' "$out")" -eq 6 ] &&
        [ "$(wc -l <"$out")" -eq 7 ]
    tool_check $? "log 0,5 --count 3: the header and 3 rows of each unit"

    brivant --version >"$out"
    grep -q '^library 4\.1\.0\.0 (.*BRIVANT\.dll)$' "$out"
    tool_check $? "--version reads the loaded BRIVANT.dll's version resource"

    (cd "$work/run" && timeout 60 wine brivant.exe read 7 >"$out" 2>&1)
    status=$?
    [ "$status" -eq 6 ] && grep -q "RC_ID_NOT_FOUND (6)" <(tr -d '\r' <"$out")
    tool_check $? "read 7 (not present) exits 6 naming RC_ID_NOT_FOUND"

    # The panel: served by brivant.exe, reached over loopback.
    local panel_out=$work/panel-output panel_pid url port token
    (cd "$work/run" && exec timeout 120 wine brivant.exe panel --no-browser) >"$panel_out" 2>&1 &
    panel_pid=$!
    for _ in $(seq 1 100); do
        url=$(tr -d '\r' <"$panel_out" | grep -o 'http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]*' || true)
        [ -n "$url" ] && break
        sleep 0.2
    done
    port=$(sed 's|.*:\([0-9]*\)/.*|\1|' <<<"$url")
    token=${url##*=}
    curl -s --max-time 10 -H "X-Brivant-Token: $token" "http://127.0.0.1:$port/api/units" >"$out"
    grep -q '"id":0' "$out" && grep -q '"id":1' "$out" && grep -q '"id":5' "$out"
    tool_check $? "panel: GET /api/units lists units 0, 1, 5"
    curl -s --max-time 10 -H "X-Brivant-Token: $token" -H 'Content-Type: application/json' \
        -d '{"selection": 2}' "http://127.0.0.1:$port/api/units/5/channels/1/multiplier" >"$out"
    grep -q '"result":"RC_OK"' "$out"
    tool_check $? "panel: POST multiplier answers RC_OK"
    curl -s --max-time 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/api/units" >"$out"
    grep -qx 401 "$out"
    tool_check $? "panel: no token, 401"
    kill "$panel_pid" 2>/dev/null || true
    wait "$panel_pid" 2>/dev/null || true

    echo "wine tool: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

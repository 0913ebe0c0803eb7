# brivant.exe serve over TLS in the Wine suite's prefix: MQTT to Debian's
# Mosquitto on this machine through a TLS listener with a CA made here, a
# wrong CA refused with its reason, a client certificate required and given,
# and the API over HTTPS reached by Linux curl. Sourced by run_suite.sh after
# the tool's checks (units 0, 1 and 5 linked). Needs: $work, brivant.exe in
# $work/run, mosquitto, mosquitto_sub, openssl, curl.

run_tls_checks() {
    local - # each check's status is taken, not left to end the script
    set +e
    local passed=0 failed=0 out=$work/tls-output pki=$work/pki broker_pid sub_pid
    tls_check() { # tls_check CONDITION-STATUS WHAT
        if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else
            failed=$((failed + 1)); echo "FAIL [tls] $2"; sed 's/^/    /' "$out"; fi
    }
    free_port() {
        /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
    }

    # The test's CA, the broker's and serve's certificates for 127.0.0.1, a
    # client's, and another CA that signed none of them.
    mkdir -p "$pki"
    make_ca() {
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$1" \
            -keyout "$pki/$1.key" -out "$pki/$1.crt" 2>/dev/null
    }
    make_cert() { # make_cert NAME CA [SAN]
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
            -keyout "$pki/$1.key" -out "$pki/$1.csr" 2>/dev/null
        printf 'subjectAltName = %s\n' "${3:-DNS:$1}" >"$pki/$1.ext"
        openssl x509 -req -in "$pki/$1.csr" -CA "$pki/$2.crt" -CAkey "$pki/$2.key" -CAcreateserial -days 2 \
            -extfile "$pki/$1.ext" -out "$pki/$1.crt" 2>/dev/null
    }
    make_ca test-ca
    make_ca other-ca
    make_cert server test-ca IP:127.0.0.1
    make_cert client test-ca

    local plain tls mutual api
    plain=$(free_port)
    tls=$(free_port)
    mutual=$(free_port)
    # Started as root, mosquitto becomes its own user before it reads the
    # keys in this suite's private folder: it stays root here.
    [ "$(id -u)" -eq 0 ] && echo "user root" >"$work/tls-mosquitto.conf"
    cat >>"$work/tls-mosquitto.conf" <<CONF
per_listener_settings true
listener $plain 127.0.0.1
allow_anonymous true
listener $tls 127.0.0.1
allow_anonymous true
cafile $pki/test-ca.crt
certfile $pki/server.crt
keyfile $pki/server.key
listener $mutual 127.0.0.1
allow_anonymous true
cafile $pki/test-ca.crt
certfile $pki/server.crt
keyfile $pki/server.key
require_certificate true
CONF
    mosquitto -c "$work/tls-mosquitto.conf" >"$work/tls-mosquitto.log" 2>&1 &
    broker_pid=$!
    sleep 0.5
    timeout 300 mosquitto_sub -h 127.0.0.1 -p "$plain" -t 'brivant/+/status' -v >"$work/tls-mqtt.txt" 2>&1 &
    sub_pid=$!

    # A Windows program under Wine may not heed SIGTERM: then SIGKILL, to
    # `timeout` and the Wine process under it.
    stop_wine() {
        kill "$1" 2>/dev/null
        for _ in $(seq 1 25); do
            kill -0 "$1" 2>/dev/null || break
            sleep 0.2
        done
        pkill -KILL -P "$1" 2>/dev/null
        kill -KILL "$1" 2>/dev/null
        wait "$1" 2>/dev/null
    }

    # serve_for NAME SECONDS [MQTT LINES...]: brivant.exe serve over a
    # station named NAME until its status is online or SECONDS pass; its
    # output in $work/tls-NAME.err.
    serve_for() {
        local name=$1 seconds=$2 pid
        shift 2
        {
            printf 'station = "%s"\nrate_hz = 10\n[unit.0]\n' "$name"
            if [ "$#" -gt 0 ]; then
                printf '[mqtt]\n'
                printf '%s\n' "$@"
            fi
        } >"$work/run/$name.toml"
        (cd "$work/run" && exec timeout 60 wine brivant.exe serve --config "$name.toml") \
            >"$work/tls-$name.err" 2>&1 </dev/null &
        pid=$!
        for _ in $(seq 1 $((seconds * 5))); do
            grep -q "^brivant/$name/status online" "$work/tls-mqtt.txt" && break
            sleep 0.2
        done
        stop_wine "$pid"
        tr -d '\r' <"$work/tls-$name.err" >"$out"
    }
    local z="Z:$pki"

    serve_for tls-1 20 "url = \"mqtts://127.0.0.1:$tls\"" "ca_file = \"$z/test-ca.crt\""
    grep -q '^brivant/tls-1/status online' "$work/tls-mqtt.txt"
    tls_check $? "mqtts:// with the broker's CA: the handshake, and the station online"

    serve_for tls-2 8 "url = \"mqtts://127.0.0.1:$tls\"" "ca_file = \"$z/other-ca.crt\""
    ! grep -q '^brivant/tls-2/status online' "$work/tls-mqtt.txt" && grep -q 'the TLS handshake failed' "$out"
    tls_check $? "a CA that did not sign the broker's certificate is refused, with its reason"

    serve_for tls-3 20 "url = \"mqtts://127.0.0.1:$mutual\"" "ca_file = \"$z/test-ca.crt\"" \
        "cert_file = \"$z/client.crt\"" "key_file = \"$z/client.key\""
    grep -q '^brivant/tls-3/status online' "$work/tls-mqtt.txt"
    tls_check $? "a broker that requires a client certificate takes the one given"

    serve_for tls-4 8 "url = \"mqtts://127.0.0.1:$mutual\"" "ca_file = \"$z/test-ca.crt\""
    ! grep -q '^brivant/tls-4/status online' "$work/tls-mqtt.txt"
    tls_check $? "without a client certificate, that broker's door stays shut"

    # No ca_file: Windows's own store, which does not hold the test's CA.
    serve_for tls-5 8 "url = \"mqtts://127.0.0.1:$tls\""
    ! grep -q '^brivant/tls-5/status online' "$work/tls-mqtt.txt" && grep -q 'the TLS handshake failed' "$out" &&
        ! grep -q '/etc/ssl' "$out"
    tls_check $? "no ca_file: the system's store, which does not trust the test's CA"

    # The API over HTTPS, with the certificate of 127.0.0.1, from Linux.
    api=$(free_port)
    printf 'station = "tls-api"\nrate_hz = 10\nport = %s\ntls_cert_file = "%s"\ntls_key_file = "%s"\n[unit.0]\n' \
        "$api" "$z/server.crt" "$z/server.key" >"$work/run/tls-api.toml"
    local pid code=""
    (cd "$work/run" && exec timeout 60 wine brivant.exe serve --config tls-api.toml) >"$work/tls-api.err" 2>&1 </dev/null &
    pid=$!
    for _ in $(seq 1 100); do
        code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 --cacert "$pki/test-ca.crt" \
            "https://127.0.0.1:$api/api/units" 2>/dev/null)
        [ "$code" = 401 ] && break
        sleep 0.2
    done
    curl -s -o /dev/null --max-time 5 --cacert "$pki/other-ca.crt" "https://127.0.0.1:$api/api/units"
    local other=$?
    stop_wine "$pid"
    { tr -d '\r' <"$work/tls-api.err"; echo "curl with the CA: $code; with another CA: exit $other"; } >"$out"
    [ "$code" = 401 ] && [ "$other" -eq 60 ]
    tls_check $? "the API over HTTPS: curl with the CA gets its 401 for no token, with another CA none"

    kill "$sub_pid" "$broker_pid" 2>/dev/null
    wait "$sub_pid" "$broker_pid" 2>/dev/null
    echo "wine tls: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

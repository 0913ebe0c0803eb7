"""serve's HTTP side under a crowd: how long one request waits while 100
idle keep-alive connections and 32 clients sending their headers a byte at a
time hold connections open. Starts serve on simulated units, prints figures,
passes or fails on nothing. Usage: http_load.py BRIVANT [--idle N] [--burst N] [--slow N]
[--requests N]"""

import argparse
import json
import os
import socket
import statistics
import subprocess
import tempfile
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--idle", type=int, default=100)
    parser.add_argument("--burst", type=int, default=200)
    parser.add_argument("--slow", type=int, default=32)
    parser.add_argument("--requests", type=int, default=300)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="brivant-http-load-")
    runtime = os.path.join(folder, "run")
    os.makedirs(runtime, mode=0o700)
    station = os.path.join(folder, "station.toml")
    with open(station, "w") as f:
        f.write('station = "load"\nrate_hz = 20\n[unit.0]\n[unit.1]\n')
    env = dict(os.environ, BRIVANT_BACKEND="sim", XDG_RUNTIME_DIR=runtime)
    serve = subprocess.Popen([args.tool, "serve", "--config", station], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    record = os.path.join(runtime, "brivant", "serve-%d.json" % serve.pid)
    try:
        for _ in range(200):
            if os.path.exists(record):
                break
            time.sleep(0.05)
        with open(record) as f:
            info = json.load(f)
        port = int(info["base"].rsplit(":", 1)[1])
        request = ("GET /api/units HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Brivant-Token: %s\r\n\r\n"
                   % (port, info["token"])).encode()

        idle = []
        for _ in range(args.idle):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(request)
            s.recv(65536)  # answered, then left open and silent
            idle.append(s)
        stop = threading.Event()

        def trickle():
            s = socket.create_connection(("127.0.0.1", port))
            for byte in request[:-4] + b"\r\nX-Pad: " + b"a" * 100000:
                if stop.is_set():
                    break
                try:
                    s.send(bytes([byte]))
                except OSError:
                    break
                time.sleep(0.5)
            s.close()

        slow = [threading.Thread(target=trickle, daemon=True) for _ in range(args.slow)]
        for t in slow:
            t.start()
        time.sleep(1.0)
        waits = []
        for _ in range(args.requests):
            started = time.perf_counter()
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.sendall(request)
                answer = s.recv(65536)
            waits.append((time.perf_counter() - started) * 1000)
            if not answer.startswith(b"HTTP/1.1 200"):
                print("unexpected answer:", answer[:80])
        waits.sort()
        print("serve HTTP with %d idle keep-alive connections and %d slow-header clients:"
              % (args.idle, args.slow))
        print("  %d requests, each on a new connection: p50 %.2f ms, p99 %.2f ms, max %.2f ms"
              % (len(waits), statistics.median(waits), waits[int(len(waits) * 0.99) - 1], waits[-1]))
        # Connections opened all at once and left silent, as a browser's
        # pre-connections and a scraper's pool come.
        burst = [socket.create_connection(("127.0.0.1", port)) for _ in range(args.burst)]
        waits = []
        for _ in range(50):
            started = time.perf_counter()
            with socket.create_connection(("127.0.0.1", port), timeout=15) as s:
                s.sendall(request)
                answer = s.recv(65536)
            waits.append((time.perf_counter() - started) * 1000)
        waits.sort()
        print("  beside %d silent connections opened at once: 50 requests, p50 %.2f ms, max %.2f ms"
              % (args.burst, statistics.median(waits), waits[-1]))
        for s in burst:
            s.close()
        stop.set()
        for s in idle:
            s.close()
        started = time.perf_counter()
    finally:
        serve.terminate()
        serve.wait(30)
        subprocess.run(["rm", "-rf", folder])
    print("  serve stopped in %.2f s with the slow clients still connected" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()

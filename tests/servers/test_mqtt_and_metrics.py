"""brivant serve against Debian's own Mosquitto and Prometheus.

Each test starts the servers it needs on free loopback ports, with
configuration files it writes, and stops them. serve runs as a process over
the simulated units. Run with Debian's Python (python3-paho-mqtt) and
BRIVANT_TOOL naming the brivant binary.
"""

import fcntl
import http.client
import json
import os
import pwd
import random
import re
import signal
import socket
import sqlite3
import struct
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import paho.mqtt.client as mqtt
from paho.mqtt.properties import Properties
from paho.mqtt.packettypes import PacketTypes

TOOL = os.environ.get("BRIVANT_TOOL", "brivant")
RUNNING = 0x01  # the status byte's bit for a channel that counts


def free_port():
    """A free loopback port below the range the kernel hands to outgoing
    connections. A broker stopped for a while and started again finds its
    port still free: one of that range can meanwhile be any client's own
    end (serve's reconnect attempts to it included), and the broker's
    restart then fails with "Address already in use"."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    for _ in range(200):
        port = random.randint(max(1024, low - 12000), low - 1)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, condition, timeout=10.0, every=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(every)
    raise AssertionError("timed out waiting for " + (what() if callable(what) else what))


def make_certificates(folder, subject, san):
    """A test CA (ca.crt), another CA (other.crt) and server.crt/server.key
    for `subject` with the subjectAltName `san`, signed by the first."""
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, cwd=folder)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=test CA")
    openssl("req", "-x509", *key, "-keyout", "other.key", "-out", "other.crt", "-days", "2",
            "-subj", "/CN=other CA")
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=" + subject)
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=%s\n" % san)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.crt", "-days", "2", "-extfile", "san.ext")


def three_series(prometheus_port, query):
    """The result of a Prometheus query once it has the three channels' series."""
    url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (prometheus_port, urllib.parse.quote(query))
    try:
        with urllib.request.urlopen(url, timeout=2) as answer:
            result = json.load(answer)["data"]["result"]
    except (OSError, ValueError, KeyError):
        return None
    return result if len(result) == 3 else None


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class Broker:
    """mosquitto on a free loopback port; `lines` go into its configuration."""

    def __init__(self, folder, lines=(), persistent=False):
        self.folder = folder
        self.port = free_port()
        self.lines = list(lines)
        self.persistent = persistent
        self.process = None

    def start(self):
        conf = os.path.join(self.folder, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("per_listener_settings false\n")
            f.write("log_dest file %s\n" % os.path.join(self.folder, "mosquitto.log"))
            f.write("log_type all\n")
            if self.persistent:
                f.write("persistence true\npersistence_location %s/\n" % self.folder)
            else:
                f.write("persistence false\n")
            f.write("listener %d 127.0.0.1\n" % self.port)
            for line in self.lines:
                f.write(line + "\n")
        if os.geteuid() == 0:
            # Started as root, mosquitto becomes its own user before it reads
            # the files named in its configuration.
            user = pwd.getpwnam("mosquitto")
            for root, dirs, files in os.walk(self.folder):
                for name in [root] + [os.path.join(root, n) for n in files]:
                    os.chown(name, user.pw_uid, user.pw_gid)
        self.process = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wait_for("mosquitto on port %d" % self.port,
                 lambda: port_open(self.port) or self.process.poll() is not None)
        if self.process.poll() is not None:
            raise AssertionError("mosquitto ended: " + self.log()[-2000:])

    def log(self):
        try:
            with open(os.path.join(self.folder, "mosquitto.log")) as f:
                return f.read()
        except OSError:
            return "(no log)"

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process = None


class Subscriber:
    """A paho client that keeps every message of the topics it subscribes."""

    def __init__(self, port, topics, protocol=mqtt.MQTTv311, client_id="", clean=True,
                 username=None, password=None):
        self.messages = []
        self.lock = threading.Lock()
        kwargs = {"client_id": client_id, "protocol": protocol}
        if protocol != mqtt.MQTTv5:
            kwargs["clean_session"] = clean
        self.client = mqtt.Client(**kwargs)
        if username:
            self.client.username_pw_set(username, password)
        self.topics = topics
        self.client.on_message = self._message
        self.client.on_connect = self._connected
        self.client.on_disconnect = lambda *args: self.connected.clear()
        self.client.reconnect_delay_set(min_delay=1, max_delay=1)
        self.connected = threading.Event()
        self.client.connect("127.0.0.1", port, keepalive=10)
        self.client.loop_start()
        wait_for("the subscriber's connection", self.connected.is_set)

    def _connected(self, client, userdata, flags, rc, properties=None):
        if not flags.get("session present"):
            for topic in self.topics:
                client.subscribe(topic, qos=1)
        self.connected.set()

    def _message(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload, message.retain,
                                  getattr(message, "properties", None), message.dup))

    def taken(self, topic=None):
        with self.lock:
            return [m for m in self.messages if topic is None or m[0] == topic]

    def states(self, unit, live_only=True):
        """The JSON states of `unit`; live_only leaves out the broker's
        retained copies. A message the broker sends this subscriber again
        (its DUP flag set: it restarted before it saw our acknowledgement) is
        the broker's doing, and is left out when its n came already."""
        states, seen = [], set()
        for m in self.taken("brivant/test/unit/%d/state" % unit):
            state = json.loads(m[1])
            if (live_only and m[2]) or (m[4] and state["n"] in seen):
                continue
            seen.add(state["n"])
            states.append(state)
        return states

    def settle(self, quiet=1.0, timeout=20.0):
        """Waits until connected and nothing new has come for `quiet` seconds."""
        wait_for("the subscriber back", self.connected.is_set, timeout)
        deadline = time.monotonic() + timeout
        count = -1
        while time.monotonic() < deadline:
            now = len(self.taken())
            if now == count:
                return
            count = now
            time.sleep(quiet)
        raise AssertionError("messages kept coming")

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


# Serve as it was before the journal: MQTT from memory, its queue bounded.
NO_JOURNAL = "[history]\nenabled = false"


class Serve:
    """brivant serve --config on a station file written from `mqtt` lines."""

    def __init__(self, folder, mqtt_lines=None, extra="", units=(0, 1), rate=20):
        self.folder = folder
        self.runtime = os.path.join(folder, "run")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.station = os.path.join(folder, "station.toml")
        with open(self.station, "w") as f:
            f.write('station = "test"\nrate_hz = %d\n%s\n' % (rate, extra))
            if mqtt_lines is not None:
                f.write("[mqtt]\n" + "\n".join(mqtt_lines) + "\n")
            for unit in units:
                f.write("[unit.%d]\n" % unit)
        # The journal and the changes file in the test's own state folder.
        env = dict(os.environ, BRIVANT_BACKEND="sim", XDG_RUNTIME_DIR=self.runtime,
                   XDG_STATE_HOME=os.path.join(folder, "state"))
        self.err_path = os.path.join(folder, "serve.err")
        with open(self.err_path, "w") as err:
            self.process = subprocess.Popen([TOOL, "serve", "--config", self.station, "--log-format", "json"],
                                            env=env, stdout=subprocess.DEVNULL, stderr=err)
        record = os.path.join(self.runtime, "brivant", "serve-%d.json" % self.process.pid)
        wait_for("serve's runtime file (%s)" % self.log(),
                 lambda: os.path.exists(record) or self.process.poll() is not None)
        if self.process.poll() is not None:
            raise AssertionError("serve ended: " + self.log())
        with open(record) as f:
            info = json.load(f)
        self.base = info["base"]
        self.token = info["token"]

    def log(self):
        try:
            with open(self.err_path) as f:
                return f.read()
        except OSError:
            return ""

    def events(self):
        return [json.loads(line) for line in self.log().splitlines() if line.startswith("{")]

    def api(self, path, headers=None, data=None):
        if headers is None:
            headers = {"X-Brivant-Token": self.token}
        request = urllib.request.Request(self.base + path, headers=headers, data=data)
        # Over HTTPS the test's own client does not check the certificate;
        # Prometheus, below, does.
        context = ssl._create_unverified_context() if self.base.startswith("https") else None
        try:
            with urllib.request.urlopen(request, timeout=5, context=context) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def samples(self, unit):
        status, body = self.api("/api/units?after=0")
        assert status == 200, body
        for view in json.loads(body)["units"]:
            if view["id"] == unit:
                return view["samples"]
        raise AssertionError("unit %d is not in /api/units" % unit)

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(15)


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="brivant-servers-")
        os.chmod(self.folder, 0o755)
        self.cleanups = []
        self.serves = []

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            try:
                cleanup()
            except Exception:  # the test's own failure is the one to show
                pass
        # serve built with sanitizers writes their reports to its log.
        reports = [serve.log() for serve in self.serves
                   if re.search(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:",
                                serve.log())]
        subprocess.run(["rm", "-rf", self.folder])
        if reports:
            raise AssertionError("sanitizer report from serve:\n" + reports[0][-6000:])

    def sub(self, name):
        path = os.path.join(self.folder, name)
        os.makedirs(path, exist_ok=True)
        return path

    def broker(self, lines=(), persistent=False):
        broker = Broker(self.sub("broker"), lines, persistent)
        broker.start()
        self.cleanups.append(broker.stop)
        return broker

    def serve(self, mqtt_lines, place=None, **kwargs):
        """serve in a folder of its own, or in `place` (its journal there
        from an earlier serve)."""
        serve = Serve(place or self.sub("serve%d" % len(self.cleanups)), mqtt_lines, **kwargs)
        self.serves.append(serve)
        self.cleanups.append(lambda: serve.stop(signal.SIGKILL))
        return serve

    def subscriber(self, port, topics, **kwargs):
        sub = Subscriber(port, topics, **kwargs)
        self.cleanups.append(sub.stop)
        return sub


class Publishing(ServerTest):
    def test_retained_state_reaches_a_late_subscriber_with_the_counts_serve_read(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port])
        time.sleep(1.0)
        sub = self.subscriber(broker.port, ["brivant/test/#"])
        status = wait_for("the retained status", lambda: sub.taken("brivant/test/status"))
        self.assertEqual(status[0][1], b"online")
        self.assertTrue(status[0][2], "the status is retained")
        retained = wait_for("a retained state", lambda: [m for m in sub.taken("brivant/test/unit/0/state") if m[2]])
        first = json.loads(retained[0][1])
        self.assertEqual(sorted(first), ["code", "configured", "counts", "n", "result", "run", "seq",
                                         "status", "t", "time", "time_us", "unit"])
        self.assertTrue(first["configured"])
        time.sleep(1.0)
        by_seq = {s["seq"]: s for s in serve.samples(0)}
        states = sub.states(0)
        self.assertGreater(len(states), 10)
        matched = 0
        for state in states:
            sample = by_seq.get(state["seq"])
            if sample is not None:
                self.assertEqual(state["counts"], sample["counts"], state)
                self.assertEqual(state["status"], sample["status"], state)
                matched += 1
        self.assertGreater(matched, 10, "the states are serve's samples")
        ns = [s["n"] for s in states]
        self.assertEqual(ns, list(range(ns[0], ns[0] + len(ns))), "every state, in order")

    def test_will_says_offline_when_serve_is_killed_and_a_clean_stop_says_it_too(self):
        broker = self.broker(["allow_anonymous true"])
        for how in (signal.SIGKILL, signal.SIGTERM):
            serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "keepalive = 5"])
            sub = self.subscriber(broker.port, ["brivant/test/status"])
            wait_for("online", lambda: [m for m in sub.taken() if m[1] == b"online"])
            serve.stop(how)
            wait_for("offline after %s" % how.name, lambda: [m for m in sub.taken() if m[1] == b"offline"])
            sub.stop()

    def test_publish_ms_sends_the_latest_sample_at_its_own_rate(self):
        broker = self.broker(["allow_anonymous true"])
        sub = self.subscriber(broker.port, ["brivant/test/unit/0/state"])
        self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "publish_ms = 250"], rate=50)
        wait_for("states", lambda: len(sub.states(0)) >= 2)
        start = len(sub.states(0))
        time.sleep(2.0)
        made = len(sub.states(0)) - start
        # 50 reads a second, but about 4 states a second.
        self.assertGreaterEqual(made, 5)
        self.assertLessEqual(made, 11)


class Unreachable(ServerTest):
    def test_a_broker_that_never_answers_holds_up_neither_the_readers_nor_a_stop(self):
        # A listening socket whose backlog is full drops new connections'
        # SYNs: connect() blocks as it does for a host that drops packets.
        hole = socket.socket()
        hole.bind(("127.0.0.1", 0))
        hole.listen(0)
        self.cleanups.append(hole.close)
        fillers = []
        for _ in range(3):
            filler = socket.socket()
            filler.setblocking(False)
            try:
                filler.connect(hole.getsockname())
            except BlockingIOError:
                pass
            fillers.append(filler)
            self.cleanups.append(filler.close)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % hole.getsockname()[1]])
        time.sleep(1.0)
        first = serve.samples(0)[-1]["seq"]
        time.sleep(0.5)
        self.assertGreater(serve.samples(0)[-1]["seq"], first, "the readers go on")
        serve.stop()  # waits 15 s at most; connect() alone would block for minutes
        self.assertEqual(serve.process.returncode, 0)
        self.assertTrue([e for e in serve.events() if e["event"] == "mqtt-abandoned"], serve.log())


class Credentials(ServerTest):
    def test_password_from_a_file_is_required_and_a_wrong_one_is_told_without_a_crash(self):
        folder = self.sub("broker")
        passwords = os.path.join(folder, "passwd")
        subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "station", "right horse"],
                       check=True, capture_output=True)
        broker = self.broker(["allow_anonymous false", "password_file " + passwords])
        sub = self.subscriber(broker.port, ["brivant/test/#"], username="station", password="right horse")
        good = os.path.join(self.folder, "good")
        with open(good, "w") as f:
            f.write("right horse\n")
        # Shared with its group on purpose (a service's group): no warning.
        os.chmod(good, 0o640)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, 'username = "station"',
                            'password_file = "%s"' % good])
        wait_for("a state with the right password", lambda: sub.states(0))
        self.assertNotIn("right horse", serve.log(), "the password is never printed")
        self.assertFalse([e for e in serve.events() if e["event"] == "mqtt-password-readable"],
                         "a file its group may read is not warned of")
        serve.stop()

        wrong = os.path.join(self.folder, "wrong")
        with open(wrong, "w") as f:
            f.write("wrong horse\n")
        os.chmod(wrong, 0o644)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, 'username = "station"',
                            'password_file = "%s"' % wrong])
        refused = wait_for("the refusal in serve's log",
                           lambda: [e for e in serve.events() if e["event"] == "mqtt-refused"])
        self.assertRegex(refused[0]["message"], "refused the connection: .*(authori|password)")
        self.assertTrue([e for e in serve.events() if e["event"] == "mqtt-password-readable"],
                        "a password file others can read is warned of")
        self.assertNotIn("wrong horse", serve.log())
        time.sleep(1.5)
        self.assertIsNone(serve.process.poll(), "serve goes on")
        self.assertEqual(serve.api("/api/units")[0], 200)
        self.assertEqual(len([e for e in serve.events() if e["event"] == "mqtt-refused"]), 1,
                         "told once, not at each try")

    def test_files_that_cannot_be_read_are_named_at_start(self):
        station = os.path.join(self.folder, "station.toml")
        for key, url in (("ca_file", "mqtts://localhost"), ("password_file", "mqtt://localhost")):
            with open(station, "w") as f:
                f.write('station = "test"\n[unit.0]\n[mqtt]\nurl = "%s"\nusername = "u"\n'
                        '%s = "%s/missing"\n' % (url, key, self.folder))
            env = dict(os.environ, BRIVANT_BACKEND="sim", XDG_RUNTIME_DIR=self.sub("run"))
            done = subprocess.run([TOOL, "serve", "--config", station], env=env, capture_output=True,
                                  text=True, timeout=30)
            self.assertEqual(done.returncode, 66, done.stderr)
            self.assertIn("/missing", done.stderr)

    def test_tls_with_the_broker_ca_and_refused_with_another(self):
        folder = self.sub("broker")
        make_certificates(folder, "localhost", "DNS:localhost,IP:127.0.0.1")
        tls_port = free_port()
        broker = self.broker(["allow_anonymous true", "listener %d 127.0.0.1" % tls_port,
                              "cafile %s/ca.crt" % folder, "certfile %s/server.crt" % folder,
                              "keyfile %s/server.key" % folder])
        wait_for("the TLS listener", lambda: port_open(tls_port))
        sub = self.subscriber(broker.port, ["brivant/test/#"])
        serve = self.serve(['url = "mqtts://localhost:%d"' % tls_port, 'ca_file = "%s/ca.crt"' % folder])
        wait_for("a state over TLS (%s)" % serve.log(), lambda: sub.states(0))
        serve.stop()

        serve = self.serve(['url = "mqtts://localhost:%d"' % tls_port, 'ca_file = "%s/other.crt"' % folder])
        failed = wait_for("the TLS failure in serve's log",
                          lambda: [e for e in serve.events() if e["event"] == "mqtt-unreachable"])
        self.assertIn("TLS", failed[0]["message"])
        self.assertIsNone(serve.process.poll(), "serve goes on")


class Commands(ServerTest):
    def running(self, serve, unit, channel):
        sample = serve.samples(unit)[-1]
        return bool(sample["status"][channel] & RUNNING)

    def test_commands_are_off_unless_the_station_turns_them_on(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port])
        sub = self.subscriber(broker.port, ["brivant/test/#"])
        wait_for("a state", lambda: sub.states(0))
        self.assertTrue(self.running(serve, 0, 1))
        publish = mqtt.Client()
        publish.connect("127.0.0.1", broker.port)
        publish.loop_start()
        publish.publish("brivant/test/unit/0/channel/1/stop", b"{}", qos=1).wait_for_publish()
        time.sleep(1.0)
        publish.loop_stop()
        self.assertTrue(self.running(serve, 0, 1), "the channel still counts")
        self.assertFalse([m for m in sub.taken() if m[0].endswith("/result")], "nothing answered")

    def test_commands_when_on_answer_with_mqtt5_correlation_or_the_body_id(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "commands = true"])
        sub = self.subscriber(broker.port, ["brivant/test/#", "answers/#"], protocol=mqtt.MQTTv5)
        wait_for("a state", lambda: sub.taken("brivant/test/unit/0/state"))
        wait_for("serve's subscription", lambda: "brivant/test/unit/+/channel/+/+" in broker.log())

        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = "answers/me"
        properties.CorrelationData = b"ask-1"
        sub.client.publish("brivant/test/unit/0/channel/1/stop", b"{}", qos=1, properties=properties)
        answer = wait_for("the answer", lambda: sub.taken("answers/me"))
        body = json.loads(answer[0][1])
        self.assertEqual(body["result"], "RC_OK", body)
        self.assertEqual(body["status"], 200)
        self.assertEqual(answer[0][3].CorrelationData, b"ask-1")
        wait_for("channel 1 stopped", lambda: not self.running(serve, 0, 1))

        # A response topic under the station's own, or with a wildcard: the
        # command is not run, and the refusal goes to TOPIC/result.
        for topic in ("brivant/test/unit/0/state", "brivant/test/status", "answers/#"):
            properties = Properties(PacketTypes.PUBLISH)
            properties.ResponseTopic = topic
            before = len(sub.taken("brivant/test/unit/0/channel/1/run/result"))
            sub.client.publish("brivant/test/unit/0/channel/1/run", b"{}", qos=1, properties=properties)
            refused = wait_for("the refusal of " + topic,
                               lambda: sub.taken("brivant/test/unit/0/channel/1/run/result")[before:])
            body = json.loads(refused[0][1])
            self.assertEqual(body["status"], 400, body)
            self.assertIn("response topic " + topic, body["error"])
        time.sleep(0.3)
        self.assertFalse(self.running(serve, 0, 1), "a refused run was not run")
        for topic in ("brivant/test/unit/0/state", "brivant/test/status"):
            self.assertEqual([m for m in sub.taken(topic) if b'"status":400' in m[1]], [],
                             "an answer posed as the station's own " + topic)

        # No response topic: the answer goes to TOPIC/result with the body's id.
        sub.client.publish("brivant/test/unit/0/channel/1/multiplier", b'{"selection": 9, "id": 42}', qos=1)
        refused = wait_for("the refusal", lambda: sub.taken("brivant/test/unit/0/channel/1/multiplier/result"))
        body = json.loads(refused[0][1])
        self.assertEqual(body["id"], 42)
        self.assertEqual(body["status"], 400)
        self.assertIn("selection", body["error"])
        sub.client.publish("brivant/test/unit/9/channel/1/run", b"{}", qos=1)
        missing = wait_for("unit 9's answer", lambda: sub.taken("brivant/test/unit/9/channel/1/run/result"))
        self.assertEqual(json.loads(missing[0][1])["status"], 404)
        status, config = serve.api("/api/config")
        self.assertRegex(config.decode(), r"\[unit\.0\.channel\.1\]\nrun = false")


class CommandsFromOutside(ServerTest):
    """What anyone who can publish to the broker may send: none of it ends
    serve, each gets an answer, and a retained command is never obeyed."""

    def running(self, serve, unit, channel):
        return bool(serve.samples(unit)[-1]["status"][channel] & RUNNING)

    def ask(self, sub, topic, payload):
        before = len(sub.taken(topic + "/result"))
        sub.client.publish(topic, payload, qos=1)
        found = wait_for("the answer on " + topic, lambda: sub.taken(topic + "/result")[before:])
        return json.loads(found[0][1])

    def test_bad_bytes_and_oversized_bodies_are_answered_and_serve_goes_on(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "commands = true"])
        sub = self.subscriber(broker.port, ["brivant/test/#"])
        wait_for("serve's subscription", lambda: "brivant/test/unit/+/channel/+/+" in broker.log())
        stop = "brivant/test/unit/0/channel/1/stop"
        body = self.ask(sub, stop, b"\xff\xfe{")
        self.assertEqual(body["status"], 400, body)
        self.assertIn("\ufffd", body["error"], "the bad bytes are shown replaced")
        multiplier = "brivant/test/unit/0/channel/1/multiplier"
        self.assertEqual(self.ask(sub, multiplier, b'{"selection": 1, "id": "\xff"}')["status"], 400)
        self.assertEqual(self.ask(sub, "brivant/test/unit/0/channel/2/\u00e9t\u00e9", b"{}")["status"], 404)
        body = self.ask(sub, stop, b"{" + b" " * 40000 + b"}")
        self.assertEqual(body["status"], 413, body)
        self.assertTrue(self.running(serve, 0, 1), "nothing refused was run")
        self.assertEqual(self.ask(sub, stop, b"{}")["status"], 200)
        wait_for("the good stop", lambda: not self.running(serve, 0, 1))
        self.assertIsNone(serve.process.poll(), "serve goes on")

    def test_a_retained_command_is_not_obeyed_again_at_each_start(self):
        broker = self.broker(["allow_anonymous true"])
        publisher = mqtt.Client()
        publisher.connect("127.0.0.1", broker.port)
        publisher.loop_start()
        publisher.publish("brivant/test/unit/0/channel/1/stop", b"{}", qos=1, retain=True).wait_for_publish()
        publisher.loop_stop()
        for protocol in ("3.1.1", "5"):
            sub = self.subscriber(broker.port, ["brivant/test/unit/0/channel/1/stop/result"])
            serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "commands = true",
                                'protocol = "%s"' % protocol])
            wait_for("serve's subscription", lambda: broker.log().count("brivant/test/unit/+/channel/+/+") >= (
                1 if protocol == "3.1.1" else 2))
            time.sleep(1.5)
            self.assertTrue(self.running(serve, 0, 1), "MQTT %s: the retained stop was not run" % protocol)
            answers = [json.loads(m[1]) for m in sub.taken()]
            if protocol == "3.1.1":
                # A 3.1.1 subscriber cannot ask not to get it: it is refused, and said so.
                self.assertEqual(len(answers), 1, answers)
                self.assertEqual(answers[0]["status"], 400)
                self.assertIn("retained", answers[0]["error"])
            else:
                self.assertEqual(answers, [], "MQTT 5: the broker does not even send it")
            serve.stop()
            sub.stop()

    def test_a_session_taken_by_another_client_is_told_once_and_not_fought_over(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, 'client_id = "same-id"'])
        wait_for("serve connected", lambda: [e for e in serve.events() if e["event"] == "mqtt-connected"])
        other = mqtt.Client(client_id="same-id", protocol=mqtt.MQTTv5)
        other.reconnect_delay_set(min_delay=1, max_delay=1)
        other.connect("127.0.0.1", broker.port)
        other.loop_start()
        self.cleanups.append(other.loop_stop)
        wait_for("serve told", lambda: [e for e in serve.events() if e["event"] == "mqtt-unsteady"])
        started = broker.log().count("as same-id")
        time.sleep(8.0)
        told = [e["event"] for e in serve.events() if e["event"].startswith("mqtt-")]
        self.assertEqual(told.count("mqtt-unsteady"), 1, told)
        # The first loss is told as a loss (a broker stopped looks the
        # same), the next short connection as unsteady, the rest not at all.
        self.assertLessEqual(told.count("mqtt-lost"), 1, told)
        self.assertLessEqual(told.count("mqtt-connected"), 2, told)
        # At full speed the two take the session from each other every
        # 0.5 to 1 s; serve backing off leaves most of it to the other.
        self.assertLess(broker.log().count("as same-id") - started, 10)
        self.assertIsNone(serve.process.poll())

    def test_a_broker_stopped_soon_after_the_connection_is_told_as_lost_not_as_another_client(self):
        broker = self.broker(["allow_anonymous true"])
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port])
        wait_for("serve connected", lambda: [e for e in serve.events() if e["event"] == "mqtt-connected"])
        broker.stop()
        wait_for("serve told", lambda: [e for e in serve.events() if e["event"] == "mqtt-lost"])
        # Its attempts to connect again fail: a gone broker, not a fight.
        wait_for("an attempt refused", lambda: [e for e in serve.events() if e["event"] == "mqtt-unreachable"])
        told = [e for e in serve.events() if e["event"].startswith("mqtt-")]
        self.assertNotIn("mqtt-unsteady", [e["event"] for e in told], told)
        self.assertNotIn("another client", " ".join(e["message"] for e in told))


class Accounting(ServerTest):
    def test_each_start_is_a_run_and_messages_never_delivered_are_counted_at_stop(self):
        broker = self.broker(["allow_anonymous true"])
        sub = self.subscriber(broker.port, ["brivant/test/unit/0/state"])
        runs = []
        for _ in range(2):
            serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port], extra=NO_JOURNAL)
            new = lambda: [s for s in sub.states(0) if not runs or s["run"] not in set().union(*runs)]
            wait_for("states", lambda: len(new()) > 3)
            serve.stop()
            runs.append({s["run"] for s in new()})
        self.assertEqual([len(r) for r in runs], [1, 1], runs)
        self.assertNotEqual(runs[0], runs[1], "each start has its own run ID")
        pairs = [(s["run"], s["n"]) for s in sub.states(0)]
        self.assertEqual(len(pairs), len(set(pairs)), "(run, n) names one state")

        broker.stop()
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port, "qos = 0"], extra=NO_JOURNAL)
        wait_for("samples while the broker is away", lambda: len(serve.samples(0)) > 20)
        serve.stop()
        lost = [e for e in serve.events() if e["event"] == "mqtt-undelivered"]
        self.assertEqual(len(lost), 1, serve.log()[-2000:])
        self.assertGreater(int(lost[0]["message"].split()[1]), 40, lost[0])


class BrokerAway(ServerTest):
    def run_away(self, queue_lines, seconds=3.0, extra=""):
        """serve publishing, the broker stopped for `seconds` and started
        again; returns serve's dropped count once its queue is empty."""
        broker = self.broker(["allow_anonymous true"], persistent=True)
        sub = self.subscriber(broker.port, ["brivant/test/unit/+/state"], client_id="keeper", clean=False)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port] + queue_lines, extra=extra)
        wait_for("states", lambda: len(sub.states(0)) > 5)
        broker.stop()
        before = serve.samples(0)[-1]["seq"]
        time.sleep(seconds)
        self.assertGreater(serve.samples(0)[-1]["seq"], before + 20, "serve reads on while the broker is away")
        self.assertIn(b'brivant_mqtt_connected{station="test"} 0', serve.api("/metrics")[1])
        broker.start()

        def emptied():
            text = serve.api("/metrics")[1].decode()
            if 'brivant_mqtt_connected{station="test"} 1' not in text or \
                    'brivant_mqtt_queue_depth{station="test"} 0' not in text:
                return None
            return [int(re.search(r'brivant_mqtt_dropped_total\{station="test"\} (\d+)', text).group(1))]

        [dropped] = wait_for(lambda: "the queue sent (%s; %s)" % (serve.log()[-800:], serve.api("/metrics")[1][-800:]),
                           emptied, timeout=20)
        serve.stop()
        sub.settle()
        return sub, dropped

    def test_every_message_made_while_away_arrives_in_order_and_once(self):
        sub, dropped = self.run_away([])
        self.assertEqual(dropped, 0)
        for unit in (0, 1):
            ns = [s["n"] for s in sub.states(unit)]
            self.assertEqual(ns, list(range(1, len(ns) + 1)), "unit %d: none missing, none twice" % unit)
            seqs = [s["seq"] for s in sub.states(unit)]
            self.assertEqual(seqs, sorted(seqs))
            self.assertGreater(len(ns), 60, "the 3 seconds away are there")

    def test_a_small_queue_drops_the_oldest_and_counts_exactly_those(self):
        sub, dropped = self.run_away(["queue = 10"], extra=NO_JOURNAL)
        missing = 0
        for unit in (0, 1):
            ns = [s["n"] for s in sub.states(unit)]
            self.assertEqual(ns, sorted(set(ns)), "in order, none twice")
            self.assertEqual(ns[0], 1)
            missing += ns[-1] - len(ns)
        self.assertGreater(missing, 50)
        self.assertEqual(dropped, missing, "every message lost is counted")


class Metrics(ServerTest):
    def test_metrics_pass_promtool_and_the_panel_refusals_hold(self):
        serve = self.serve(None)
        time.sleep(0.5)
        status, body = serve.api("/metrics", headers={"Authorization": "Bearer " + serve.token})
        self.assertEqual(status, 200, body)
        check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        text = body.decode()
        self.assertRegex(text, r'brivant_channel_counts\{station="test",unit="0",channel="2"\} -?\d+')
        self.assertRegex(text, r'brivant_exchanges_total\{station="test",unit="1"\} [1-9]')
        self.assertRegex(text, r'brivant_unit_configured\{station="test",unit="0"\} 1')
        self.assertNotIn("brivant_mqtt_", text, "no broker, no MQTT series")
        self.assertEqual(serve.api("/metrics", headers={})[0], 401)
        self.assertEqual(serve.api("/metrics", headers={"Authorization": "Bearer nope"})[0], 403)
        self.assertEqual(serve.api("/metrics", headers={"Authorization": "Basic " + serve.token})[0], 401)
        host = {"X-Brivant-Token": serve.token, "Host": "evil.example:80"}
        self.assertEqual(serve.api("/metrics", headers=host)[0], 403)
        self.assertEqual(serve.api("/metrics", data=b"{}")[0], 405)

    def test_prometheus_scrapes_serve_with_the_bearer_file_and_holds_its_counts(self):
        token_file = os.path.join(self.folder, "token")
        serve = self.serve(None, extra='token_file = "%s"' % token_file)
        self.assertEqual(oct(os.stat(token_file).st_mode & 0o777), "0o600")
        with open(token_file) as f:
            self.assertEqual(f.read().strip(), serve.token)
        folder = self.sub("prometheus")
        port = free_port()
        target = urllib.parse.urlparse(serve.base).netloc
        with open(os.path.join(folder, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\n"
                    "scrape_configs:\n"
                    "  - job_name: brivant\n"
                    "    authorization:\n"
                    "      credentials_file: %s\n"
                    "    static_configs:\n"
                    "      - targets: ['%s']\n" % (token_file, target))
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + os.path.join(folder, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(folder, "data"),
             "--web.listen-address=127.0.0.1:%d" % port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: (prometheus.terminate(), prometheus.wait(15)))

        result = wait_for("brivant series in Prometheus",
                          lambda: three_series(port, 'brivant_channel_counts{unit="0"}'), timeout=40, every=0.5)
        counts = {tuple(s["counts"]) for s in serve.samples(0)}
        for series in result:
            self.assertEqual(series["metric"]["job"], "brivant")
            self.assertEqual(series["metric"]["station"], "test")
            channel = int(series["metric"]["channel"])
            value = int(float(series["value"][1]))
            self.assertIn(value, {c[channel] for c in counts}, "a count serve read")


class Https(ServerTest):
    """serve off loopback: HTTPS with the station's certificate, the names it
    answers to, and a loud warning when it serves plain HTTP there."""

    def test_prometheus_scrapes_https_with_the_ca_and_a_wrong_ca_or_host_is_refused(self):
        folder = self.sub("tls")
        make_certificates(folder, "station4.test", "DNS:station4.test,IP:127.0.0.2")
        token_file = os.path.join(self.folder, "token")
        port = free_port()
        serve = self.serve(None, extra='listen = "127.0.0.2"\nport = %d\ntoken_file = "%s"\n'
                                       'tls_cert_file = "%s/server.crt"\ntls_key_file = "%s/server.key"\n'
                                       'server_names = ["station4.test"]' % (port, token_file, folder, folder))
        self.assertTrue(serve.base.startswith("https://127.0.0.2:"), serve.base)
        self.assertFalse([e for e in serve.events() if e["event"] == "plain-http"])
        # Only the station's own names pass the Host check.
        for host, status in (("station4.test:%d" % port, 200), ("127.0.0.2:%d" % port, 200),
                             ("evil.test:%d" % port, 403)):
            got = serve.api("/metrics", headers={"Authorization": "Bearer " + serve.token, "Host": host})[0]
            self.assertEqual(got, status, host)
        # The tool on this machine goes through it over HTTPS.
        read = subprocess.run([TOOL, "read", "0", "--json"], capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, BRIVANT_BACKEND="sim", XDG_RUNTIME_DIR=serve.runtime))
        self.assertEqual(read.returncode, 0, read.stderr)
        self.assertIn("held by brivant serve (station test", read.stderr)
        # Plain HTTP to the HTTPS port gets nothing.
        with self.assertRaises((urllib.error.URLError, ConnectionError, http.client.HTTPException)):
            urllib.request.urlopen("http://127.0.0.2:%d/metrics" % port, timeout=3).read()

        prom = self.sub("prometheus")
        prom_port = free_port()
        with open(os.path.join(prom, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n")
            for job, ca in (("brivant", "ca.crt"), ("wrong-ca", "other.crt")):
                f.write("  - job_name: %s\n"
                        "    scheme: https\n"
                        "    tls_config:\n"
                        "      ca_file: %s/%s\n"
                        "      server_name: station4.test\n"
                        "    authorization:\n"
                        "      credentials_file: %s\n"
                        "    static_configs:\n"
                        "      - targets: ['127.0.0.2:%d']\n" % (job, folder, ca, token_file, port))
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + os.path.join(prom, "prometheus.yml"),
             "--storage.tsdb.path=" + os.path.join(prom, "data"),
             "--web.listen-address=127.0.0.1:%d" % prom_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: (prometheus.terminate(), prometheus.wait(15)))

        def targets():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/targets" % prom_port, timeout=2) as a:
                    found = json.load(a)["data"]["activeTargets"]
            except (OSError, ValueError, KeyError):
                return None
            health = {t["labels"]["job"]: (t["health"], t["lastError"]) for t in found}
            return health if len(health) == 2 and all(h[0] != "unknown" for h in health.values()) else None

        health = wait_for("both scrapes tried", targets, timeout=40, every=0.5)
        self.assertEqual(health["brivant"][0], "up", health)
        self.assertEqual(health["wrong-ca"][0], "down", health)
        self.assertIn("certificate", health["wrong-ca"][1])

        wait_for("counts scraped over HTTPS",
                 lambda: three_series(prom_port, 'brivant_channel_counts{job="brivant",unit="0"}'),
                 timeout=30, every=0.5)

    def test_plain_http_off_loopback_is_warned_of_loudly(self):
        serve = self.serve(None, extra='listen = "127.0.0.2"')
        warned = [e for e in serve.events() if e["event"] == "plain-http"]
        self.assertEqual(len(warned), 1, serve.log())
        self.assertIn("in the clear", warned[0]["message"])


def history(journal):
    """The journal's rows through brivant history, as dicts."""
    out = subprocess.run([TOOL, "history", "--journal", journal, "--format", "jsonl"],
                         check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines()]


class Journaled(ServerTest):
    """serve forwards every state from its journal: a broker away, a serve
    killed or restarted while it is away, and a full disk."""

    def delivered(self, serve, timeout=120):
        """Waits until the broker has acknowledged what the journal held:
        what is left is the last moment's samples, on their way (a stop
        sends them)."""
        def done():
            text = serve.api("/metrics")[1].decode()
            backlog = re.search(r'brivant_journal_backlog_rows\{station="test"\} (\d+)', text)
            return backlog and int(backlog.group(1)) < 50 and \
                'brivant_mqtt_connected{station="test"} 1' in text
        wait_for(lambda: "the journal's backlog delivered (%s)" % serve.log()[-1500:], done,
                 timeout=timeout, every=0.5)

    def received(self, sub, units):
        """(run, n) of each state the subscriber got, first arrivals in
        order, and how many came twice."""
        order, twice = self.received_states(sub, units)[:2]
        return order, twice

    def received_states(self, sub, units):
        """As received, and each state's payload by (unit, run, n)."""
        order, states, twice = [], {}, 0
        for unit in units:
            for m in sub.taken("brivant/test/unit/%d/state" % unit):
                state = json.loads(m[1])
                key = (state["unit"], state["run"], state["n"])
                if m[2] and key in states:
                    continue  # the broker's retained copy
                if key in states:
                    twice += 1
                    continue
                states[key] = state
                order.append((state["unit"], state["run"], state["n"], state.get("replayed", False)))
        return order, twice, states

    def assert_delivered_as_journaled(self, rows, states, units, only_journaled=True):
        """Every journaled state of `units` arrived, as the journal has it,
        and (`only_journaled`) nothing arrived that the journal does not
        hold: states go out before their commit, so a kill -9 with the
        broker up leaves some delivered and not journaled."""
        journaled = set()
        for row in rows:
            if row["unit"] not in units:
                continue
            key = (row["unit"], row["run"], row["n"])
            journaled.add(key)
            state = states.get(key)
            self.assertIsNotNone(state, "journaled state %s never arrived" % (key,))
            for field in ("time_us", "seq", "counts", "status", "code"):
                self.assertEqual(state[field], row[field], "%s of %s" % (field, key))
        if only_journaled:
            extra = sorted(key for key in states if key not in journaled)
            self.assertEqual(extra, [], "states that the journal does not hold")

    def keeper(self, broker):
        return self.subscriber(broker.port, ["brivant/test/unit/+/state"], client_id="keeper", clean=False)

    def test_a_broker_away_for_30_seconds_misses_no_state(self):
        # The simulated bus has units 0, 1 and 5; unit 2 is not there, and
        # its failed reads are states too (one each time it is looked for).
        outage = float(os.environ.get("BRIVANT_OUTAGE_SECONDS", "30"))
        live, rate = (0, 1, 5), 50
        units = live + (2,)
        # The broker holds the whole replay for the subscriber (its own
        # default bound is 1000 messages a client, and it drops the rest).
        broker = self.broker(["allow_anonymous true", "max_queued_messages 0"], persistent=True)
        sub = self.keeper(broker)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port], units=units, rate=rate)
        wait_for("states", lambda: len(sub.states(0)) > 5)
        broker.stop()
        journal = os.path.join(serve.folder, "state", "brivant", "journal-test.db")
        time.sleep(outage / 2)
        # brivant history reads the journal while serve writes it.
        halfway = len(history(journal))
        time.sleep(outage / 2)
        self.assertGreater(len(history(journal)), halfway)
        broker.start()
        self.delivered(serve)
        serve.stop()
        sub.settle()
        order, twice, states = self.received_states(sub, units)
        # The tail too: what was journaled last, before the stop, arrived.
        self.assert_delivered_as_journaled(history(journal), states, units)
        for unit in units:
            ns = [n for u, run, n, replayed in order if u == unit]
            self.assertEqual(ns, list(range(1, len(ns) + 1)), "unit %d: every state, in order" % unit)
            if unit in live:
                self.assertGreater(len(ns), outage * rate * 0.8)
        replayed = sum(1 for state in order if state[3])
        self.assertGreater(replayed, outage * rate * len(live) * 0.8, "those made while away say so")
        print("\nbroker away %.0f s: %d states, %d replayed, %d came twice" % (outage, len(order), replayed, twice))

    def journal_of(self, place):
        return os.path.join(place, "state", "brivant", "journal-test.db")

    def away_and_back(self, stop_signal):
        """serve stopped by `stop_signal` while the broker is away, started
        again in the same place, then the broker: the journal's rows of the
        first run and what the subscriber got."""
        broker = self.broker(["allow_anonymous true"], persistent=True)
        sub = self.keeper(broker)
        place = self.kill_place = self.sub("station")
        mqtt_lines = ['url = "mqtt://127.0.0.1:%d"' % broker.port]
        first = self.serve(mqtt_lines, place=place, rate=50)
        wait_for("states", lambda: len(sub.states(0)) > 5)
        broker.stop()
        time.sleep(3)
        last_seen = first.samples(0)[-1]
        stopped_at = time.time()
        first.stop(stop_signal)
        rows = history(self.journal_of(place))
        second = self.serve(mqtt_lines, place=place, rate=50)
        broker.start()
        self.delivered(second)
        second.stop()
        sub.settle()
        order, twice, states = self.received_states(sub, (0, 1))
        # Both runs' states, as the journal holds them after the second.
        self.assert_delivered_as_journaled(history(self.journal_of(place)), states, (0, 1))
        got = {(u, run, n) for u, run, n, replayed in order}
        missing = [(r["unit"], r["run"], r["n"]) for r in rows if (r["unit"], r["run"], r["n"]) not in got]
        self.assertEqual(missing, [], "every journaled state of the first run arrives")
        return rows, last_seen, stopped_at, twice

    def test_kill_9_while_the_broker_is_away_loses_only_the_last_commit_window(self):
        rows, last_seen, killed_at, twice = self.away_and_back(signal.SIGKILL)
        newest = max(r["time_us"] for r in rows) / 1e6
        # The first run's commits, as its blocks' last samples tell them: a
        # loaded disk can make one late, and the window lost is that long.
        db = sqlite3.connect("file:%s?mode=ro" % self.journal_of(self.kill_place), uri=True)
        ends = [row[0] / 1e6 for row in db.execute(
            "SELECT last_us FROM blocks WHERE last_us <= ? ORDER BY last_id", (int(newest * 1e6),))]
        db.close()
        window = max([1.0] + [b - a for a, b in zip(ends, ends[1:])])
        print("\nkill -9: %d states journaled; about %d (%.2f s of 2 units at 50 Hz) fell in the last "
              "commit window (the longest between commits %.2f s); %d came twice" %
              (len(rows), max(0.0, killed_at - newest) * 100, max(0.0, killed_at - newest), window, twice))
        self.assertLess(killed_at - newest, window + 0.5, "at most one commit window (sync_ms, 1 s) lost")

    def test_kill_9_with_the_broker_up_sends_again_at_most_one_commit_window(self):
        # The cursor is kept with each commit: what the broker acknowledged
        # after the last one before the kill is sent again, no more.
        broker = self.broker(["allow_anonymous true", "max_queued_messages 0"], persistent=True)
        sub = self.keeper(broker)
        place = self.sub("station")
        mqtt_lines = ['url = "mqtt://127.0.0.1:%d"' % broker.port]
        first = self.serve(mqtt_lines, place=place, rate=50)
        wait_for("states", lambda: len(sub.states(0)) > 150)
        first.stop(signal.SIGKILL)
        second = self.serve(mqtt_lines, place=place, rate=50)
        wait_for("the second run's states", lambda: len(sub.states(0)) > 250)
        self.delivered(second)
        second.stop()
        sub.settle()
        order, twice, states = self.received_states(sub, (0, 1))
        self.assert_delivered_as_journaled(history(self.journal_of(place)), states, (0, 1), only_journaled=False)
        # One commit window's states: two units at 50 Hz over the longest
        # time between the journal's commits (sync_ms 1000, or longer on a
        # loaded disk).
        db = sqlite3.connect("file:%s?mode=ro" % self.journal_of(place), uri=True)
        ends = list(db.execute("SELECT run, last_us FROM blocks ORDER BY last_id"))
        db.close()
        longest = max([1.0] + [(b[1] - a[1]) / 1e6 for a, b in zip(ends, ends[1:]) if a[0] == b[0]])
        window = 2 * 50 * longest
        print("\nkill -9, broker up: %d states, %d came twice (one commit window holds %d)" %
              (len(order), twice, window))
        self.assertLessEqual(twice, 1.5 * window, "sent again: at most about one commit window's states")

    def test_a_restart_through_sigterm_loses_nothing(self):
        rows, last_seen, stopped_at, twice = self.away_and_back(signal.SIGTERM)
        unit0 = [r for r in rows if r["unit"] == 0]
        self.assertEqual([r["n"] for r in unit0], list(range(1, len(unit0) + 1)))
        self.assertIn(last_seen["seq"], {r["seq"] for r in unit0},
                      "the last sample serve showed before the stop was journaled")

    @unittest.skipUnless(os.geteuid() == 0, "mounts a small tmpfs")
    def test_a_full_disk_is_counted_and_serve_reads_on_until_space_returns(self):
        small = self.sub("small")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", small], check=True)
        self.cleanups.append(lambda: subprocess.run(["umount", "-l", small]))
        # With the broker up: what the disk cannot hold still goes out live.
        broker = self.broker(["allow_anonymous true", "max_queued_messages 0"], persistent=True)
        sub = self.keeper(broker)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port], units=(0, 1, 2, 3), rate=200,
                           extra='[history]\npath = "%s/journal.db"\nsync_ms = 100' % small)

        def metric(name):
            text = serve.api("/metrics")[1].decode()
            found = re.search(name + r'\{station="test"\} (\d+)', text)
            return int(found.group(1)) if found else None

        wait_for("rows journaled", lambda: (metric("brivant_journal_rows") or 0) > 100)
        filler = os.path.join(small, "filler")
        # Unbuffered: a buffered file that the full disk refused a write
        # still holds the bytes, and its close fails writing them again.
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
            except OSError:
                pass
        wait_for(lambda: "the journal failing (%s)" % serve.log()[-1500:],
                 lambda: [e for e in serve.events() if e["event"] == "journal-failing"], timeout=20)
        wait_for("samples not stored, counted", lambda: metric("brivant_journal_unstored_total") > 0)
        before = serve.samples(0)[-1]["seq"]
        time.sleep(0.5)
        self.assertGreater(serve.samples(0)[-1]["seq"], before, "serve reads on")
        os.remove(filler)
        wait_for(lambda: "the journal written again (%s)" % serve.log()[-1500:],
                 lambda: [e for e in serve.events() if e["event"] == "journal-recovered"], timeout=20)
        unstored = metric("brivant_journal_unstored_total")
        rows = metric("brivant_journal_rows")
        time.sleep(1.0)
        self.assertEqual(metric("brivant_journal_unstored_total"), unstored, "nothing more is lost")
        self.assertGreater(metric("brivant_journal_rows"), rows)
        self.assertEqual(len([e for e in serve.events() if e["event"] == "journal-failing"]), 1,
                         "told once")
        self.delivered(serve)
        serve.stop()
        sub.settle()
        order, twice, states = self.received_states(sub, (0, 1))
        for unit in (0, 1):
            ns = [n for u, run, n, replayed in order if u == unit]
            self.assertEqual(ns, list(range(1, len(ns) + 1)),
                             "unit %d: every state reached the broker, those not stored too" % unit)
        journaled = {(r["unit"], r["run"], r["n"]) for r in history(os.path.join(small, "journal.db"))
                     if r["unit"] in (0, 1)}
        self.assertLess(len(journaled), len(states), "some were not stored, and went out all the same")

    @unittest.skipUnless(os.geteuid() == 0, "makes a loop device")
    def test_a_power_cut_mid_commit_keeps_every_commit(self):
        # The journal on ext4 over a loop device, which is shut down at once
        # with nothing more flushed (EXT4_IOC_SHUTDOWN, NOLOGFLUSH) while
        # serve commits every 100 ms at 1 kHz: as near a power cut as this
        # machine comes.
        image = os.path.join(self.folder, "disk.img")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.ext4", "-q", image], check=True)
        loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
        if loop.returncode != 0:
            self.skipTest("no loop device: " + loop.stderr)
        device = loop.stdout.strip()
        self.cleanups.append(lambda: subprocess.run(["losetup", "-d", device]))
        disk = self.sub("disk")
        subprocess.run(["mount", device, disk], check=True)
        self.cleanups.append(lambda: subprocess.run(["umount", "-l", disk]))
        journal = os.path.join(disk, "journal.db")
        extra = '[history]\npath = "%s"\nsync_ms = 100' % journal
        place = self.sub("station")
        first = self.serve(None, place=place, units=(0, 1), rate=1000, extra=extra)
        wait_for("rows committed", lambda: os.path.exists(journal) and len(history(journal)) > 3000)
        committed = history(journal)  # every row here was committed before the cut
        mount_point = os.open(disk, os.O_RDONLY)
        try:
            fcntl.ioctl(mount_point, 0x8004587D, struct.pack("I", 2))  # EXT4_IOC_SHUTDOWN, NOLOGFLUSH
        finally:
            os.close(mount_point)
        first.stop(signal.SIGKILL)
        subprocess.run(["umount", disk], check=True)
        subprocess.run(["mount", device, disk], check=True)

        second = self.serve(None, place=place, units=(0, 1), rate=1000, extra=extra)
        wait_for("the second run journaling", lambda: len(history(journal)) > len(committed))
        second.stop()
        events = [e["event"] for e in second.events()]
        self.assertNotIn("journal-moved-aside", events, second.log()[-2000:])
        self.assertNotIn("journal-damaged", events, second.log()[-2000:])
        after = {r["id"]: r for r in history(journal)}
        lost = [r["id"] for r in committed if r["id"] not in after]
        self.assertEqual(lost, [], "committed rows lost at the cut")
        for row in committed:
            self.assertEqual(after[row["id"]], row)
        print("\npower cut: %d committed rows before it, all there after; %d rows now" %
              (len(committed), len(after)))

    def test_a_history_export_read_slowly_stalls_no_commit_and_loses_nothing(self):
        # The export's reader stops reading for a minute, the broker away:
        # commits keep their pace, nothing waits in memory past its bound,
        # and every state reaches the broker once it is back.
        pause = float(os.environ.get("BRIVANT_SLOW_READER_SECONDS", "60"))
        broker = self.broker(["allow_anonymous true", "max_queued_messages 0"], persistent=True)
        sub = self.keeper(broker)
        serve = self.serve(['url = "mqtt://127.0.0.1:%d"' % broker.port], units=(0, 1), rate=1000,
                           extra="[history]\nsync_ms = 500\nmax_mb = 16")
        journal = os.path.join(serve.folder, "state", "brivant", "journal-test.db")
        wait_for("states", lambda: len(sub.states(0)) > 5)
        broker.stop()
        time.sleep(2)
        export = subprocess.Popen([TOOL, "history", "--journal", journal, "--format", "jsonl"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.cleanups.append(export.kill)
        first = export.stdout.readline()
        self.assertTrue(first.startswith(b"{"), first)
        paused_at = time.time() * 1e6
        time.sleep(pause / 2)  # the pipe fills, and the export waits on it
        # The export holds no snapshot while it waits: a checkpoint that
        # must wait for every reader of the WAL completes.
        db = sqlite3.connect(journal, timeout=20)
        busy, _, _ = db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()
        db.close()
        self.assertEqual(busy, 0, "a reader held the journal's WAL back")
        time.sleep(pause / 2)
        resumed_at = time.time() * 1e6
        exported = [json.loads(first)] + [json.loads(line) for line in export.stdout]
        export.stdout.close()
        with export.stderr:
            self.assertEqual(export.wait(30), 0, export.stderr.read())
        broker.start()
        self.delivered(serve, timeout=300)
        serve.stop()
        sub.settle()

        text_rows = history(journal)
        ids = {r["id"] for r in text_rows}
        self.assertEqual([r for r in exported if r["id"] not in ids], [], "the export holds journal rows")
        events = [e["event"] for e in serve.events()]
        for told in ("journal-behind", "journal-busy", "journal-unsent-dropped", "journal-failing"):
            self.assertNotIn(told, events)
        # The commits' pace, from the blocks they wrote while the reader slept.
        db = sqlite3.connect("file:%s?mode=ro" % journal, uri=True)
        ends = [row[0] for row in db.execute("SELECT last_us FROM blocks WHERE last_us BETWEEN ? AND ? "
                                             "ORDER BY last_id", (paused_at, resumed_at))]
        db.close()
        gaps = sorted(b - a for a, b in zip(ends, ends[1:]))
        self.assertGreater(len(ends), pause / 5, "commits went on while the reader slept")
        # The pace is a figure, not a bound: a loaded machine's fsync can
        # take seconds whoever reads.
        print("\nreader asleep %.0f s: %d commits (sync_ms 500), gaps p50 %.0f ms, longest %.0f ms; "
              "%d rows exported" % (pause, len(ends), gaps[len(gaps) // 2] / 1000, gaps[-1] / 1000, len(exported)))
        order, twice, states = self.received_states(sub, (0, 1))
        self.assert_delivered_as_journaled(text_rows, states, (0, 1))


if __name__ == "__main__":
    unittest.main(verbosity=2)

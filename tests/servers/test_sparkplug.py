"""serve as a Sparkplug B edge node, against Debian's Mosquitto and a host
written for the test with npm's mqtt and sparkplug-payload
(tests/sparkplug-host/host.mjs). Every payload is decoded twice: by that
host, and by Debian's python3-protobuf over protoc's module of our own
.proto (BRIVANT_SPARKPLUG_MODULE); the two must agree. Each assertion is
named after the rule it checks.
"""

import base64
import json
import os
import signal
import subprocess
import sys
import threading
import time
import tomllib
import unittest

from test_mqtt_and_metrics import TOOL, ServerTest, history, wait_for

HOST_JS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sparkplug-host", "host.mjs")
sys.path.insert(0, os.environ.get("BRIVANT_SPARKPLUG_MODULE", ""))
import sparkplug_b_pb2  # noqa: E402  (made by protoc at build time)

GROUP, NODE = "plant", "test"
TYPES = {1: "Int8", 2: "Int16", 3: "Int32", 4: "Int64", 5: "UInt8", 6: "UInt16", 7: "UInt32", 8: "UInt64",
         9: "Float", 10: "Double", 11: "Boolean", 12: "String", 13: "DateTime", 14: "Text"}


def count_alias(unit, channel):
    return (unit + 1) * 1000 + (channel + 1) * 100


class Host:
    """host.mjs as a child: every message it took, and orders to publish."""

    def __init__(self, port, host_id=None):
        args = ["node", HOST_JS, "mqtt://127.0.0.1:%d" % port] + ([host_id] if host_id else [])
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.messages, self.published = [], []
        self.lock = threading.Lock()
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        wait_for("the host subscribed", self.ready.is_set, timeout=20)

    def _read(self):
        for line in self.process.stdout:
            item = json.loads(line)
            with self.lock:
                if item.get("ready"):
                    self.ready.set()
                elif "published" in item:
                    self.published.append(item["published"])
                else:
                    self.messages.append(item)

    def publish(self, topic, payload=None, raw=None, text=None, qos=1, retain=False):
        order = {"publish": topic, "qos": qos, "retain": retain}
        if payload is not None:
            order["payload"] = payload
        elif raw is not None:
            order["raw"] = base64.b64encode(raw).decode()
        else:
            order["text"] = text
        with self.lock:
            sent = self.published.count(topic)
        self.process.stdin.write(json.dumps(order) + "\n")
        self.process.stdin.flush()
        wait_for("the host's publish on " + topic, lambda: self.published.count(topic) > sent)

    def taken(self, kind=None, unit=None):
        """The node's messages, of one kind (NBIRTH, DDATA, ...) and unit."""
        with self.lock:
            out = []
            for m in self.messages:
                parts = m["topic"].split("/")
                if parts[0] != "spBv1.0" or parts[1] == "STATE" or parts[3] != NODE:
                    continue
                if parts[2] in ("NCMD", "DCMD"):
                    continue  # the host's own
                if kind is not None and parts[2] != kind:
                    continue
                if unit is not None and (len(parts) < 5 or parts[4] != "unit-%d" % unit):
                    continue
                out.append(m)
            return out

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.process.stdout.close()


def kind_of(message):
    return message["topic"].split("/")[2]


def second_decoding(message):
    """The payload as Debian's python3-protobuf reads it, shaped as the npm
    decoder shapes it."""
    payload = sparkplug_b_pb2.Payload()
    payload.ParseFromString(base64.b64decode(message["raw"]))
    out = {"metrics": []}
    for field in ("timestamp", "seq"):
        if payload.HasField(field):
            out[field] = getattr(payload, field)
    for m in payload.metrics:
        metric = {"type": TYPES[m.datatype]}
        for field, key in (("name", "name"), ("alias", "alias"), ("timestamp", "timestamp"),
                           ("is_historical", "isHistorical")):
            if m.HasField(field):
                metric[key] = getattr(m, field)
        kind = m.WhichOneof("value")
        metric["value"] = None if m.is_null else getattr(m, kind) if kind else None
        out["metrics"].append(metric)
    return out


def first_decoding(message):
    """The npm decoder's, with the fields both read."""
    payload = message["payload"]
    out = {"metrics": []}
    for field in ("timestamp", "seq"):
        if field in payload:
            out[field] = payload[field]
    for m in payload.get("metrics", []):
        metric = {key: m[key] for key in ("type", "name", "alias", "timestamp", "isHistorical", "value") if key in m}
        if metric["type"] in ("Int8", "Int16", "Int32") and isinstance(metric.get("value"), int):
            metric["value"] &= 0xFFFFFFFF  # as int_value carries it
        out["metrics"].append(metric)
    return out


class SparkplugTest(ServerTest):
    def start(self, lines=(), host_id=None, units=(0, 1), rate=20, publish_ms=0, place=None, broker=None):
        self.broker_ = broker or self.broker(["allow_anonymous true"])
        if not hasattr(self, "host") or self.host is None:
            self.host = Host(self.broker_.port, host_id)
            self.cleanups.append(self.host.stop)
        table = ['[sparkplug]', 'url = "mqtt://127.0.0.1:%d"' % self.broker_.port, 'group_id = "%s"' % GROUP,
                 "publish_ms = %d" % publish_ms, "keepalive = 5"] + list(lines)
        return self.serve(None, place=place, extra="\n".join(table), units=units, rate=rate)

    def assert_decoders_agree(self, messages):
        for m in messages:
            self.assertNotIn("undecodable", m, m["topic"])
            self.assertEqual(first_decoding(m), second_decoding(m), "two decoders agree on " + m["topic"])

    def samples_of(self, unit, messages=None):
        """Each (time ms, counts, historical) that DDATA carried for `unit`."""
        out = []
        for m in messages if messages is not None else self.host.taken("DDATA", unit):
            at = {}
            for metric in m["payload"]["metrics"]:
                alias = metric.get("alias", 0)
                for channel in range(3):
                    if alias == count_alias(unit, channel):
                        entry = at.setdefault(metric["timestamp"], [None, None, None, False])
                        entry[channel] = metric["value"]
                        entry[3] = metric.get("isHistorical", False)
            out.extend((when, tuple(e[:3]), e[3]) for when, e in sorted(at.items()))
        return out


class EdgeNodeSession(SparkplugTest):
    def test_births_then_data_then_ndeath_at_sigterm(self):
        serve = self.start(rate=50, publish_ms=0)
        wait_for("more than 300 messages after the NBIRTH", lambda: len(self.host.taken()) > 320, timeout=30)
        serve.stop()
        wait_for("SIGTERM: the NDEATH serve publishes before DISCONNECT", lambda: self.host.taken("NDEATH"))
        time.sleep(0.3)
        messages = self.host.taken()
        kinds = [kind_of(m) for m in messages]

        self.assertEqual(kinds[0], "NBIRTH", "NBIRTH is the node's first message")
        nbirth = messages[0]["payload"]
        self.assertEqual(nbirth["seq"], 0, "seq is 0 in NBIRTH")
        bdseq = [m for m in nbirth["metrics"] if m.get("name") == "bdSeq"]
        self.assertEqual([m["value"] for m in bdseq], [0], "bdSeq is 0 at the first CONNECT")
        self.assertEqual({m["name"] for m in nbirth["metrics"]},
                         {"bdSeq", "Node Control/Rebirth", "Journal/Backlog"}, "the node's own metrics")

        for unit in (0, 1):
            of_unit = [i for i, m in enumerate(messages) if m["topic"].endswith("/unit-%d" % unit)]
            self.assertEqual(kinds[of_unit[0]], "DBIRTH", "every DBIRTH comes before any data of its unit")
            dbirth = messages[of_unit[0]]["payload"]["metrics"]
            for metric in dbirth:
                self.assertTrue(metric.get("name") and metric.get("alias") and metric.get("type"),
                                "births carry every metric with name, alias and datatype: %s" % metric)
            names = {m["name"]: m["type"] for m in dbirth}
            self.assertEqual(names["Answering"], "Boolean")
            for channel in range(3):
                self.assertEqual(names["Channel %d/Count" % channel], "UInt64", "Count is UInt64")
                self.assertEqual(names["Channel %d/Status" % channel], "UInt8", "Status is UInt8")
                self.assertIn("Channel %d/multiplier" % channel, names, "the channel's settings")
            aliases = {m["alias"] for m in dbirth}
            times = []
            for m in self.host.taken("DDATA", unit):
                for metric in m["payload"]["metrics"]:
                    self.assertNotIn("name", metric, "data messages carry aliases only")
                    self.assertIn(metric["alias"], aliases, "every alias in data is one the birth gave")
                    times.append(metric["timestamp"])
            self.assertEqual(times, sorted(times), "data of a unit in time order")

        seqs = [m["payload"].get("seq") for m in messages if kind_of(m) != "NDEATH"]
        self.assertGreater(len(seqs), 300)
        self.assertEqual(seqs, [i % 256 for i in range(len(seqs))],
                         "seq rises by one over every message after NBIRTH, 255 then 0")
        for m in messages:
            if kind_of(m) != "NDEATH":
                self.assertEqual((m["qos"], m["retain"]), (0, False), "births and data: QoS 0, not retained")
        self.assertEqual(kinds[-1], "NDEATH", "SIGTERM: NDEATH is the last message")
        ndeath = messages[-1]["payload"]
        self.assertNotIn("seq", ndeath, "NDEATH carries no seq")
        self.assertEqual([(m["name"], m["value"]) for m in ndeath["metrics"]], [("bdSeq", 0)],
                         "NDEATH carries bdSeq alone, the birth's")
        log = self.broker_.log()
        death = log.find("'spBv1.0/%s/NDEATH/%s'" % (GROUP, NODE))
        disconnect = log.find("Received DISCONNECT from brivant-test-")
        self.assertTrue(0 <= death < disconnect, "SIGTERM: NDEATH before DISCONNECT")
        self.assert_decoders_agree(messages)

    def test_kill_9_the_broker_publishes_the_will_with_the_bdseq_of_the_last_birth(self):
        serve = self.start(host_id="scada")
        wait_for("the first NBIRTH", lambda: self.host.taken("NBIRTH"))
        # The broker away twice: libmosquitto connects again each time, with
        # a new will set before each CONNECT.
        for again in (1, 2):
            self.broker_.stop()
            time.sleep(0.5)
            self.broker_.start()
            wait_for("NBIRTH %d" % again, lambda: len(self.host.taken("NBIRTH")) > again, timeout=30)
        bdseqs = [m["payload"]["metrics"][0]["value"] for m in self.host.taken("NBIRTH")]
        self.assertEqual(bdseqs, [0, 1, 2], "bdSeq goes up by one at every CONNECT")
        # A broker that stops publishes its clients' wills as it goes.
        deaths = len(self.host.taken("NDEATH"))
        serve.stop(signal.SIGKILL)
        wait_for("the will", lambda: len(self.host.taken("NDEATH")) > deaths, timeout=20)
        will = self.host.taken("NDEATH")[-1]
        self.assertEqual((will["qos"], will["retain"]), (1, False), "the will is QoS 1, not retained")
        self.assertNotIn("seq", will["payload"])
        self.assertEqual([(m["name"], m["value"]) for m in will["payload"]["metrics"]], [("bdSeq", 2)],
                         "the will is an NDEATH with only bdSeq, the one its NBIRTH carried")
        self.assert_decoders_agree(self.host.taken())


class HostCommands(SparkplugTest):
    def rebirths_and_bad_commands(self, serve):
        ncmd = "spBv1.0/%s/NCMD/%s" % (GROUP, NODE)
        dcmd = "spBv1.0/%s/DCMD/%s/unit-0" % (GROUP, NODE)
        self.host.publish(ncmd, raw=b"\x0a\xff\xff garbage")
        self.host.publish(ncmd, payload={"metrics": [{"name": "Node Control/Reboot", "type": "Boolean",
                                                      "value": True}]})
        self.host.publish("spBv1.0/%s/DCMD/%s/unit-9" % (GROUP, NODE),
                          payload={"metrics": [{"name": "Channel 0/multiplier", "type": "UInt8", "value": 1}]})
        self.host.publish(dcmd, payload={"metrics": [{"name": "Channel 0/Count", "type": "UInt64", "value": 5}]})
        self.host.publish(dcmd, raw=b"\xff" * 40)
        before = len(self.host.taken("NBIRTH"))
        data_before = len(self.host.taken("DDATA"))
        self.host.publish(ncmd, payload={"metrics": [{"name": "Node Control/Rebirth", "type": "Boolean",
                                                      "value": True}]})
        wait_for("the rebirth", lambda: len(self.host.taken("NBIRTH")) > before)
        wait_for("data again", lambda: len(self.host.taken("DDATA")) > data_before + 4)
        messages = self.host.taken()
        births = [i for i, m in enumerate(messages) if kind_of(m) == "NBIRTH"]
        first, again = messages[births[0]]["payload"], messages[births[-1]]["payload"]
        self.assertEqual(again["seq"], 0, "a rebirth's NBIRTH has seq 0")
        self.assertEqual(again["metrics"][0]["value"], first["metrics"][0]["value"], "a rebirth keeps the bdSeq")
        after = [kind_of(m) + m["topic"][-7:] for m in messages[births[-1] + 1:]]
        for unit in (0, 1):
            mine = [k for k in after if k.endswith("unit-%d" % unit)]
            self.assertTrue(mine and mine[0].startswith("DBIRTH"),
                            "after a rebirth, unit %d's DBIRTH comes before its data: %s" % (unit, mine[:3]))
        self.assertIsNone(serve.process.poll(), "bad commands are never fatal")
        return [e for e in serve.events() if e.get("event") == "sparkplug-ignored"]

    def test_commands_off_are_ignored_and_counted_and_a_rebirth_is_sent_whole(self):
        serve = self.start()
        wait_for("data", lambda: len(self.host.taken("DDATA")) > 4)
        ignored = self.rebirths_and_bad_commands(serve)
        kinds = [e["message"] for e in ignored]
        self.assertTrue(any("not a Sparkplug B payload" in k for k in kinds), "a malformed NCMD is told")
        self.assertTrue(any("Node Control/Reboot" in k for k in kinds), "an unknown NCMD metric is told")
        self.assertTrue(any("unit-9" in k for k in kinds), "a DCMD for a unit not the station's is told")
        self.assertTrue(any("commands are off" in k for k in kinds), "DCMD is off unless commands = true")
        self.assertEqual(len(kinds), 4, "each kind told once (two DCMDs while commands are off): %s" % kinds)
        metrics = serve.api("/metrics")[1].decode()
        self.assertIn('brivant_sparkplug_rebirths_total{station="test"} 1', metrics)
        self.assertIn('brivant_sparkplug_commands_ignored_total{station="test"} 5', metrics,
                      "each ignored command counted")
        self.assert_decoders_agree(self.host.taken())

    def test_dcmd_writes_go_through_the_api_checks_and_the_birth_tells_the_new_value(self):
        serve = self.start(["commands = true"])
        wait_for("data", lambda: len(self.host.taken("DDATA")) > 4)
        dcmd = "spBv1.0/%s/DCMD/%s/unit-0" % (GROUP, NODE)
        births = self.host.taken("DBIRTH", 0)
        alias = {m["name"]: m["alias"] for m in births[0]["payload"]["metrics"]}

        def config_multiplier():
            config = tomllib.loads(serve.api("/api/config")[1].decode())
            return config["unit"]["0"]["channel"]["1"]["multiplier"]

        def told(value):
            for m in self.host.taken("DDATA", 0):
                for metric in m["payload"]["metrics"]:
                    if metric["alias"] == alias["Channel 1/multiplier"] and metric["value"] == value:
                        return True
            return False

        self.host.publish(dcmd, payload={"metrics": [{"name": "Channel 1/multiplier", "type": "UInt8", "value": 2}]})
        wait_for("the write in the live configuration", lambda: config_multiplier() == 2)
        wait_for("the new value in DDATA", lambda: told(2))
        # By alias, out of range: refused by the same checks, nothing changed.
        self.host.publish(dcmd, payload={"metrics": [{"alias": alias["Channel 1/multiplier"], "type": "UInt8",
                                                      "value": 7}]})
        # A switch by its Boolean: channel 2 stops counting.
        self.host.publish(dcmd, payload={"metrics": [{"name": "Channel 2/run", "type": "Boolean", "value": False}]})
        wait_for("channel 2 stopped", lambda: serve.samples(0)[-1]["status"][2] & 1 == 0)
        self.assertEqual(config_multiplier(), 2, "an out-of-range write changes nothing")
        refused = [e for e in serve.events() if e.get("event") == "sparkplug-ignored"]
        self.assertTrue(any("0 to 2, not 7" in e["message"] for e in refused), "out of range is told")
        # The next birth holds what the writes made.
        self.host.publish("spBv1.0/%s/NCMD/%s" % (GROUP, NODE),
                          payload={"metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": True}]})
        wait_for("the rebirth", lambda: len(self.host.taken("DBIRTH", 0)) > 1)
        values = {m["name"]: m["value"] for m in self.host.taken("DBIRTH", 0)[-1]["payload"]["metrics"]}
        self.assertEqual((values["Channel 1/multiplier"], values["Channel 2/run"]), (2, False))
        self.assert_decoders_agree(self.host.taken())


class PrimaryHost(SparkplugTest):
    def test_no_birth_until_the_host_is_online_and_a_newer_offline_ends_the_session(self):
        broker = self.broker(["allow_anonymous true"])
        self.host = Host(broker.port)  # not a primary host: it only watches
        self.cleanups.append(self.host.stop)
        state = "spBv1.0/STATE/scada"
        serve = self.start(['primary_host_id = "scada"'], broker=broker)
        time.sleep(2)
        self.assertEqual(self.host.taken(), [], "no NBIRTH until the primary host says it is online")
        self.host.publish(state, text=json.dumps({"online": True, "timestamp": 1000}), retain=True)
        wait_for("the NBIRTH", lambda: self.host.taken("NBIRTH"))
        self.host.publish(state, text=json.dumps({"online": False, "timestamp": 500}), retain=True)
        data = len(self.host.taken("DDATA"))
        wait_for("data going on: an older offline STATE is ignored", lambda: len(self.host.taken("DDATA")) > data + 4)
        self.assertEqual(self.host.taken("NDEATH"), [], "an older offline STATE is ignored")
        self.host.publish(state, text=json.dumps({"online": False, "timestamp": 2000}), retain=True)
        wait_for("the NDEATH", lambda: self.host.taken("NDEATH"))
        time.sleep(1)
        count = len(self.host.taken())
        time.sleep(1.5)
        self.assertEqual(len(self.host.taken()), count, "after a newer offline STATE, the node waits")
        ndeath = self.host.taken("NDEATH")[0]["payload"]
        nbirth = self.host.taken("NBIRTH")[0]["payload"]
        self.assertEqual(ndeath["metrics"][0]["value"], nbirth["metrics"][0]["value"], "its NDEATH pairs its birth")
        self.host.publish(state, text=json.dumps({"online": True, "timestamp": 3000}), retain=True)
        wait_for(lambda: "the next NBIRTH (%s)" % serve.log()[-2000:], lambda: len(self.host.taken("NBIRTH")) > 1,
                 timeout=30)
        self.assertEqual(self.host.taken("NBIRTH")[-1]["payload"]["metrics"][0]["value"],
                         nbirth["metrics"][0]["value"] + 1, "a new CONNECT, a new bdSeq")
        self.assertIsNone(serve.process.poll())


class StoreAndForward(SparkplugTest):
    def test_an_outage_of_the_broker_loses_no_journaled_sample_and_replays_them_historical(self):
        outage = float(os.environ.get("BRIVANT_OUTAGE_SECONDS", "30"))
        broker = self.broker(["allow_anonymous true", "max_queued_messages 0"])
        serve = self.start(host_id="scada", publish_ms=100, broker=broker)
        journal = os.path.join(serve.folder, "state", "brivant", "journal-test.db")
        wait_for("live data", lambda: len(self.samples_of(0)) > 10)
        broker.stop()
        away_from = time.time()
        time.sleep(outage)
        away_to = time.time()
        broker.start()
        wait_for("data after the outage", lambda: any(t / 1000 > away_to + 2 for t, _, _ in self.samples_of(0)),
                 timeout=60)
        serve.stop()
        wait_for("the NDEATH", lambda: self.host.taken("NDEATH"))
        rows = [r for r in history(journal) if r["unit"] == 0 and r["result"] == "RC_OK"]
        got = self.samples_of(0)
        first_ms = got[0][0]
        by_time = {}
        for when, counts, historical in got:
            by_time.setdefault(when, []).append((counts, historical))
        missing, wrong, historical_rows = [], [], 0
        for row in rows:
            when = row["time_us"] // 1000
            if when < first_ms:
                continue
            arrived = by_time.get(when)
            if not arrived:
                missing.append(when)
                continue
            counts = tuple(c & 0xFFFFFFFF for c in row["counts"])
            if any(a[0] != counts for a in arrived):
                wrong.append((when, counts, arrived))
            if away_from + 0.5 < when / 1000 < away_to - 0.5:
                historical_rows += 1
                self.assertTrue(all(a[1] for a in arrived),
                                "a sample journaled while the broker was away is flagged historical")
        self.assertEqual(missing, [], "every journaled sample of the unit arrives: no gap")
        self.assertEqual(wrong, [], "each as the journal has it")
        self.assertGreater(historical_rows, outage * 20 * 0.8, "the outage's samples are there to check")
        journaled = {r["time_us"] // 1000 for r in rows}
        self.assertEqual(sorted(set(by_time) - journaled), [], "nothing arrives that the journal does not hold")
        twice = sum(len(v) - 1 for v in by_time.values())
        again = [when / 1000 for when, arrived in by_time.items() if len(arrived) > 1]
        self.assertTrue(all(away_from - 2 < t < away_from + 1 for t in again),
                        "duplicates only where unacknowledged: what was on its way when the broker went")
        order = [when for when, _, _ in got]
        print("\nsparkplug: broker away %.0f s, %d samples of unit 0, %d historical, %d came twice"
              % (outage, len(got), historical_rows, twice))
        self.assertEqual(len(order), len(set(order)) + twice)
        self.assert_decoders_agree(self.host.taken())


if __name__ == "__main__":
    unittest.main(verbosity=2)

// A Sparkplug B host for the servers suite, written with npm's mqtt and
// sparkplug-payload, so that what serve's edge node publishes is read by a
// decoder that is not ours.
//
//   node host.mjs URL [HOST_ID]
//
// With HOST_ID it is a primary host: at each connection, once subscribed,
// its retained spBv1.0/STATE/HOST_ID says it is online, and its will that
// it is offline.
// It subscribes to spBv1.0/# and prints one JSON line for every message:
//   {"at": ms, "topic": ..., "qos": 0|1, "retain": bool, "payload": {...}, "raw": base64}
// with 64-bit numbers as numbers (as strings past 2^53). It takes one JSON
// line at a time on stdin:
//   {"publish": TOPIC, "payload": {...}, "qos": 1, "retain": false}  a Sparkplug payload
//   {"publish": TOPIC, "raw": base64, "qos": 1, "retain": false}     bytes as they are
//   {"publish": TOPIC, "text": "...", "qos": 1, "retain": true}      a STATE, say
// and answers each with {"published": TOPIC}. {"ready": true} once subscribed.
import readline from "node:readline";

import mqtt from "mqtt";
import sparkplugPayload from "sparkplug-payload";

const sparkplug = sparkplugPayload.get("spBv1.0");
const [url, hostId] = process.argv.slice(2);
if (!url) {
    console.error("usage: node host.mjs URL [HOST_ID]");
    process.exit(2);
}
const stateTopic = hostId ? `spBv1.0/STATE/${hostId}` : null;
// The will and the online STATE carry the same timestamp, so that a node
// takes the will as the end of this online.
const since = Date.now();
const state = (online) => JSON.stringify({ online, timestamp: since });

function plain(value) {
    if (value && typeof value === "object" && "low" in value && "high" in value && "unsigned" in value) {
        const text = value.toString();
        const number = Number(text);
        return Number.isSafeInteger(number) ? number : text;
    }
    if (Array.isArray(value)) {
        return value.map(plain);
    }
    if (value && typeof value === "object" && !(value instanceof Uint8Array)) {
        return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, plain(v)]));
    }
    return value;
}

function say(line) {
    process.stdout.write(JSON.stringify(line) + "\n");
}

const options = {
    clientId: `sparkplug-host-${process.pid}`,
    clean: true,
    protocolVersion: 4,
    reconnectPeriod: 200,
};
if (stateTopic) {
    options.will = { topic: stateTopic, payload: state(false), qos: 1, retain: true };
}
const client = mqtt.connect(url, options);

client.on("connect", () => {
    client.subscribe("spBv1.0/#", { qos: 1 }, (error) => {
        if (error) {
            console.error(`host: subscribe failed: ${error.message}`);
            process.exit(1);
        }
        if (stateTopic) {
            client.publish(stateTopic, state(true), { qos: 1, retain: true }, () => say({ ready: true }));
        } else {
            say({ ready: true });
        }
    });
});

client.on("message", (topic, bytes, packet) => {
    const line = { at: Date.now(), topic, qos: packet.qos, retain: packet.retain, raw: bytes.toString("base64") };
    if (topic.startsWith("spBv1.0/STATE/")) {
        line.text = bytes.toString("utf8");
    } else {
        try {
            line.payload = plain(sparkplug.decodePayload(bytes));
        } catch (error) {
            line.undecodable = String(error.message || error);
        }
    }
    say(line);
});

client.on("error", (error) => console.error(`host: ${error.message}`));

const input = readline.createInterface({ input: process.stdin });
input.on("line", (text) => {
    if (!text.trim()) {
        return;
    }
    const order = JSON.parse(text);
    let bytes;
    if (order.payload !== undefined) {
        bytes = Buffer.from(sparkplug.encodePayload(order.payload));
    } else if (order.raw !== undefined) {
        bytes = Buffer.from(order.raw, "base64");
    } else {
        bytes = Buffer.from(order.text ?? "", "utf8");
    }
    client.publish(order.publish, bytes, { qos: order.qos ?? 1, retain: order.retain ?? false }, () =>
        say({ published: order.publish }),
    );
});
input.on("close", () => client.end(false, () => process.exit(0)));

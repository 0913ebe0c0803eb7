"""The second decoder of the station's Sparkplug B payloads: Debian's
python3-protobuf over the module protoc makes from the same .proto.

  sparkplug_codec.py MODULE_DIR decode FILE   prints the payload in FILE as JSON
  sparkplug_codec.py MODULE_DIR encode FILE   writes to FILE the payload a host
                                              would send as a command (JSON on stdin)
"""
import json
import sys

sys.path.insert(0, sys.argv[1])
import sparkplug_b_pb2  # noqa: E402  (made by protoc at build time)


def metric_json(metric):
    out = {}
    for field in ("name", "alias", "timestamp", "datatype", "is_historical", "is_null"):
        if metric.HasField(field):
            out[field] = getattr(metric, field)
    kind = metric.WhichOneof("value")
    if kind is not None:
        out[kind] = getattr(metric, kind)
    return out


def decode(path):
    payload = sparkplug_b_pb2.Payload()
    with open(path, "rb") as f:
        payload.ParseFromString(f.read())
    out = {"metrics": [metric_json(m) for m in payload.metrics]}
    for field in ("timestamp", "seq"):
        if payload.HasField(field):
            out[field] = getattr(payload, field)
    print(json.dumps(out, sort_keys=True))


def encode(path):
    given = json.load(sys.stdin)
    payload = sparkplug_b_pb2.Payload()
    for field in ("timestamp", "seq"):
        if field in given:
            setattr(payload, field, given[field])
    for m in given.get("metrics", []):
        metric = payload.metrics.add()
        for key, value in m.items():
            setattr(metric, key, value)
    with open(path, "wb") as f:
        f.write(payload.SerializeToString())


if __name__ == "__main__":
    {"decode": decode, "encode": encode}[sys.argv[2]](sys.argv[3])

#!/usr/bin/env python3
"""The archive record's layout, written once, and the schema files made from it.

    tools/archive_schema.py           writes schema/{download,upload,latency}.schema.json
                                      (JSON Schema, draft 2020-12) and schema/bigquery.json
    tools/archive_schema.py --check   fails when those files differ from what it would write

A field is (name, type, mode, description[, children]): type is one of integer, number,
string, object (a record with the listed children), map (an object of string values); mode is
REQUIRED, NULLABLE or REPEATED. Members a kind never has are null in its records: the
per-kind schemas pin them to null.
"""
import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMA_DIR = os.path.join(ROOT, "schema")
KINDS = ("download", "upload", "latency")
# The nested member only one kind has.
KIND_ONLY = {"upload": "upload", "latency": "latency"}

SAMPLE = [
    ("connection", "integer", "REQUIRED", "index of the connection"),
    ("index", "integer", "REQUIRED", "index of the sample"),
    ("time_us", "integer", "REQUIRED", "microseconds from the start of the test"),
    ("bytes", "integer", "REQUIRED", "bytes the connection had moved"),
]
LATENCY_SAMPLE = [
    ("ts", "integer", "REQUIRED", "milliseconds since the session was created"),
    ("tcp_rtt", "integer", "REQUIRED", "smoothed round-trip time, microseconds"),
    ("tcp_rttvar", "integer", "REQUIRED", "round-trip time variance, microseconds"),
    ("tcpi_lost", "integer", "REQUIRED", "segments thought lost"),
    ("tcpi_total_retrans", "integer", "REQUIRED", "segments retransmitted over the life"),
    ("tcpi_retrans", "integer", "REQUIRED", "segments retransmitted now"),
    ("tcpi_snd_cwnd", "integer", "REQUIRED", "congestion window, segments"),
    ("total_transferred", "integer", "REQUIRED", "bytes moved, headers included"),
    ("data_transferred", "integer", "REQUIRED", "test data bytes moved"),
]
FIELDS = [
    ("schema_version", "integer", "REQUIRED", "layout version of the record: 1"),
    ("test_id", "string", "REQUIRED", "<host>-<process start, unix us>-<counter from 1>"),
    ("kind", "string", "REQUIRED", "download, upload or latency"),
    ("server_host", "string", "REQUIRED", "host name of the server"),
    ("server_version", "string", "REQUIRED", "version of the server"),
    ("server_revision", "string", "REQUIRED", "source revision of the server"),
    ("family", "string", "REQUIRED", "ipv4 or ipv6"),
    ("client_address", "string", "REQUIRED", "numeric client address"),
    ("server_address", "string", "REQUIRED", "numeric server address"),
    ("client_port", "integer", "REQUIRED", "client port"),
    ("server_port", "integer", "REQUIRED", "server port"),
    ("transport", "string", "REQUIRED", "tcp, or tls for a test of the TLS port"),
    ("tls_version", "string", "NULLABLE", "TLS: the protocol version, TLSv1.3 or TLSv1.2"),
    ("tls_cipher", "string", "NULLABLE", "TLS: the cipher suite's standard name"),
    ("kernel_tls", "integer", "NULLABLE", "TLS: 1 when the kernel encrypted, 0 when the server"),
    ("start_time", "timestamp", "REQUIRED", "start, RFC 3339 UTC with microseconds"),
    ("end_time", "timestamp", "REQUIRED", "end, RFC 3339 UTC with microseconds"),
    ("start_time_us", "integer", "REQUIRED", "start, unix microseconds"),
    ("end_time_us", "integer", "REQUIRED", "end, unix microseconds"),
    ("outcome", "string", "REQUIRED", "completed, expired, cut_short or failed"),
    ("reason", "string", "REQUIRED", "empty when completed, else the reason in a few words"),
    ("unit_id", "integer", "REQUIRED", "unit id: the upper 32 bits of the session id"),
    ("session_id", "integer", "REQUIRED", "the full 64-bit session id"),
    ("connection_count", "integer", "REQUIRED", "connections that took part"),
    ("total_bytes", "integer", "REQUIRED", "bytes moved by all connections, headers included"),
    ("data_bytes", "integer", "REQUIRED", "test data bytes moved by all connections"),
    ("measured_bps", "number", "NULLABLE", "uploads: the measured result, bit/s"),
    ("parameters", "map", "REQUIRED", "request parameters of the session, name to value"),
    ("connections", "object", "REPEATED", "one per connection", [
        ("index", "integer", "REQUIRED", "index of the connection"),
        ("total_bytes", "integer", "REQUIRED", "bytes moved, headers included"),
        ("data_bytes", "integer", "REQUIRED", "test data bytes moved"),
        ("duration_us", "integer", "REQUIRED", "from the accept to the end, microseconds"),
        ("retransmissions", "integer", "REQUIRED", "segments retransmitted"),
        ("rtt_us", "integer", "REQUIRED", "smoothed round-trip time, microseconds"),
        ("rttvar_us", "integer", "REQUIRED", "round-trip time variance, microseconds"),
        ("snd_cwnd", "integer", "REQUIRED", "congestion window, segments"),
        ("delivery_rate_bps", "integer", "REQUIRED", "last delivery rate, bit/s"),
        ("bytes_acked", "integer", "REQUIRED", "bytes the peer acknowledged"),
        ("bytes_received", "integer", "REQUIRED", "bytes received"),
        ("congestion_control", "string", "REQUIRED", "congestion control algorithm"),
    ]),
    ("upload", "object", "NULLABLE", "uploads: warm-up samples and measurement intervals", [
        ("test_start_us", "integer", "NULLABLE",
         "the test's start (its first upload answered), unix microseconds: the samples' "
         "time_us count from it; null when it never started"),
        ("warmup_samples", "object", "REPEATED", "warm-up samples", SAMPLE),
        ("intervals", "object", "REPEATED", "measurement intervals", SAMPLE),
        ("result_bps", "number", "NULLABLE", "the measured result, bit/s"),
    ]),
    ("latency", "object", "NULLABLE", "latency sessions: TCP_INFO samples per connection", [
        ("connections", "object", "REPEATED", "one per connection slot", [
            ("samples", "object", "REPEATED", "samples in the order taken", LATENCY_SAMPLE),
        ]),
    ]),
    ("session_log", "string", "NULLABLE", "name of the session's text log, if it has one"),
]


def json_type(field, nullable_as_null=False):
    name, kind, mode, description = field[:4]
    if kind == "object":
        schema = {
            "type": "object",
            "additionalProperties": False,
            "required": [child[0] for child in field[4]],
            "properties": {child[0]: json_type(child) for child in field[4]},
        }
    elif kind == "map":
        schema = {"type": "object", "additionalProperties": {"type": "string"}}
    elif kind == "timestamp":
        schema = {"type": "string",
                  "pattern": r"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z$"}
    else:
        schema = {"type": kind}
    if mode == "REPEATED":
        schema = {"type": "array", "items": schema}
    elif mode == "NULLABLE":
        schema = {"type": "null"} if nullable_as_null else {"anyOf": [schema, {"type": "null"}]}
    return {"description": description, **schema}


def kind_schema(kind):
    properties = {}
    for field in FIELDS:
        name = field[0]
        owner = KIND_ONLY.get(name)
        # A nested member of another kind is always null (an upload without a unit id has
        # none of its own either).
        if owner is not None and owner != kind:
            schema = json_type(field, nullable_as_null=True)
        elif name == "measured_bps" and kind != "upload":
            schema = json_type(field, nullable_as_null=True)
        else:
            schema = json_type(field)
        properties[name] = schema
    properties["kind"] = {**properties["kind"], "const": kind}
    properties["schema_version"] = {**properties["schema_version"], "const": 1}
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$id": f"varnholt-httpd/archive/{kind}.schema.json",
        "title": f"Archive record of a {kind} test (version 1)",
        "type": "object",
        "additionalProperties": False,
        "required": [field[0] for field in FIELDS],
        "properties": properties,
    }


BIGQUERY_TYPES = {"integer": "INTEGER", "number": "FLOAT", "string": "STRING",
                  "timestamp": "TIMESTAMP", "object": "RECORD", "map": "JSON"}


def bigquery_field(field):
    name, kind, mode, description = field[:4]
    column = {"name": name, "type": BIGQUERY_TYPES[kind], "mode": mode,
              "description": description}
    if kind == "object":
        column["fields"] = [bigquery_field(child) for child in field[4]]
    return column


def outputs():
    files = {f"{kind}.schema.json": kind_schema(kind) for kind in KINDS}
    files["bigquery.json"] = [bigquery_field(field) for field in FIELDS]
    return {name: json.dumps(value, indent=2) + "\n" for name, value in files.items()}


def main(argv):
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        print(__doc__, file=sys.stderr)
        return 2
    stale = []
    for name, text in outputs().items():
        path = os.path.join(SCHEMA_DIR, name)
        try:
            with open(path, encoding="utf-8") as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current == text:
            continue
        if check:
            stale.append(name)
            continue
        os.makedirs(SCHEMA_DIR, exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        print(f"wrote schema/{name}")
    if stale:
        print("schema files not up to date (run tools/archive_schema.py): " + ", ".join(stale),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

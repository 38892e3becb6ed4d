#!/usr/bin/env python3
"""How exact the figures are on emulated lines: each one beside what the line delivered.

    bench/accuracy.py --build DIR --file PAYLOAD [--cases all|quick|NAME,...] [--out FILE]

Run by bench/accuracy.sh (which builds and installs what is needed), as root. For every case
it puts varnholt-pathemu between two network namespaces (client and server), starts the server
in one, and runs from the other: uploads of 1 and 4 connections (the server's figure),
downloads of 1 and 4 connections (the client's steady-state and whole-test figures) and a
latency test (idle and loaded round trips). Every figure is set beside the TCP payload the
emulator itself delivered for the first time (retransmissions of data already through are
not counted) in the direction of the load during the seconds the figure covers (its counts
every 100 ms, interpolated at the window's edges), so the ratio says how well the figure
tells what the line carried, whatever TCP made of the line.
"""
import argparse
import glob
import json
import os
import signal
import subprocess
import sys
import time

NS_CLIENT, NS_SERVER = "vhacc-client", "vhacc-server"
ADDR_SERVER = "10.77.0.2"
PORT = 8080
STATS_INTERVAL_US = 100000
BUFFERS = "4096 131072 67108864"


class Case:
    def __init__(self, down, up, rtt, queue, loss=0.0):
        self.down, self.up, self.rtt, self.queue, self.loss = down, up, rtt, queue, loss

    @property
    def name(self):
        text = f"{self.down}/{self.up}-rtt{self.rtt}-q{self.queue}"
        return text + (f"-loss{self.loss}" if self.loss else "")

    def line(self, rate):
        text = f"{rate}mbit,{self.queue}ms,{self.rtt / 2:g}ms"
        return text + (f",{self.loss}%" if self.loss else "")

    @property
    def duration(self):
        # Long round trips need longer for slow start to end and the steady state to show: the
        # client's warm-up may take up to its most samples, 10 s.
        return 30 if self.rtt >= 600 else 20 if self.rtt >= 150 else 10


def all_cases():
    cases = []
    for down, up in ((10, 2), (100, 20), (500, 50)):
        for rtt in (0, 40, 150) + ((600,) if down == 10 else ()):
            for queue in (20, 200):
                cases.append(Case(down, up, rtt, queue))
    cases.append(Case(100, 20, 40, 200, loss=0.1))
    return cases


def quick_cases():
    return [Case(100, 20, 40, 200)]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def in_ns(ns, cmd):
    return ["ip", "netns", "exec", ns] + cmd


class Stats:
    """The emulator's counts: per direction, (unix_us, goodput, pkts, qdelay_ms, drops)."""

    def __init__(self, path):
        self.path = path

    def rows(self, direction):
        out = []
        with open(self.path) as f:
            for line in f:
                fields = dict(p.split("=", 1) for p in line.split())
                if fields.get("dir") != direction:
                    continue
                out.append((int(fields["unix_us"]), int(fields["goodput"]), int(fields["pkts"]),
                            float(fields["qdelay_ms"]),
                            int(fields["qdrops"]) + int(fields["lossdrops"])))
        return out

    def goodput(self, direction, a_us, b_us):
        """TCP payload delivered for the first time between a_us and b_us, in bit/s (linear
        within an interval)."""
        total = 0.0
        for start, payload, _, _, _ in self.rows(direction):
            end = start + STATS_INTERVAL_US
            overlap = min(end, b_us) - max(start, a_us)
            if overlap > 0:
                total += payload * overlap / STATS_INTERVAL_US
        return total * 8 / ((b_us - a_us) / 1e6) if b_us > a_us else None

    def queue_delay_ms(self, direction, a_us, b_us):
        """Mean time the packets delivered between a_us and b_us waited in the queue."""
        pkts = weighted = 0.0
        for start, _, n, qdelay, _ in self.rows(direction):
            if a_us <= start and start + STATS_INTERVAL_US <= b_us:
                pkts += n
                weighted += n * qdelay
        return weighted / pkts if pkts else None


class Line:
    """The emulator and the server for one case; torn down by stop()."""

    def __init__(self, case, args, work):
        self.case, self.args, self.work = case, args, work
        self.stats = Stats(os.path.join(work, "stats"))
        self.archive = os.path.join(work, "archive")
        os.makedirs(self.archive, exist_ok=True)
        os.makedirs(os.path.join(work, "logs"), exist_ok=True)
        self.emu = subprocess.Popen(
            [os.path.join(args.build, "tools/pathemu/varnholt-pathemu"),
             "--ns-a", NS_CLIENT, "--ns-b", NS_SERVER,
             "--down", case.line(case.down), "--up", case.line(case.up),
             "--stats", self.stats.path, "--stats-interval", "100ms"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        ready = self.emu.stdout.readline()
        if "ready" not in ready:
            raise RuntimeError("the emulator did not start: " + ready + self.emu.stdout.read())
        for ns in (NS_CLIENT, NS_SERVER):
            run(in_ns(ns, ["sysctl", "-q", "-w", f"net.ipv4.tcp_rmem={BUFFERS}",
                           f"net.ipv4.tcp_wmem={BUFFERS}"]))
        self.server = subprocess.Popen(
            in_ns(NS_SERVER, [os.path.join(args.build, "varnholt-httpd"),
                              "--service", str(PORT), "--file", args.file,
                              "--log-directory", os.path.join(work, "logs"),
                              "--archive-dir", self.archive]),
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "server.err"), "w"))
        for _ in range(100):
            probe = subprocess.run(in_ns(NS_CLIENT, ["bash", "-c",
                                                     f"exec 3<>/dev/tcp/{ADDR_SERVER}/{PORT}"]),
                                   capture_output=True)
            if probe.returncode == 0:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("the server did not listen")
        self.seen = set()

    def client(self, name, *test_args):
        cmd = in_ns(NS_CLIENT, [os.path.join(self.args.build, "varnholt-client"), *test_args,
                                "--json", f"{ADDR_SERVER}:{PORT}"])
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=180)
        if done.returncode != 0:
            raise RuntimeError(" ".join(test_args) + ": " + done.stdout[-500:] + done.stderr[-500:])
        time.sleep(0.5)  # the emulator's counts of the last interval are written
        with open(os.path.join(self.work, name + ".json"), "w") as f:
            f.write(done.stdout)
        return json.loads(done.stdout)

    def new_records(self, kind):
        records = []
        for path in sorted(glob.glob(os.path.join(self.archive, kind, "*/*/*/*.json"))):
            if path not in self.seen:
                self.seen.add(path)
                with open(path) as f:
                    records.append(json.load(f))
        return records

    def stop(self):
        for proc in (self.server, self.emu):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def upload_figure(line, conns):
    line.client(f"upload-{conns}", "upload", "-c", str(conns))
    # The record is written when the session ends, once its connections have closed.
    records = []
    for _ in range(100):
        records = line.new_records("upload")
        if records:
            break
        time.sleep(0.1)
    if len(records) != 1:
        raise RuntimeError(f"expected one upload record, found {len(records)}")
    rec = records[0]
    detail = rec["upload"]
    start = detail["test_start_us"]
    warm = max((s["time_us"] for s in detail["warmup_samples"]), default=0)
    last = max(s["time_us"] for s in detail["intervals"])
    delivered = line.stats.goodput("up", start + warm, start + last)
    return {"figure": rec["measured_bps"], "delivered": delivered, "warmup_s": warm / 1e6}


def download_figures(line, conns, duration):
    doc = line.client(f"download-{conns}", "download", "-c", str(conns), "-d", str(duration))
    first = doc["first_reply_unix_us"]
    whole_end = first + doc["seconds"] * 1e6
    steady = doc["steady_state"]
    out = {"whole": doc["bits_per_second"],
           "whole_delivered": line.stats.goodput("down", first, whole_end),
           "steady": steady["bits_per_second"], "steady_delivered": None,
           "warmup_s": steady["warmup_seconds"], "at_max": steady["warmup_at_max"]}
    if steady["bits_per_second"] is not None:
        a = first + steady["warmup_seconds"] * 1e6
        out["steady_delivered"] = line.stats.goodput("down", a, a + steady["seconds"] * 1e6)
    return out


def latency_figures(line, duration):
    doc = line.client("latency", "latency", "-c", "4", "-d", str(duration))
    load = doc["download"]
    first = load["first_reply_unix_us"]
    # The queue's own delay over the load's middle: from 2 s in, when the queue has filled.
    queue = line.stats.queue_delay_ms("down", first + 2e6, first + load["seconds"] * 1e6)
    return {"idle_ms": doc["rtt_idle"]["median_us"] / 1e3,
            "loaded_ms": doc["rtt_under_load"]["median_us"] / 1e3,
            "queue_ms": queue}


def run_case(case, args):
    work = os.path.join(args.work, case.name)
    subprocess.run(["rm", "-rf", work], check=True)
    os.makedirs(work)
    line = Line(case, args, work)
    try:
        result = {"case": case.name}
        for conns in (1, 4):
            result[f"up{conns}"] = upload_figure(line, conns)
        for conns in (1, 4):
            result[f"down{conns}"] = download_figures(line, conns, case.duration)
        result["latency"] = latency_figures(line, case.duration)
        return result
    finally:
        line.stop()


def mbit(v):
    return "-" if v is None else f"{v / 1e6:.2f}"


def ratio(figure, delivered):
    if figure is None or not delivered:
        return None
    return figure / delivered


def cell(figure, delivered):
    r = ratio(figure, delivered)
    return f"{mbit(figure)} / {mbit(delivered)} = **{r * 100:.1f} %**" if r else "-"


def table(cases, results):
    lines = [
        "| line (Mbit/s) | RTT ms | queue ms | upload 1 conn: server / delivered "
        "| upload 4 | download 1: steady / delivered | download 1: whole / delivered "
        "| download 4: steady | download 4: whole | idle / loaded RTT (queue) ms |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for case in cases:
        r = results.get(case.name)
        head = f"| {case.down}/{case.up}" + (f", {case.loss} % loss" if case.loss else "")
        head += f" | {case.rtt} | {case.queue} "
        if r is None or "error" in r:
            lines.append(head + "| " + (r or {}).get("error", "not run")[:120] + " |" * 7)
            continue
        lat = r["latency"]
        queue = "-" if lat["queue_ms"] is None else f"{lat['queue_ms']:.1f}"
        cells = [cell(r["up1"]["figure"], r["up1"]["delivered"]),
                 cell(r["up4"]["figure"], r["up4"]["delivered"])]
        for conns in (1, 4):
            d = r[f"down{conns}"]
            steady = cell(d["steady"], d["steady_delivered"])
            if d["at_max"]:
                steady += " (warm-up at its maximum)"
            cells += [steady, cell(d["whole"], d["whole_delivered"])]
        cells.append(f"{lat['idle_ms']:.1f} / {lat['loaded_ms']:.1f} ({queue})")
        lines.append(head + "| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def misses(cases, results):
    """The figures outside 97-101 % of what was delivered (cases without loss)."""
    out = []
    for case in cases:
        r = results.get(case.name)
        if r is None or "error" in r:
            out.append(f"{case.name}: not measured")
            continue
        checks = [("upload 1", r["up1"]["figure"], r["up1"]["delivered"]),
                  ("upload 4", r["up4"]["figure"], r["up4"]["delivered"]),
                  ("download 1 steady", r["down1"]["steady"], r["down1"]["steady_delivered"]),
                  ("download 4 steady", r["down4"]["steady"], r["down4"]["steady_delivered"])]
        for what, figure, delivered in checks:
            q = ratio(figure, delivered)
            if q is None or not 0.97 <= q <= 1.01:
                out.append(f"{case.name}: {what} " + ("none" if q is None else f"{q * 100:.1f} %"))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--file", required=True)
    ap.add_argument("--work", default="/tmp/vh-accuracy")
    ap.add_argument("--cases", default="all")
    ap.add_argument("--out")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.cases == "all":
        cases = all_cases()
    elif args.cases == "quick":
        cases = quick_cases()
    else:
        wanted = args.cases.split(",")
        cases = [c for c in all_cases() if c.name in wanted]
    results = {}
    for case in cases:
        began = time.time()
        try:
            results[case.name] = run_case(case, args)
        except (RuntimeError, subprocess.SubprocessError, KeyError, ValueError, OSError) as e:
            results[case.name] = {"case": case.name, "error": str(e).replace("\n", " ")}
        print(f"{case.name}: {time.time() - began:.0f} s", file=sys.stderr, flush=True)
        print(json.dumps(results[case.name]), file=sys.stderr, flush=True)
    text = table(cases, results)
    missed = misses(cases, results)
    text += "\n\nOutside 97-101 % of the delivered goodput: " + (
        "none" if not missed else "; ".join(missed)) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
            json.dump(results, f)
            f.write("\n")


if __name__ == "__main__":
    main()

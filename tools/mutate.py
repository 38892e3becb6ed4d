#!/usr/bin/env python3
"""Measures what the test suite guards: applies one small fault at a time to the server's and
the client's sources, rebuilds incrementally, runs the test tiers and reports which faults the
tests caught (killed), which they let through (survived) and which made them hang (timed out).

    tools/mutate.py [--seed 1] [--count 60] [--build build-mutate] [--labels unit,worker,threaded,process]
                    [--timeout 900] [--jobs 1] [--list] [--save-sample FILE] [--sample FILE]
                    [--out FILE] [--only FILE.cpp,...] [--resume LOG]

A draw is fixed by the seed and keyed by the sites' text, not their places: every site is
ranked by a hash of the seed, its file's path and its line's text before and after the
change. Each source file gets its best-ranked site, then the best-ranked of all the rest
fill the count. So a sample stays what it was as the code grows: a new file adds its own
site and displaces at most the last of the rest; edits elsewhere in a file, or lines
moving, change nothing; only a mutated line that was itself rewritten leaves the sample.
A mutant that does not compile (warnings are errors) is replaced by its file's next-ranked
site. --save-sample writes the draw (file, line, kind, the line before and after): with
--list the draw as drawn, after a run the mutants it judged. --sample replays such a file:
each mutant is found again by its line's code (its comment and the text of its literals
aside), the nearest to where it was; one whose line is gone is reported and left out of the
share.

--jobs N runs N mutants at once, each in its own copy of the tree with its own build
directory (made once, then rebuilt incrementally), its tests on the CPUs divided among them.
The sources are restored after every mutant, also when the run is interrupted; the copies
are never the working tree.
"""
import argparse
import hashlib
import json
import os
import shutil
import threading
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ["src/http/src", "tools/client", "tools/token", "tools/pathemu"]

# (kind, pattern, replacement). Binary operators are matched with the spaces the formatter puts
# around them, which keeps templates, pointers and shifts out.
OPERATORS = [
    ("comparison flipped", r" == ", " != "),
    ("comparison flipped", r" != ", " == "),
    ("comparison flipped", r" < ", " >= "),
    ("comparison flipped", r" > ", " <= "),
    ("boundary moved", r" < ", " <= "),
    ("boundary moved", r" <= ", " < "),
    ("boundary moved", r" > ", " >= "),
    ("boundary moved", r" >= ", " > "),
    ("arithmetic swapped", r" \+ ", " - "),
    ("arithmetic swapped", r" - ", " + "),
    ("arithmetic swapped", r" \* ", " / "),
    ("logic swapped", r" && ", " || "),
    ("logic swapped", r" \|\| ", " && "),
]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL_STATEMENT = re.compile(r"^\s+[A-Za-z_][\w:]*(->|\.)?[\w]*\(.*\);\s*$")
EARLY_RETURN = re.compile(r"^\s+return\b.*;\s*$")
CONTROL_HEAD = re.compile(r"^\s*(if|else if|while|for)\b.*\)\s*$|^\s*else\s*$")


def code_part(line):
    """The line without its comment and with string and character literals blanked, so that
    no mutation lands inside them; None for lines that are not code."""
    stripped = line.strip()
    if not stripped or stripped.startswith(("//", "#", "*", "/*")):
        return None
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            out.append(" ")
            if c == "\\":
                out.append(" ")
                i += 2
                continue
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(" ")
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def candidates(path):
    """Every mutation site of one file: (line index, kind, new line)."""
    lines = open(path).read().split("\n")
    sites = []
    for n, line in enumerate(lines):
        code = code_part(line)
        if code is None or "static_assert" in code or "constexpr" in code and "[" in code:
            continue
        for kind, pattern, repl in OPERATORS:
            for m in re.finditer(pattern, code):
                sites.append((n, kind, line[: m.start()] + repl + line[m.end():]))
        for m in INTEGER.finditer(code):
            value = int(m.group(1))
            negated = code[: m.start()].rstrip().endswith("-")
            new = str(value + 1) if negated or value > 1 else "1" if value == 0 else "0"
            sites.append((n, "constant changed", line[: m.start()] + new + line[m.end():]))
        prev = lines[n - 1] if n > 0 else ""
        if EARLY_RETURN.match(line) and CONTROL_HEAD.match(prev):
            sites.append((n, "early return removed", re.sub(r"return\b.*;", ";", line)))
        elif CALL_STATEMENT.match(line) and not CONTROL_HEAD.match(prev):
            sites.append((n, "call removed", re.sub(r"\S.*;", ";", line, count=1)))
    return lines, sites


def lines_of(root, f):
    return open(os.path.join(root, f)).read().split("\n")


def neighbours(lines, n):
    """The code of the nearest code lines above and below line n: they tell apart the copies
    of a common line (`return -1;`) when a saved sample is replayed."""
    def near(step):
        i = n + step
        while 0 <= i < len(lines) and not (code_part(lines[i]) or "").strip():
            i += step
        return (code_part(lines[i]) or "").strip() if 0 <= i < len(lines) else ""
    return [near(-1), near(1)]


def describe(old, new):
    """The mutant in one line: the removed text, or the changed one."""
    old, new = old.strip(), new.strip()
    return old if new == ";" else new


class Mutant:
    # `lines`: its file's lines as they were read for the draw or the replay (shared, not copied).
    def __init__(self, f, n, kind, old, new, lines):
        self.file, self.n, self.kind, self.old, self.new = f, n, kind, old, new
        self.lines = lines

    def as_json(self):
        return json.dumps({"file": self.file, "line": self.n + 1, "kind": self.kind,
                           "before": self.old, "after": self.new,
                           "around": neighbours(self.lines, self.n)})

    def text(self):
        return describe(self.old, self.new)


def rank(seed, f, kind, old, new, occurrence):
    key = f"{seed}\0{f}\0{kind}\0{old.strip()}\0{new.strip()}\0{occurrence}"
    return hashlib.sha256(key.encode()).hexdigest()


def ranked_sites(f, seed):
    """A file's sites, best-ranked first."""
    lines, sites = candidates(os.path.join(ROOT, f))
    seen, keyed = {}, []
    for n, kind, new in sites:
        ident = (kind, lines[n].strip(), new.strip())
        seen[ident] = seen.get(ident, 0) + 1
        keyed.append((rank(seed, f, kind, lines[n], new, seen[ident]),
                      Mutant(f, n, kind, lines[n], new, lines)))
    keyed.sort(key=lambda k: k[0])
    return keyed


def sample(files, count, seed):
    """The draw: (first choice, the file's other sites in rank order to replace it) per mutant."""
    per_file = {f: ranked_sites(f, seed) for f in files}
    per_file = {f: s for f, s in per_file.items() if s}
    firsts = sorted(((s[0][0], f) for f, s in per_file.items()))[:count]
    plan = [f for _, f in firsts]
    rest = sorted((key, f, i) for f, s in per_file.items() for i, (key, _) in enumerate(s)
                  if i > 0 or f not in plan)
    for _, f, _ in rest[: count - len(plan)]:
        plan.append(f)
    # The k-th draw of a file takes its k-th site; a replacement its next unused one.
    return {f: [m for _, m in s] for f, s in per_file.items()}, plan


def source_files():
    return [os.path.join(d, name) for d in SOURCE_DIRS
            for name in sorted(os.listdir(os.path.join(ROOT, d))) if name.endswith(".cpp")]


def replay(path):
    """A saved sample, each mutant found again by its line's text."""
    mutants, gone = [], []
    for line in open(path):
        if not line.strip():
            continue
        d = json.loads(line)
        # In its file first, else wherever the line moved; indentation may have changed.
        found = None
        for f in [d["file"]] + [x for x in source_files() if x != d["file"]]:
            if not os.path.exists(os.path.join(ROOT, f)):
                continue
            lines = lines_of(ROOT, f)
            # The code alone: a comment rewritten on the line keeps the mutant.
            code = (code_part(d["before"]) or "").strip()
            places = [i for i, text in enumerate(lines) if (code_part(text) or "").strip() == code]
            if places:
                # The copy between the same neighbours as when it was drawn (samples saved
                # before their neighbours were, have none), else the nearest.
                around = d.get("around", [])
                n = min(places, key=lambda i: (-sum(a == b for a, b in
                                                    zip(neighbours(lines, i), around) if b),
                                               abs(i + 1 - d["line"])))
                found = (f, n, lines)
                break
        if found is None:
            gone.append(d)
            continue
        f, n, lines = found
        old = lines[n]
        indent = old[: len(old) - len(old.lstrip())]
        mutants.append(Mutant(f, n, d["kind"], old, indent + d["after"].lstrip(), lines))
    return mutants, gone


def run(cmd, timeout, log, cwd=ROOT):
    started = time.monotonic()
    with open(log, "a") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return "timeout", time.monotonic() - started
    return rc, time.monotonic() - started


def killers(failed_log):
    """The tests a run failed ("" when none is listed): which test owns a kill."""
    if not os.path.exists(failed_log):
        return ""
    return ",".join(line.strip().split(":", 1)[-1] for line in open(failed_log) if line.strip())


def make_slot(build, k):
    """A copy of the tree and its build directory for one job."""
    slot = os.path.join(build, f"slot{k}")
    tree, out = os.path.join(slot, "tree"), os.path.join(slot, "build")
    if os.path.exists(tree):
        shutil.rmtree(tree)
    # Copied with fresh times: the slot's build directory outlives its tree, and a source older
    # than the object its last mutant compiled would leave that mutant in every build.
    shutil.copytree(ROOT, tree, symlinks=True, copy_function=shutil.copy,
                    ignore=lambda d, names: [n for n in names
                                             if n.startswith("build") or n == ".git"]
                    if d == ROOT else [])
    os.makedirs(out, exist_ok=True)
    return tree, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--build", default="build-mutate")
    ap.add_argument("--labels", default="unit,worker,threaded,process")
    ap.add_argument("--timeout", type=int, default=900, help="seconds for one mutant's tests")
    ap.add_argument("--jobs", type=int, default=1, help="mutants judged at once")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--save-sample", default="", help="write the draw to this file")
    ap.add_argument("--sample", default="", help="judge the mutants of a saved draw")
    ap.add_argument("--only", default="", help="comma-separated file names to mutate")
    ap.add_argument("--out", default="")
    ap.add_argument("--resume", default="",
                    help="the output of an interrupted run of the same sample: its mutants are "
                         "counted as it judged them, and the run goes on after them")
    args = ap.parse_args()

    files = [f for f in source_files()
             if not args.only or os.path.basename(f) in args.only.split(",")]
    gone = []
    if args.sample:
        fixed, gone = replay(args.sample)
        per_file, plan = {}, []
        for m in fixed:
            per_file.setdefault(m.file, []).append(m)
            plan.append(m.file)
        replaceable = False
    else:
        per_file, plan = sample(files, args.count, args.seed)
        replaceable = True
    if args.list:
        cursor = {f: 0 for f in per_file}
        out = open(args.save_sample, "w") if args.save_sample else None
        for f in plan:
            m = per_file[f][cursor[f] % len(per_file[f])]
            cursor[f] += 1
            if args.list:
                print(f"{f}:{m.n + 1}: {m.kind}: {m.text()}")
            if out:
                out.write(m.as_json() + "\n")
        for d in gone:
            print(f"gone: {d['file']}:{d['line']}: {d['kind']}: {d['after']}")
        return 0

    build = os.path.join(ROOT, args.build)
    os.makedirs(build, exist_ok=True)
    log = os.path.join(build, "mutate.log")
    jobs = max(1, args.jobs)
    slots = [make_slot(build, k) for k in range(jobs)]
    label_regex = "^(" + "|".join(args.labels.split(",")) + ")$"
    cpus = str(max(1, (os.cpu_count() or 1) // jobs))

    def test_cmd(out):
        return ["ctest", "--test-dir", out, "-j", cpus, "-L", label_regex, "--stop-on-failure",
                "--timeout", "300"]

    for tree, out in slots:
        subprocess.run(["cmake", "-S", tree, "-B", out, "-G", "Ninja", "-DVH_HARDEN=OFF",
                        "-DVH_TEST_COST=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        if run(["cmake", "--build", out], 3600, log, tree)[0] != 0:
            print("the unmutated tree does not build: see " + log, file=sys.stderr)
            return 2
    if run(test_cmd(slots[0][1]), args.timeout, log, slots[0][0])[0] != 0:
        print("the unmutated tree fails its tests: see " + log, file=sys.stderr)
        return 2

    # "[i/n] outcome file:line kind: change (s)" lines of an earlier run of the same sample.
    done = {}
    if args.resume:
        pattern = re.compile(r"^\[(\d+)/\d+\] (killed|survived|timed out)\s+(\S+):(\d+) "
                             r"([^:]+): (.*) \((\d+) s\)")
        for line in open(args.resume):
            m = pattern.match(line.rstrip("\n"))
            if m:
                done[int(m.group(1))] = (m.group(2), m.group(3), int(m.group(4)), m.group(5),
                                         m.group(6), float(m.group(7)))
    lock = threading.Lock()
    cursor = {f: 0 for f in per_file}
    results = [None] * len(plan)
    queue = list(range(len(plan)))

    def next_site(f):
        with lock:
            if cursor[f] >= len(per_file[f]):
                return None
            m = per_file[f][cursor[f]]
            cursor[f] += 1
            return m

    sites = [None] * len(plan)

    def report(index, outcome, suffix="", site=None):
        with lock:
            results[index] = outcome
            sites[index] = site
            by = f" by {outcome[6]}" if len(outcome) > 6 and outcome[6] else ""
            print(f"[{index + 1}/{len(plan)}] {outcome[0]:9} {outcome[1]}:{outcome[2]} "
                  f"{outcome[3]}: {outcome[4]} ({outcome[5]:.0f} s){by}{suffix}", flush=True)

    def judge(tree, out, m):
        path = os.path.join(tree, m.file)
        original = open(path).read()
        lines = original.split("\n")
        try:
            with open(path, "w") as w:
                w.write("\n".join(lines[:m.n] + [m.new] + lines[m.n + 1:]))
            built, _ = run(["cmake", "--build", out], 900, log, tree)
            if built != 0:
                return None
            # The tests run in their listed order, the quick unit tests first: ctest would start
            # the last run's failures and its slowest tests first (its timings of the last run).
            failed = os.path.join(out, "Testing", "Temporary", "LastTestsFailed.log")
            for name in (failed, os.path.join(out, "Testing", "Temporary", "CTestCostData.txt")):
                if os.path.exists(name):
                    os.remove(name)
            rc, seconds = run(test_cmd(out), args.timeout, log, tree)
            return ("timed out" if rc == "timeout" else "killed" if rc != 0 else "survived",
                    m.file, m.n + 1, m.kind, m.text(), seconds, killers(failed))
        finally:
            with open(path, "w") as w:
                w.write(original)

    def worker(tree, out):
        while True:
            with lock:
                if not queue:
                    return
                index = queue.pop(0)
            f = plan[index]
            # Sites are claimed in plan order per file, so a draw is the same at any --jobs.
            m = next_site(f)
            if index + 1 in done:
                report(index, done[index + 1], f" (from {args.resume})")
                continue
            while m is not None:
                outcome = judge(tree, out, m)
                if outcome is not None:
                    report(index, outcome, site=m)
                    break
                m = next_site(f) if replaceable else None

    threads = [threading.Thread(target=worker, args=slot) for slot in slots]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    judged = [r for r in results if r is not None]
    counts = {k: sum(1 for r in judged if r[0] == k) for k in ("killed", "survived", "timed out")}
    total = len(judged)
    lines = [f"mutants: {total} (seed {args.seed}{', ' + args.sample if args.sample else ''}); "
             f"killed {counts['killed']}, survived {counts['survived']}, timed out "
             f"{counts['timed out']}; killed share "
             f"{(counts['killed'] + counts['timed out']) / max(total, 1):.2f}",
             "survivors:"]
    lines += [f"  {r[1]}:{r[2]} {r[3]}: {r[4]}" for r in judged if r[0] == "survived"]
    lines += [f"gone: {d['file']}:{d['line']} {d['kind']}: {d['after']}" for d in gone]
    report_text = "\n".join(lines)
    # The mutants judged (a site that did not compile replaced by the one judged instead):
    # what --sample replays.
    if args.save_sample:
        with open(args.save_sample, "w") as w:
            w.writelines(m.as_json() + "\n" for m in sites if m is not None)
    print(report_text)
    if args.out:
        with open(args.out, "w") as w:
            w.write(report_text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

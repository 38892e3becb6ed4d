#!/usr/bin/env python3
"""Measures what the test suite guards: applies one small fault at a time to the server's and
the client's sources, rebuilds incrementally, runs the test tiers and reports which faults the
tests caught (killed), which they let through (survived) and which made them hang (timed out).

    tools/mutate.py [--seed 1] [--count 60] [--build build-mutate] [--labels unit,worker,threaded,process]
                    [--timeout 900] [--list] [--out FILE] [--only FILE.cpp,...] [--resume LOG]

The sample is fixed by the seed: the same seed and sources give the same mutants. Every source
file gets at least one before the rest are drawn. A mutant that does not compile (warnings are
errors) is replaced by the next draw of the same file. The sources are restored after every
mutant, also when the run is interrupted.
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ["src/http/src", "tools/client"]

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


def lines_of(f):
    return open(os.path.join(ROOT, f)).read().split("\n")


def sample(files, count, seed):
    """A fixed draw: one site per file in turn, then the rest from all sites. Each file's sites
    come in a seeded order, so a replacement for a mutant that does not compile is the file's
    next one."""
    rng = random.Random(seed)
    per_file = {}
    for f in files:
        _, sites = candidates(os.path.join(ROOT, f))
        rng.shuffle(sites)
        if sites:
            per_file[f] = sites
    order = list(per_file)
    plan = [f for f in order][:count]
    while len(plan) < count:
        plan.append(rng.choice(order))
    return per_file, plan


def describe(old, new):
    """The mutant in one line: the removed text, or the changed one."""
    old, new = old.strip(), new.strip()
    return old if new == ";" else new


def run(cmd, timeout, log):
    started = time.monotonic()
    with open(log, "a") as out:
        proc = subprocess.Popen(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return "timeout", time.monotonic() - started
    return rc, time.monotonic() - started


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--build", default="build-mutate")
    ap.add_argument("--labels", default="unit,worker,threaded,process")
    ap.add_argument("--timeout", type=int, default=900, help="seconds for one mutant's tests")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--only", default="", help="comma-separated file names to mutate")
    ap.add_argument("--out", default="")
    ap.add_argument("--resume", default="",
                    help="the output of an interrupted run with the same seed: its mutants are "
                         "counted as it judged them, and the run goes on after them")
    args = ap.parse_args()

    files = []
    for d in SOURCE_DIRS:
        for name in sorted(os.listdir(os.path.join(ROOT, d))):
            if name.endswith(".cpp") and (not args.only or name in args.only.split(",")):
                files.append(os.path.join(d, name))
    per_file, plan = sample(files, args.count, args.seed)
    if args.list:
        cursor = {f: 0 for f in per_file}
        for f in plan:
            n, kind, new = per_file[f][cursor[f] % len(per_file[f])]
            cursor[f] += 1
            print(f"{f}:{n + 1}: {kind}: {describe(lines_of(f)[n], new)}")
        return 0

    build = os.path.join(ROOT, args.build)
    log = os.path.join(build, "mutate.log")
    os.makedirs(build, exist_ok=True)
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DVH_HARDEN=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    if subprocess.run(["cmake", "--build", build], cwd=ROOT).returncode != 0:
        print("the unmutated tree does not build", file=sys.stderr)
        return 2
    label_regex = "^(" + "|".join(args.labels.split(",")) + ")$"
    test_cmd = ["ctest", "--test-dir", build, "-j", str(os.cpu_count() or 1), "-L", label_regex,
                "--stop-on-failure", "--timeout", "300"]
    if run(test_cmd, args.timeout, log)[0] != 0:
        print("the unmutated tree fails its tests: see " + log, file=sys.stderr)
        return 2

    results = []
    cursor = {f: 0 for f in per_file}
    # "[i/n] outcome file:line kind: change (s)" lines of an earlier run of the same sample.
    done = {}
    if args.resume:
        pattern = re.compile(r"^\[(\d+)/\d+\] (killed|survived|timed out)\s+(\S+):(\d+) ([^:]+): (.*) \((\d+) s\)$")
        for line in open(args.resume):
            m = pattern.match(line.rstrip("\n"))
            if m:
                done[int(m.group(1))] = (m.group(2), m.group(3), int(m.group(4)), m.group(5),
                                         m.group(6), float(m.group(7)))
    for index, f in enumerate(plan):
        if index + 1 in done:
            outcome = done[index + 1]
            # Past the site it used, and past those that did not compile before it.
            while cursor[f] < len(per_file[f]) and per_file[f][cursor[f]][0] + 1 != outcome[2]:
                cursor[f] += 1
            cursor[f] += 1
            results.append(outcome)
            print(f"[{index + 1}/{len(plan)}] {outcome[0]:9} {f}:{outcome[2]} {outcome[3]}: "
                  f"{outcome[4]} ({outcome[5]:.0f} s) (from {args.resume})", flush=True)
            continue
        path = os.path.join(ROOT, f)
        original = open(path).read()
        lines = original.split("\n")
        outcome = None
        while cursor[f] < len(per_file[f]) and outcome is None:
            n, kind, new = per_file[f][cursor[f]]
            cursor[f] += 1
            mutated = lines[:n] + [new] + lines[n + 1:]
            try:
                with open(path, "w") as out:
                    out.write("\n".join(mutated))
                built, _ = run(["cmake", "--build", build], 900, log)
                if built != 0:
                    continue  # does not compile: the file's next site instead
                rc, seconds = run(test_cmd, args.timeout, log)
                outcome = ("timed out" if rc == "timeout" else "killed" if rc != 0 else "survived",
                           f, n + 1, kind, describe(lines[n], new), seconds)
            finally:
                with open(path, "w") as out:
                    out.write(original)
        if outcome is None:
            continue
        results.append(outcome)
        print(f"[{index + 1}/{len(plan)}] {outcome[0]:9} {f}:{outcome[2]} {outcome[3]}: "
              f"{outcome[4]} ({outcome[5]:.0f} s)", flush=True)
    subprocess.run(["cmake", "--build", build], cwd=ROOT, stdout=subprocess.DEVNULL)

    counts = {k: sum(1 for r in results if r[0] == k) for k in ("killed", "survived", "timed out")}
    total = len(results)
    lines = [f"mutants: {total} (seed {args.seed}); killed {counts['killed']}, "
             f"survived {counts['survived']}, timed out {counts['timed out']}; "
             f"killed share {(counts['killed'] + counts['timed out']) / max(total, 1):.2f}",
             "survivors:"]
    lines += [f"  {r[1]}:{r[2]} {r[3]}: {r[4]}" for r in results if r[0] == "survived"]
    report = "\n".join(lines)
    print(report)
    if args.out:
        with open(args.out, "w") as out:
            out.write(report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

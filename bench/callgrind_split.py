#!/usr/bin/env python3
"""Host instructions per payload byte of the bus-throughput paths, split between the two driver modules
and the platform, counted by valgrind's callgrind over the measured window only (zeroed at its start, dumped at its end) (repeatable, unlike CPU
time). Needs an unsanitized build (-DTARVEL_SANITIZE=OFF): valgrind does not run AddressSanitizer code.

usage: bench/callgrind_split.py BUILD_DIR [SCENARIO[:CANDIDATE] ...]   (default: throughput.full.tx throughput.full.rx)
A scenario runs its "defaults" candidate (a smoke run's short window) unless CANDIDATE names another
(fast.high.rx.pipe:seg_big).
"""
import glob
import os
import re
import subprocess
import sys
import tempfile


def bucket(obj):
    name = os.path.basename(obj)
    if name.startswith("tarvelport"):
        return "tarvelport"
    if name.startswith("tarvelpipe"):
        return "tarvelpipe"
    if name.startswith(("libc.", "libc-", "libstdc++", "libm.", "libgcc", "ld-linux")):
        return "C/C++ runtime"
    return "platform"


def self_cost_by_object(path):
    """Self instruction counts per object from a callgrind output file."""
    names, costs = {}, {}
    current = "?"
    skip_next = False
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            # An object's name is given once, at its first mention, which may be as a callee (cob=).
            m = re.match(r"^(c?ob)=\((\d+)\)(?: (.*))?$", line)
            if m:
                if m.group(3):
                    names[m.group(2)] = m.group(3)
                if m.group(1) == "ob":
                    current = names.get(m.group(2), "?")
                continue
            if line.startswith("ob="):
                current = line[3:]
                continue
            if line.startswith("calls="):
                skip_next = True  # the next cost line is the callee's inclusive cost
                continue
            if line and (line[0].isdigit() or line[0] in "+-*"):
                if skip_next:
                    skip_next = False
                    continue
                parts = line.split()
                if len(parts) >= 2:
                    costs[current] = costs.get(current, 0) + int(parts[1])
    return costs


def run(build, selection):
    scenario, _, candidate = selection.partition(":")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out.%p")
        cmd = ["valgrind", "--tool=callgrind", "--trace-children=yes",
               "--callgrind-out-file=" + out, os.path.join(build, "bench", "tarvelbench"),
               "--smoke", "--only", scenario, "--json", os.path.join(tmp, "figures.json")]
        if candidate:
            cmd += ["--candidate", candidate]
        p = subprocess.run(cmd, capture_output=True, text=True)
        m = re.search(r"callgrind window: (\d+) payload bytes", p.stderr)
        if not m:
            sys.exit("no measured window in the run of %s:\n%s" % (scenario, p.stderr[-2000:]))
        payload = int(m.group(1))
        totals = {}
        for path in glob.glob(os.path.join(tmp, "callgrind.out.*")):
            with open(path) as f:
                if "measured window" not in f.read(4096):
                    continue  # start-up and teardown
            for obj, cost in self_cost_by_object(path).items():
                totals[bucket(obj)] = totals.get(bucket(obj), 0) + cost
        return payload, totals


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    scenarios = sys.argv[2:] or ["throughput.full.tx", "throughput.full.rx"]
    for scenario in scenarios:
        payload, totals = run(build, scenario)
        total = sum(totals.values())
        print("%s: %d payload bytes in the window, %.0f instructions per byte" % (scenario, payload, total / max(payload, 1)))
        for name in ("tarvelport", "tarvelpipe", "platform", "C/C++ runtime"):
            cost = totals.get(name, 0)
            print("  %-14s %10.1f instr/byte  %5.1f%%" % (name, cost / max(payload, 1), 100.0 * cost / max(total, 1)))


if __name__ == "__main__":
    main()

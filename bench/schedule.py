"""Benchmark of the order the headless batch hands files out in, on skewed
folders: a few big scenes among many small ones, and a heavy-tailed spread
of sizes. Maya's time grows with a scene's size on the simulated Maya
(real waits: 20 ms an open plus 0.4 s per megabyte for the open and again
for the save), so a big scene that starts late keeps one worker busy long
after the others have finished.

For each folder and worker count it runs the batch and measures, from the
workers' events, the makespan (first file handed out to last file done,
Maya's start-up left out, as it is the same in any order) and each file's
time. It compares the makespan with the lower bound no order can beat,
max(total work / workers, biggest file), and with the window's order: the
same measured file times handed out in the window's order, each to the
first free worker (a replay, not a run).

Usage: python3 bench/schedule.py [--quick] [--jobs 2,4,8]
(bench/run builds the module first and runs it after the others.)
"""

import argparse
import heapq
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIM = os.path.join(ROOT, "sim")
MAYAPY = os.path.join(SIM, "bin", "mayapy")
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build-bench"))
sys.path[:0] = [SIM, BUILD]

import mayasim  # noqa: E402
import velmora  # noqa: E402
from table import write_table  # noqa: E402

COSTS = {"initialize": 1.0, "open": 0.02, "per_mb": 0.4}
GOAL = 1.1   # makespan / lower bound
MB = 1 << 20


def folders(quick):
    """(name, [(file name, bytes)]) in the window's order."""
    small = 60 if not quick else 24
    big = 6 * MB if not quick else 3 * MB
    smalls = [("s%03d.ma" % i, 40 << 10) for i in range(small)]
    rnd = random.Random(7)
    tail = [("h%03d.ma" % i, int(min(8 * MB, (20 << 10) * rnd.paretovariate(1.2))))
            for i in range(small)]
    scattered = list(smalls)
    for at, name in ((small // 3, "m1.ma"), (2 * small // 3, "m2.ma")):
        scattered.insert(at, (name, big))
    return [
        ("2 big, last", smalls + [("z1.ma", big), ("z2.ma", big)]),
        ("2 big, first", [("a1.ma", big), ("a2.ma", big)] + smalls),
        ("2 big, scattered", scattered),
        ("heavy tail", tail),
    ]


def make_folder(base, files):
    folder = os.path.join(base, "scenes")
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    for name, size in files:
        mayasim.write_scene(os.path.join(folder, name), pad=max(0, size - 400))
    return folder


def run(base, folder, jobs):
    """The batch's events: per file (start, end) on the controller's clock."""
    started, spans = {}, {}

    def on_event(event):
        now = time.monotonic()
        if event.get("event") == "worker" and event.get("state") == "busy":
            started[event["worker"]] = (event["detail"], now)
        elif event.get("event") == "file":
            source, t0 = started.pop(event["worker"])
            spans[source] = (t0, now)

    results = velmora.batch(folder, sources=("ma",), outputs=("mb",), jobs=jobs, mayapy=MAYAPY,
                            journal=os.path.join(base, "j%d-%f" % (jobs, time.time())),
                            progress=on_event)
    assert results["converted"] == results["total"] and not results["failed"], results["failed"]
    return spans


def window_replay(durations, jobs):
    """The makespan of the window's order: each file to the first free worker."""
    free = [0.0] * jobs
    for d in durations:
        heapq.heappush(free, heapq.heappop(free) + d)
    return max(free)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="smaller folders")
    p.add_argument("--jobs", default="2,4,8", help="worker counts, comma-separated")
    args, _ = p.parse_known_args(argv)   # bench/run passes the others' options too
    for what, value in COSTS.items():
        os.environ["MAYASIM_COST_" + what.upper()] = str(value)
    os.environ.setdefault("MAYASIM_PYTHON", sys.executable)
    jobs_list = [int(j) for j in args.jobs.split(",")]
    base = tempfile.mkdtemp(prefix="velmora-bench-schedule-")
    rows, worst = [], 0.0
    try:
        for name, files in folders(args.quick):
            for jobs in jobs_list:
                folder = make_folder(base, files)
                order = [os.path.join(folder, f) for f, _ in files]
                spans = run(base, folder, jobs)
                durations = [spans[s][1] - spans[s][0] for s in order]
                makespan = max(e for _, e in spans.values()) - min(s for s, _ in spans.values())
                bound = max(sum(durations) / jobs, max(durations))
                window = window_replay(durations, jobs)
                worst = max(worst, makespan / bound)
                rows.append((name, str(jobs), "%.1f s" % bound, "%.1f s" % makespan,
                             "%.3f" % (makespan / bound), "%.3f" % (window / bound)))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("\nBig scenes first: makespan against the lower bound max(work / workers, "
          "biggest file)\n")
    write_table(("folder", "workers", "lower bound", "makespan", "x bound",
                 "window's order x bound"), rows)
    print("\nWorst: %.3f x the lower bound (goal: %.2f or better)." % (worst, GOAL))
    return 0


if __name__ == "__main__":
    sys.exit(main())

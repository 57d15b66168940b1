"""batches(): listing background batches that ended, as the batches window
does twice a second. The batches are written out as a controller leaves
them (batch.json, status.json, a journal of N records and summary.json),
without running any; each figure is measured in a fresh interpreter, so
that what one process remembers of the batches is its own.

Usage: python3 bench/batches.py [--quick] [--batches N] [--files N]
(bench/run builds the module first and runs this.)
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build-bench"))
sys.path[:0] = [HERE]

from table import write_table  # noqa: E402

# Run in the child: the first call, then `rounds` more, timed each; and the
# floor, what any listing must do (the registry listed, three files of each
# batch asked for their identity).
CHILD = r"""
import json, os, sys, time
sys.path[:0] = [sys.argv[1], sys.argv[3]]
import velmora
rounds = int(sys.argv[2])
clock = time.perf_counter
start = clock(); first = velmora.batches(); first_time = clock() - start
steady = []
for _ in range(rounds):
    start = clock(); velmora.batches(); steady.append(clock() - start)
registry = os.path.join(os.environ["XDG_CACHE_HOME"], "velmora", "background")
floor = []
for _ in range(rounds):
    start = clock()
    for name in os.listdir(registry):
        folder = os.path.join(registry, name)
        for f in ("batch.json", "status.json", "batch.journal"):
            os.stat(os.path.join(folder, f))
    floor.append(clock() - start)
print(json.dumps({"count": len(first), "first": first_time, "steady": steady, "floor": floor}))
"""


def write_json(path, value):
    with open(path, "w") as f:
        json.dump(value, f)


def make_batch(registry, index, files, scenes):
    """One finished batch of `files` sources (every hundredth failed)."""
    batch_id = "20261208-%06d-%04x" % (index, index)
    folder = os.path.join(registry, batch_id)
    os.makedirs(folder)
    journal = os.path.join(folder, "batch.journal")
    sources = ["shot%05d.ma" % i for i in range(files)]
    choices = {"extensions": [".ma", ".mb", ".fbx"], "outputs": ["mb"], "preset": "Default",
               "recursive": True, "skip_existing": False}
    started = 1796700000.0 + index
    lines = [{"journal": "velmora-batch", "version": 1, "batch": "%012x" % index, "folder": scenes,
              "choices": choices, "sources": sources, "started": started},
             {"run": "start", "time": started}]
    failed = 0
    for i, name in enumerate(sources):
        bad = i % 100 == 99
        failed += bad
        lines.append({"source": i, "converted": not bad, "outputs": [] if bad else [name[:-3] + ".mb"],
                      "skipped": [], "failure": "Maya exited (exit code 1)" if bad else None})
    lines.append({"run": "end", "time": started + 600, "interrupted": False})
    with open(journal, "w") as f:
        f.write("".join(json.dumps(line) + "\n" for line in lines))
    write_json(os.path.join(folder, "batch.json"), {
        "velmora": "background-batch", "version": 1, "id": batch_id, "folder": scenes, "choices": choices,
        "jobs": 2, "timeout": None, "mayapy": "/usr/bin/mayapy", "journal": journal, "resume": False,
        "retry_failed": False, "started": started})
    write_json(os.path.join(folder, "status.json"), {
        "state": "finished", "total": files, "done": files, "converted": files - failed, "failed": failed,
        "eta": None, "updated": started + 600, "pid": 1, "ended": started + 600, "error": None})
    return folder


def summarise(folder, scenes):
    """summary.json as a controller that ended leaves it."""
    journal = os.path.join(folder, "batch.journal")
    records = [json.loads(line) for line in open(journal)]
    sources = records[0]["sources"]
    failed, outputs = [], []
    for r in records[2:-1]:
        if r["converted"]:
            outputs += [os.path.join(scenes, o) for o in r["outputs"]]
        else:
            failed.append([os.path.join(scenes, sources[r["source"]]), r["failure"]])
    info = os.stat(journal)
    write_json(os.path.join(folder, "summary.json"), {
        "velmora": "background-summary", "version": 1,
        "journal": [info.st_ino, info.st_mtime_ns, info.st_size], "open": False,
        "results": {"total": len(sources), "converted": len(outputs), "failed": failed, "skipped": [],
                    "outputs": outputs, "pending": [], "start_time": records[1]["time"],
                    "end_time": records[-1]["time"]}})


def measure(cache, rounds):
    env = dict(os.environ, XDG_CACHE_HOME=cache)
    out = subprocess.run([sys.executable, "-c", CHILD, BUILD, str(rounds), os.path.join(HERE, "stubs")], env=env,
                         stdout=subprocess.PIPE, check=True)
    return json.loads(out.stdout.decode())


def ms(seconds):
    return "%.2f ms" % (seconds * 1000)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="10 batches of 1,000 files")
    p.add_argument("--batches", type=int, default=50)
    p.add_argument("--files", type=int, default=10000)
    p.add_argument("--rounds", type=int, default=21)
    p.add_argument("--only", default="", help="(bench/run's option: runs unless 'batches' is left out)")
    args = p.parse_args()
    if args.only and "batches" not in args.only.split(","):
        return
    if args.quick:
        args.batches, args.files = 10, 1000
    tmp = tempfile.mkdtemp(prefix="velmora-bench-batches-")
    try:
        cache = os.path.join(tmp, "cache")
        registry = os.path.join(cache, "velmora", "background")
        scenes = os.path.join(tmp, "scenes")
        folders = [make_batch(registry, i, args.files, scenes) for i in range(args.batches)]
        bare = measure(cache, args.rounds)
        for folder in folders:
            summarise(folder, scenes)
        summarised = measure(cache, args.rounds)
    finally:
        shutil.rmtree(tmp, True)
    note = "%d finished batches of %d files" % (args.batches, args.files)
    steady = statistics.median(summarised["steady"])
    floor = statistics.median(summarised["floor"])
    rows = [
        ("batches(), again (steady refresh)", ms(steady), ms(floor), "%.2f" % (steady / floor),
         "<= 5 ms %s" % ("met" if steady <= 0.005 else "MISSED"),
         note + "; median of %d calls; floor: listdir + 3 stat per batch in Python" % args.rounds),
        ("batches(), first call, summaries", ms(summarised["first"]), "", "", "", "a new process: summary.json read"),
        ("batches(), first call, journals only", ms(bare["first"]), "", "", "",
         "a new process, no summary.json (a controller killed): every journal parsed once"),
        ("batches(), again, journals only", ms(statistics.median(bare["steady"])), "", "", "",
         "then remembered"),
    ]
    print("\n# batches(): %s\n" % note)
    write_table(("Figure", "velmora", "floor", "ratio", "goal", "note"), rows)


if __name__ == "__main__":
    main()

"""Benchmarks of velmora's own cost beside the floor set by the calls it is
required to make. Every figure is a ratio of two timings taken side by side
in this run, round after round (the order alternating), reported as the
median and the spread (lowest to highest) of the per-round ratios.

Maya is replaced by the no-cost stand-ins in bench/stubs, so the host's own
work (opening, saving, exporting, drawing) is out of every figure: what is
left is velmora, the standard library it must call, and the log file.

Usage: python3 bench/bench.py [--quick] [--only NAME,...]
(bench/run builds the module first and runs this.)
"""

import argparse
import gc
import io
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUBS = os.path.join(HERE, "stubs")
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build-bench"))
sys.path[:0] = [STUBS, BUILD]

import maya.cmds  # noqa: E402
import maya.mel  # noqa: E402
import velmora  # noqa: E402
from table import write_table  # noqa: E402

clock = time.perf_counter


# --- measuring --------------------------------------------------------------

def timed(run, prepare=None):
    """Seconds taken by run(); prepare() (untimed) goes first."""
    if prepare is not None:
        prepare()
    gc.collect()
    start = clock()
    run()
    return clock() - start


def side_by_side(rounds, subject, floor, extra=()):
    """Times subject and floor (each a (run, prepare) pair) `rounds` times,
    alternating which goes first. `extra` are more named pairs timed in the
    same rounds. Returns {name: [seconds per round]}."""
    pairs = [("subject", subject), ("floor", floor)] + list(extra)
    times = {name: [] for name, _ in pairs}
    for r in range(rounds):
        order = pairs if r % 2 == 0 else pairs[::-1]
        for name, (run, prepare) in order:
            times[name].append(timed(run, prepare))
    return times


def ratio_stats(num, den):
    ratios = sorted(a / b for a, b in zip(num, den))
    return statistics.median(ratios), ratios[0], ratios[-1]


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, subject, floor, ratio, goal, note=""):
        self.rows.append((figure, subject, floor, ratio, goal, note))

    def ratio_row(self, figure, times, unit, scale, goal, note="",
                  subject="subject", floor="floor"):
        med, lo, hi = ratio_stats(times[subject], times[floor])
        s = statistics.median(times[subject]) * scale
        f = statistics.median(times[floor]) * scale
        ok = "" if goal is None else ("met" if med <= goal else "MISSED")
        self.add(figure, "%.1f %s" % (s, unit), "%.1f %s" % (f, unit),
                 "%.3f (%.3f-%.3f)" % (med, lo, hi),
                 "" if goal is None else "<= %.2f %s" % (goal, ok), note)

    def show(self, out=sys.stdout):
        write_table(("Figure", "velmora", "floor", "ratio median (spread)", "goal", "note"), self.rows, out)


# --- the batch --------------------------------------------------------------

CONTROLS = ("out_ma", "out_mb", "out_fbx", "src_ma", "src_mb", "src_fbx",
            "recursive_check", "skip_existing_check")


def make_scene_folder(base, count, per_folder=100):
    """`count` empty .ma files in folders of `per_folder`: the stand-in host
    never reads them, only collect_files lists them."""
    folder = os.path.join(base, "scenes")
    for i in range(count):
        sub = os.path.join(folder, "set%02d" % (i // per_folder))
        if i % per_folder == 0:
            os.makedirs(sub)
        open(os.path.join(sub, "shot_%04d.ma" % i), "w").close()
    return folder


def converter(folder):
    """A converter with the controls' names the stand-in knows, as create_ui
    would leave it (the window itself is not needed)."""
    conv = velmora.Velmora()
    for name in CONTROLS:
        setattr(conv, name, name)
    conv.convert_btn = "convertBtn"
    conv.status_text = "statusText"
    conv.progress_bar = "progressBar"
    conv.fbx_preset = "fbxPreset"
    conv.source_folder = folder
    return conv


class Recorder(object):
    """Stands in for a module while a batch runs: every call made through it
    is recorded as (function, args, flags) and then made for real."""

    def __init__(self, target, events, wrap=None):
        self._target = target
        self._events = events
        self._wrap = wrap or {}

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if name in self._wrap:
            return self._wrap[name]
        if not callable(value):
            return value
        events = self._events

        def recorded(*args, **flags):
            events.append((value, args, flags))
            return value(*args, **flags)
        return recorded


class PrintTap(io.TextIOBase):
    """sys.stdout while recording: each printed line becomes one event."""

    def __init__(self, events):
        self.events = events
        self.pending = []

    def write(self, text):
        if text == "\n":
            self.events.append(("print", "".join(self.pending)))
            self.pending = []
        else:
            self.pending.append(text)
        return len(text)


def walk_through(*args):
    for _ in os.walk(*args):
        pass


def record_batch(folder):
    """The batch's calls, in order: the host's (cmds, mel), the standard
    library's it goes through (os, os.path, time) and the printed lines."""
    events = []
    saved = {n: getattr(velmora, n) for n in ("cmds", "mel", "os", "time")}
    conv = converter(folder)
    velmora.cmds = Recorder(maya.cmds, events)
    velmora.mel = Recorder(maya.mel, events)
    path = Recorder(os.path, events)

    def walk(*args):
        events.append((walk_through, args, {}))
        return os.walk(*args)
    velmora.os = Recorder(os, events, wrap={"path": path, "walk": walk})
    velmora.time = Recorder(time, events)
    stdout = sys.stdout
    sys.stdout = PrintTap(events)
    try:
        conv.start_conversion(False)
    finally:
        sys.stdout = stdout
        for n, v in saved.items():
            setattr(velmora, n, v)
    return events


def replay_program(events, log_path):
    """The floor: the same calls, made from a plain loop, and for each
    printed line the print and the append to the log file (open, write,
    flush, close, as the log is required to do). Returns three lists of
    (function, args, flags): everything, the calls only, the log only."""
    def log_line(line, text):
        print(line)
        with open(log_path, "a", encoding="utf-8") as f:
            f.write(text)
            f.flush()
    program, calls, logs = [], [], []
    for ev in events:
        if ev[0] == "print":
            step = (log_line, (ev[1], ev[1] + "\n"), {})
            logs.append(step)
        else:
            step = ev
            calls.append(step)
        program.append(step)
    return program, calls, logs


def replay(program):
    for function, args, flags in program:
        function(*args, **flags)


LOG_HEADER = "=== Velmora Log ===\n"


def bench_batch(table, work, rounds, files=1000):
    folder = make_scene_folder(work, files)
    log_path = os.path.join(work, "converter_log.txt")
    velmora.Velmora.LOG_FILE = log_path
    events = record_batch(folder)
    program, calls, logs = replay_program(events, log_path)
    sink = open(os.devnull, "w", encoding="utf-8")
    state = {}

    def fresh_converter():
        state["conv"] = converter(folder)   # truncates the log, writes its header

    def fresh_log():
        with open(log_path, "w", encoding="utf-8") as f:
            f.write(LOG_HEADER)

    stdout = sys.stdout
    sys.stdout = sink
    try:
        times = side_by_side(
            rounds,
            (lambda: state["conv"].start_conversion(False), fresh_converter),
            (lambda: replay(program), fresh_log),
            [("calls", (lambda: replay(calls), None)),
             ("log", (lambda: replay(logs), fresh_log))])
    finally:
        sys.stdout = stdout
        sink.close()
    n_calls = len(calls)
    n_lines = len(logs)
    table.ratio_row("1. batch, %d scenes -> mb+fbx" % files, times, "ms", 1e3, 1.05,
                    "floor replays %d calls + %d log lines" % (n_calls, n_lines))
    per = 1e6 / files
    total = statistics.median(times["subject"]) * per
    host = statistics.median(times["calls"]) * per
    log = statistics.median(times["log"]) * per
    own = [s - f for s, f in zip(times["subject"], times["floor"])]
    shares = sorted(o / s for o, s in zip(own, times["subject"]))
    table.add("2. per file: host calls", "%.1f us" % host, "", "", "",
              "%d calls per file" % (n_calls // files))
    table.add("2. per file: log I/O", "%.1f us" % log, "", "", "",
              "%d lines per file (print + open/write/flush/close)" % (n_lines // files))
    table.add("2. per file: velmora's own CPU", "%.1f us" % (statistics.median(own) * per), "",
              "", "", "batch minus floor")
    med = statistics.median(shares)
    table.add("2. per file: velmora's share", "%.1f %% of %.1f us" % (med * 100, total), "",
              "(%.1f-%.1f %%)" % (shares[0] * 100, shares[-1] * 100),
              "< 5 %% %s" % ("met" if med < 0.05 else "MISSED"))


# --- source listing -----------------------------------------------------------

SUFFIXES = (".ma", ".mb", ".fbx", ".MA", ".txt", ".ma.bak", ".Fbx", ".mel")


def make_tree(base, folders, per_folder):
    """folders x per_folder empty files, names of mixed case and suffix
    (three in eight are not scenes)."""
    top = os.path.join(base, "tree")
    os.mkdir(top)
    for d in range(folders):
        sub = os.path.join(top, "d%04d" % d)
        os.mkdir(sub)
        for i in range(per_folder):
            name = "%s_%04d%s" % ("Shot" if i % 3 == 0 else "shot", (i * 7919) % per_folder,
                                  SUFFIXES[i % len(SUFFIXES)])
            os.close(os.open(os.path.join(sub, name), os.O_CREAT | os.O_WRONLY, 0o644))
    return top


def bare_walk(top, extensions):
    """collect_files written directly in Python: the same walk, sort,
    lower-case suffix test and join, and nothing else."""
    suffixes = tuple(extensions)
    files = []
    for root, _dirs, names in os.walk(top):
        for name in sorted(names):
            if name.lower().endswith(suffixes):
                files.append(os.path.join(root, name))
    return files


def bare_listing(folder, extensions):
    suffixes = tuple(extensions)
    files = []
    for name in sorted(os.listdir(folder)):
        if name.lower().endswith(suffixes):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                files.append(path)
    return files


def bench_listing(table, work, rounds, folders, per_folder):
    top = make_tree(work, folders, per_folder)
    subs = [os.path.join(top, d) for d in sorted(os.listdir(top))]
    conv = converter(top)
    exts = [".ma", ".mb", ".fbx"]
    cmds = maya.cmds
    state = {}

    # The floor also makes the calls collect_files must make besides the
    # listing: the existence test of the folder and the four check boxes.
    def checks(folder):
        os.path.exists(folder)
        for name in ("src_ma", "src_mb", "src_fbx", "recursive_check"):
            cmds.checkBox(name, q=True, v=True)

    def module_walk():
        maya.cmds.CHECKED["recursive_check"] = True
        conv.source_folder = top
        state["got"] = conv.collect_files()

    def floor_walk():
        checks(top)
        state["want"] = bare_walk(top, exts)

    def module_flat():
        maya.cmds.CHECKED["recursive_check"] = False
        got = []
        for sub in subs:
            conv.source_folder = sub
            got.extend(conv.collect_files())
        state["got"] = got

    def floor_flat():
        want = []
        for sub in subs:
            checks(sub)
            want.extend(bare_listing(sub, exts))
        state["want"] = want

    try:
        for label, subject, floor in (
                ("recursive, one call", module_walk, floor_walk),
                ("not recursive, one call per folder", module_flat, floor_flat)):
            times = side_by_side(rounds, (subject, None), (floor, None))
            if state["got"] != state["want"]:
                raise SystemExit("collect_files and its floor disagree (%s)" % label)
            table.ratio_row("3. collect_files, %s" % label, times, "ms", 1e3, 1.05,
                            "%d files in %d folders, %d listed" % (
                                folders * per_folder, folders, len(state["got"])))
    finally:
        maya.cmds.CHECKED["recursive_check"] = True
        shutil.rmtree(top, True)


# --- output naming -------------------------------------------------------------

def bench_naming(table, work, rounds, inner=20):
    folder = os.path.join(work, "naming")
    os.mkdir(folder)
    target = os.path.join(folder, "Scene.mb")
    taken = [target] + [os.path.join(folder, "Scene_%03d.mb" % n) for n in range(1, 1000)]
    for path in taken:
        open(path, "w").close()
    conv = converter(folder)
    exists = os.path.exists
    fmt = "{}_{:03d}{}".format
    join = os.path.join

    def module():
        for _ in range(inner):
            conv.get_incremental_filename(target)

    def floor():
        for _ in range(inner):
            for path in taken:
                exists(path)

    # What the same search costs written in Python: the names built and
    # joined as well as tested (the floor above has them ready-made).
    def python():
        for _ in range(inner):
            directory = os.path.dirname(target)
            name, ext = os.path.splitext(os.path.basename(target))
            exists(target)
            for counter in range(1, 1000):
                exists(join(directory, fmt(name, counter, ext)))

    times = side_by_side(rounds, (module, None), (floor, None), [("python", (python, None))])
    table.ratio_row("4. get_incremental_filename, 999 copies", times, "ms", 1e3 / inner, 1.05,
                    "floor: 1,000 bare exists() on ready paths")
    table.ratio_row("4. ... against the search in plain Python", times, "ms", 1e3 / inner, None,
                    "names formatted and joined too", floor="python")
    shutil.rmtree(folder, True)


# --- import and memory --------------------------------------------------------------

def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([STUBS, BUILD])
    env.pop("PYTHONSTARTUP", None)
    return env


def bench_import(table, runs):
    env = child_env()
    # functools (for partial) is the one module velmora imports that a bare
    # interpreter has not loaded yet; Maya has. Its share is timed apart.
    timer = ("import time, sys; t = time.perf_counter(); import maya.cmds, maya.mel; "
             "u = time.perf_counter(); import functools; w = time.perf_counter(); "
             "%s; v = time.perf_counter(); sys.stdout.write('%%r %%r' %% (w - u, v - w))")
    whole = {"subject": [], "floor": []}
    own, functools_ = [], []
    for r in range(runs):
        for name, body in (("subject", "import velmora"), ("floor", "pass")):
            start = clock()
            out = subprocess.run([sys.executable, "-S", "-c", timer % body], env=env,
                                 stdout=subprocess.PIPE, check=True).stdout
            whole[name].append(clock() - start)
            if name == "subject":
                functools_.append(float(out.split()[0]))
                own.append(float(out.split()[1]))
    table.ratio_row("5. process that imports velmora", whole, "ms", 1e3, None,
                    "vs. one importing the stand-in maya modules and functools only; %d runs each" % runs)
    table.add("5. import velmora alone", "%.2f ms" % (statistics.median(own) * 1e3), "", "",
              "", "median inside the process; functools before it: %.2f ms"
              % (statistics.median(functools_) * 1e3))


MEMORY_CHILD = r"""
import gc, os, resource, sys, tempfile, tracemalloc
sys.argv = ["bench"]
sys.path.insert(0, %(here)r)
import bench
work = tempfile.mkdtemp(prefix="velmora-bench-mem-")
folder = bench.make_scene_folder(work, %(files)d)
bench.velmora.Velmora.LOG_FILE = os.path.join(work, "converter_log.txt")
sys.stdout = open(os.devnull, "w")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def batch():
    bench.converter(folder).start_conversion(False)
    gc.collect()

batch()                         # warm: caches, interned names, free lists
tracemalloc.start()
base_traced = tracemalloc.get_traced_memory()[0]
batch()
peak = tracemalloc.get_traced_memory()[1] - base_traced
tracemalloc.stop()
gc.collect()
rss0, blocks0, objects0 = rss(), sys.getallocatedblocks(), len(gc.get_objects())
for _ in range(%(batches)d):
    batch()
rss1, blocks1, objects1 = rss(), sys.getallocatedblocks(), len(gc.get_objects())
sys.stdout = sys.__stdout__
print(peak, rss1 - rss0, blocks1 - blocks0, objects1 - objects0,
      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def bench_memory(table, files=1000, batches=10):
    code = MEMORY_CHILD % {"here": HERE, "files": files, "batches": batches}
    out = subprocess.run([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE,
                         check=True).stdout.split()
    peak, rss_growth, blocks, objects, maxrss = (int(x) for x in out)
    table.add("5. peak memory of a %d-scene batch" % files, "%.0f kB" % (peak / 1024), "", "", "",
              "Python heap above the idle process (tracemalloc); process peak RSS %.1f MB"
              % (maxrss / 1024))
    table.add("5. growth over %d batches" % batches, "%+.0f kB RSS" % (rss_growth / 1024), "", "",
              "< 1 MB %s" % ("met" if rss_growth < 1 << 20 else "MISSED"),
              "%+d memory blocks, %+d gc objects" % (blocks, objects))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds, smaller trees")
    p.add_argument("--only", default="", help="comma-separated: batch,listing,naming,import,memory")
    args = p.parse_args(argv)
    only = set(filter(None, args.only.split(",")))
    table = Table()
    work = tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        quick = args.quick
        if not only or "batch" in only:
            bench_batch(table, work, 3 if quick else 11)
        if not only or "listing" in only:
            bench_listing(table, work, 3 if quick else 7, *((100, 100) if quick else (1000, 100)))
        if not only or "naming" in only:
            bench_naming(table, work, 3 if quick else 11)
        if not only or "import" in only:
            bench_import(table, 5 if quick else 40)
        if not only or "memory" in only:
            bench_memory(table, 200 if quick else 1000, 3 if quick else 10)
    finally:
        shutil.rmtree(work, True)
    table.show()


if __name__ == "__main__":
    main()

"""Benchmark of the headless batch (velmora.batch and its long-lived mayapy
workers) against the window's batch on the same simulated Maya, and against
one mayapy per file, the script users write by hand.

Maya's own work is given fixed costs (real waits, see sim/README.md):
start-up 2 s, open 50 ms, each save or export 20 ms. Every scene is a small
Maya ASCII file converted to .mb and .fbx, so a file costs 90 ms of Maya's
time wherever it is converted.

Usage: python3 bench/headless.py [--quick] [--files N] [--jobs 1,2,4,8]
       [--rounds N] [--sample N] [--only window,headless,perfile]
(bench/run builds the module first and runs bench.py, then this.)
"""

import argparse
import os
import platform
import resource
import shutil
import statistics
import subprocess
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

clock = time.perf_counter

# Seconds Maya takes for each step (the simulator waits them).
COSTS = {"initialize": 2.0, "open": 0.050, "save": 0.020, "export": 0.020}
OUTPUTS = ("mb", "fbx")
PER_FILE = COSTS["open"] + COSTS["save"] + COSTS["export"]   # .mb saved, .fbx exported
# Steady throughput N workers should reach, as a share of N windows'.
SCALING_GOAL = 0.9
CONTROLLER_CPU_GOAL = 1e-3   # seconds per file
PARTS = {"window", "headless", "perfile", "verify"}


# --- the scenes ---------------------------------------------------------------

def make_sources(base, count, per_folder=100):
    """`count` small Maya ASCII scenes in folders of `per_folder`."""
    folder = os.path.join(base, "sources")
    for i in range(count):
        sub = os.path.join(folder, "set%02d" % (i // per_folder))
        if i % per_folder == 0:
            os.makedirs(sub)
        mayasim.write_scene(os.path.join(sub, "shot_%04d.ma" % i), pmin=1, pmax=48 + i % 50,
                            nodes=("pCube1", ("persp", "camera"), "group%d" % i))
    return folder


def fresh_copy(sources, work, name):
    """A copy of the sources for one run (outputs land next to them)."""
    folder = os.path.join(work, name)
    shutil.copytree(sources, folder)
    return folder


def outputs_in(folder):
    return sorted(os.path.join(r, f) for r, _, fs in os.walk(folder) for f in fs
                  if f.endswith(tuple("." + o for o in OUTPUTS)))


def check_outputs(folder, files, label):
    found = len(outputs_in(folder))
    if found != files * len(OUTPUTS):
        raise SystemExit("%s wrote %d outputs, not %d" % (label, found, files * len(OUTPUTS)))


# --- the window's batch ---------------------------------------------------------

def converter_of(host):
    """The converter behind the open main window, and its Start button."""
    start = host.ui.find(kind="button", label="Start Conversion", window="velmoraWin")[0]
    return host.ui.control(start).state["command"].__self__, start


def window_batch(folder, work):
    """The window's batch on the in-process Maya with the same costs, driven
    as a user drives it (tools/convert.py): folder picked with "...", .ma
    sources only, .mb and .fbx outputs, Start pressed. Returns the seconds
    the batch took (the press of Start)."""
    host = mayasim.reset()
    host.costs.update(COSTS)
    velmora.Velmora.LOG_FILE = os.path.join(work, "converter_log.txt")
    host.file_dialog_answers.append([folder])
    stdout = sys.stdout
    sys.stdout = open(os.devnull, "w")
    try:
        velmora.show()
        conv, start = converter_of(host)
        host.press(host.ui.find(kind="button", label="...", window="velmoraWin")[0])
        cmds = velmora.cmds
        for fmt in ("ma", "mb", "fbx"):
            cmds.checkBox(getattr(conv, "src_" + fmt), e=True, v=fmt == "ma")
            cmds.checkBox(getattr(conv, "out_" + fmt), e=True, v=fmt in OUTPUTS)
        cmds.checkBox(conv.recursive_check, e=True, v=True)
        cmds.checkBox(conv.skip_existing_check, e=True, v=False)
        begin = clock()
        host.press(start)
        seconds = clock() - begin
        host.run_idle()
    finally:
        sys.stdout.close()
        sys.stdout = stdout
    mayasim.reset()
    return seconds


# --- the headless batch ---------------------------------------------------------

def worker_env():
    """The workers' environment: the simulator's costs, and this interpreter."""
    os.environ["MAYASIM_PYTHON"] = sys.executable
    for what, seconds in COSTS.items():
        os.environ["MAYASIM_COST_" + what.upper()] = repr(seconds)


class Events(object):
    """The progress callback: each event with the moment it arrived, and the
    CPU the callback itself took (taken out of the controller's)."""

    def __init__(self):
        self.seen = []
        self.cpu = 0.0

    def __call__(self, event):
        cpu = time.process_time()
        self.seen.append((clock(), event))
        self.cpu += time.process_time() - cpu


def headless_batch(folder, work, jobs, verify=True):
    """One velmora.batch run; returns its figures."""
    events = Events()
    journal = os.path.join(work, "batch-%d-%s.journal" % (jobs, verify))
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = time.process_time()
    begin = clock()
    results = velmora.batch(folder, sources=("ma",), outputs=OUTPUTS, jobs=jobs, mayapy=MAYAPY,
                            journal=journal, progress=events, verify=verify)
    end = clock()
    controller_cpu = time.process_time() - cpu - events.cpu
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    figures = steady_figures(events.seen, begin, end, jobs, results["total"])
    figures["cpu"] = controller_cpu
    figures["cpu_per_file"] = controller_cpu / results["total"]
    # The workers are the controller's children, reaped before it returns.
    figures["worker_cpu_per_file"] = (after.ru_utime + after.ru_stime - children.ru_utime
                                      - children.ru_stime) / results["total"]
    # No scene here fails; a failure is the batch's own, shown in the table.
    figures["converted"] = results["converted"]
    figures["failed"] = [os.path.basename(s) + ": " + why for s, why in results["failed"]]
    return figures


# A file longer than this between hand-out and record waited for the controller.
STALL_SECONDS = 1.0


def steady_figures(seen, begin, end, jobs, files):
    """Start-up and steady state from the events.

    The steady window opens when the last of the first `jobs` workers is
    ready and closes at the last hand-out: all through it every worker
    holds a file, waits for the controller, or is being replaced. Each file
    counts for the share of its hand-out-to-record interval that lies in
    the window, so files in flight at either end count in part."""
    started = {}        # worker -> moment it was started
    ready = {}          # worker -> (moment, start-up seen here, start-up in the event)
    handed = {}         # source -> moment handed out
    spans = []          # (handed out, recorded)
    for at, ev in seen:
        if ev["event"] == "worker" and ev["state"] == "starting":
            started[ev["worker"]] = at
        elif ev["event"] == "worker" and ev["state"] == "ready":
            ready[ev["worker"]] = (at, at - started[ev["worker"]], ev["detail"])
        elif ev["event"] == "worker" and ev["state"] == "busy":
            handed[ev["detail"]] = at
        elif ev["event"] == "file":
            spans.append((handed.pop(ev["source"]), at))
    first = [ready[w] for w in sorted(ready)[:jobs]]
    opens = max(at for at, _, _ in first)
    closes = max(h for h, _ in spans)
    done = sum(max(0.0, min(d, closes) - max(h, opens)) / (d - h) for h, d in spans)
    inside = sorted(d - h for h, d in spans if d > opens and h < closes) or [0.0]
    return {
        "jobs": jobs,
        "files": files,
        "all_ready": opens - begin,
        "startup": statistics.median(s for _, s, _ in first),
        "startup_reported": statistics.median(r for _, _, r in first),
        "replacements": len(ready) - jobs,
        "replacement_startup": [s for _, (_, s, _) in sorted(ready.items())[jobs:]],
        "steady_rate": done / (closes - opens) if closes > opens else float("nan"),
        "steady_seconds": closes - opens,
        "steady_files": done,
        "span": statistics.median(inside),
        "stalled": [t for t in inside if t > STALL_SECONDS],
        "whole": end - begin,
        "teardown": end - max(d for _, d in spans),
    }


# --- one mayapy per file ----------------------------------------------------------

HAND_SCRIPT = r"""
import os, sys
import maya.standalone
maya.standalone.initialize(name="python")
import maya.cmds as cmds
import maya.mel as mel
source = sys.argv[1]
base = os.path.splitext(source)[0]
cmds.file(source, open=True, force=True, prompt=False)
cmds.file(rename=base + ".mb")
cmds.file(save=True, type="mayaBinary")
cmds.loadPlugin("fbxmaya")
mel.eval('FBXExport -f "%s"' % (base + ".fbx").replace("\\", "\\\\").replace('"', '\\"'))
maya.standalone.uninitialize()
"""


def per_file_mayapy(folder, sample):
    """The first `sample` sources, one mayapy each, one after the other.
    Returns the seconds each took."""
    sources = [p for p in sorted(os.path.join(r, f) for r, _, fs in os.walk(folder) for f in fs)
               if p.endswith(".ma")][:sample]
    took = []
    for source in sources:
        begin = clock()
        subprocess.run([MAYAPY, "-c", HAND_SCRIPT, source], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        took.append(clock() - begin)
    return took


# --- the table ------------------------------------------------------------------------

class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, value, baseline="", ratio="", goal="", note=""):
        self.rows.append((figure, value, baseline, ratio, goal, note))

    def show(self, out=sys.stdout):
        write_table(("Figure", "velmora", "window", "ratio", "goal", "note"), self.rows, out)


def rate(value):
    return "%.2f files/s" % value


def minutes(seconds):
    return "%dm %04.1fs" % (seconds // 60, seconds % 60) if seconds >= 60 else "%.1f s" % seconds


def plural(n):
    return "%d worker%s" % (n, "" if n == 1 else "s")


def spread(values, fmt):
    """The median, and the lowest and highest when there are several."""
    values = sorted(values)
    text = fmt % statistics.median(values)
    if len(values) > 1:
        text += " (" + fmt % values[0] + "-" + fmt % values[-1] + ")"
    return text


def middle(rounds, key):
    """The round whose `key` is the median (the lower one of two)."""
    ordered = sorted(rounds, key=key)
    return ordered[(len(ordered) - 1) // 2]


# Workers of the verification's figure, and what it may cost them.
VERIFY_JOBS = 4
VERIFY_GOAL = 0.97


def verification_cost(sources, work, rounds):
    """Steady rates at VERIFY_JOBS workers with every output read back and
    compared, and with --no-verify, round after round in alternating order:
    [(with, without)]."""
    pairs = []
    for r in range(rounds):
        rates = {}
        for verify in ((True, False) if r % 2 == 0 else (False, True)):
            folder = fresh_copy(sources, work, "verify-%s" % verify)
            figures = headless_batch(folder, work, VERIFY_JOBS, verify)
            rates[verify] = figures["steady_rate"]
            shutil.rmtree(folder, True)
        pairs.append((rates[True], rates[False]))
    return pairs


def report_verification(table, pairs):
    shares = [on / off for on, off in pairs]
    share = statistics.median(shares)
    table.add("7. verification, %s: steady" % plural(VERIFY_JOBS),
              spread([on for on, _ in pairs], "%.2f") + " files/s",
              spread([off for _, off in pairs], "%.2f") + " files/s", spread(shares, "%.3f"),
              ">= %.2f %s" % (VERIFY_GOAL, "met" if share >= VERIFY_GOAL else "MISSED"),
              "every .mb output read back and compared with its source, against --no-verify "
              "(the baseline), %d rounds in alternating order" % len(pairs))


def report(table, files, windows, runs, hand):
    """windows: the window's batch's seconds per round; runs: {workers:
    [figures per round]} (each with the window's rate of its round as "base")."""
    base = statistics.median(files / seconds for seconds in windows) if windows else None
    if windows:
        seconds = statistics.median(windows)
        table.add("1. window's batch, %d scenes -> mb+fbx" % files,
                  spread([files / sec for sec in windows], "%.2f") + " files/s", rate(base), "1",
                  "", "%.1f ms per file (Maya's costs: %.0f ms); %s for the folder" % (
                      1e3 * seconds / files, PER_FILE * 1e3, minutes(seconds)))
    for n, rounds in sorted(runs.items()):
        shares = [r["steady_rate"] / (n * r["base"]) for r in rounds if r["base"]]
        r = middle(rounds, lambda r: r["steady_rate"])
        goal = ratio = ""
        if shares:
            share = statistics.median(shares)
            goal = ">= %.2f x %d %s" % (SCALING_GOAL, n, "met" if share >= SCALING_GOAL else "MISSED")
            ratio = "%s x %d" % (spread(shares, "%.3f"), n)
        note = "%.1f ms per file per worker; %.0f files in %.1f s after all were ready" % (
            1e3 * n / r["steady_rate"], r["steady_files"], r["steady_seconds"])
        if r["replacements"]:
            note += "; %d worker(s) started meanwhile (%.2f s each)" % (
                r["replacements"], statistics.median(r["replacement_startup"]))
        if r["stalled"]:
            note += "; %d file(s) waited for the controller (hand-out to record up to %.2f s, " \
                    "median %.0f ms)" % (len(r["stalled"]), max(r["stalled"]), 1e3 * r["span"])
        if r["failed"]:
            note += "; FAILED %d: %s" % (len(r["failed"]), "; ".join(r["failed"][:2]))
        others = sum(len(o["failed"]) for o in rounds) - len(r["failed"])
        if others:
            note += "; %d failed in the other rounds" % others
        table.add("2. batch, %s: steady" % plural(n), spread([o["steady_rate"] for o in rounds], "%.2f")
                  + " files/s", rate(base) if base else "", ratio, goal, note)
    for n, rounds in sorted(runs.items()):
        r = middle(rounds, lambda r: r["all_ready"])
        table.add("3. batch, %s: start-up" % plural(n), spread([o["all_ready"] for o in rounds], "%.2f")
                  + " s", "", "", "",
                  "call to all workers ready; a worker's own %.2f s (its ready event says %.2f s); "
                  "Maya's %.1f s" % (r["startup"], r["startup_reported"], COSTS["initialize"]))
    for n, rounds in sorted(runs.items()):
        r = middle(rounds, lambda r: r["whole"])
        whole = files / r["whole"]
        table.add("4. batch, %s: whole run" % plural(n), rate(whole), rate(base) if base else "",
                  "%.2f" % (whole / base) if base else "", "",
                  "%s from call to return, start-ups included; %.2f s from the last file to return"
                  % (minutes(r["whole"]), r["teardown"]))
    for n, rounds in sorted(runs.items()):
        cpu = statistics.median(o["cpu_per_file"] for o in rounds)
        ok = "met" if cpu < CONTROLLER_CPU_GOAL else "MISSED"
        table.add("5. controller CPU per file, %s" % plural(n),
                  spread([o["cpu_per_file"] * 1e3 for o in rounds], "%.3f") + " ms", "", "",
                  "< %.0f ms %s" % (CONTROLLER_CPU_GOAL * 1e3, ok),
                  "the calling process's CPU over the batch / %d files (progress callback's taken "
                  "out); the workers' %.1f ms per file, start-ups included" % (
                      files, 1e3 * statistics.median(o["worker_cpu_per_file"] for o in rounds)))
    if hand:
        each = statistics.median(hand)
        note = "%.2f s per file (median of %d, %.2f-%.2f); %d files: %s, extrapolated" % (
            each, len(hand), min(hand), max(hand), files, minutes(each * files))
        if 1 in runs:
            note += "; %.1f times the batch with 1 worker" % (
                each * files / statistics.median(o["whole"] for o in runs[1]))
        table.add("6. one mayapy per file, by hand", rate(1.0 / each), rate(base) if base else "",
                  "%.3f" % (1.0 / each / base) if base else "", "", note)
    table.add("   Maya's costs alone, one Maya", rate(1.0 / PER_FILE), "", "", "",
              "%.0f ms per file: open %.0f + save %.0f + export %.0f ms" % (
                  PER_FILE * 1e3, COSTS["open"] * 1e3, COSTS["save"] * 1e3, COSTS["export"] * 1e3))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="60 scenes and a sample of 5 for the per-file run")
    p.add_argument("--files", type=int, help="scenes in the folder (default 300)")
    p.add_argument("--jobs", default="1,2,4,8", help="worker counts, comma-separated")
    p.add_argument("--rounds", type=int, default=1,
                   help="rounds of the window's batch and the headless ones (default 1)")
    p.add_argument("--sample", type=int, help="files converted one mayapy each (default 20)")
    p.add_argument("--only", default="", help="comma-separated: " + ",".join(sorted(PARTS)))
    args = p.parse_args(argv)
    only = set(filter(None, args.only.split(",")))
    if only and not only & PARTS:
        return      # bench/run passes bench.py's parts here too: none of these
    files = args.files or (60 if args.quick else 300)
    sample = min(files, args.sample or (5 if args.quick else 20))
    jobs = [int(j) for j in args.jobs.split(",") if j.strip()]
    worker_env()
    work = tempfile.mkdtemp(prefix="velmora-bench-headless-")
    windows, runs, hand, verification = [], {}, None, None
    try:
        sources = make_sources(work, files)
        for r in range(args.rounds):
            base = None
            if not only or "window" in only:
                folder = fresh_copy(sources, work, "window")
                windows.append(window_batch(folder, work))
                base = files / windows[-1]
                check_outputs(folder, files, "the window's batch")
                shutil.rmtree(folder, True)
            if not only or "headless" in only:
                for n in (jobs if r % 2 == 0 else jobs[::-1]):
                    folder = fresh_copy(sources, work, "jobs%d" % n)
                    figures = headless_batch(folder, work, n)
                    figures["base"] = base
                    runs.setdefault(n, []).append(figures)
                    check_outputs(folder, figures["converted"], "the batch with %s" % plural(n))
                    shutil.rmtree(folder, True)
        if not only or "verify" in only:
            verification = verification_cost(sources, work, max(3, args.rounds))
        if not only or "perfile" in only:
            folder = fresh_copy(sources, work, "byhand")
            hand = per_file_mayapy(folder, sample)
            shutil.rmtree(folder, True)
    finally:
        shutil.rmtree(work, True)
    table = Table()
    report(table, files, windows, runs, hand)
    if verification:
        report_verification(table, verification)
    sys.stdout.write("Headless batch: %d scenes -> mb+fbx on the simulated Maya, %d round(s); "
                     "%s, %d CPUs, Python %s\n\n" % (files, args.rounds, platform.machine(),
                                                     os.cpu_count(), platform.python_version()))
    table.show()


if __name__ == "__main__":
    main()

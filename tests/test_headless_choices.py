"""Every choice of the batch's table (src/headless/choices.hpp), through
every entry point: a value besides its default, given to the command, to
velmora.batch, to start_batch and to a farm plan, is recorded in the
journal, reaches the worker with each file (the jobs a worker receives are
read off its socket), and is the same after a resume. A new row of the
table is covered here without a new test."""

import json
import os
import re
import shutil
import subprocess
import sys
import time

from headless_support import MAYAPY, HeadlessTestCase, journal_lines, velmora
from support import BUILD, ROOT, SIM
import farm_support
import mayasim

TABLE = os.path.join(ROOT, "src", "headless", "choices.hpp")
SCENES = ["a.mb", "sub/b.fbx"]   # both written as .ma by default
COMMAND = ("import sys; sys.path[:0] = [%r, %r]; import velmora; "
           "sys.exit(velmora.batch_main(sys.argv[1:]))" % (SIM, BUILD))

# Loaded first by every Python started with it on PYTHONPATH: a worker's
# socket copies each job it receives into $VELMORA_TEST_JOBS.
SPY = r'''
import os, socket
_LOG = os.environ.get("VELMORA_TEST_JOBS")
if _LOG:
    _connect = socket.create_connection

    class _Tee(object):
        def __init__(self, sock):
            self._sock = sock
            self._buffer = b""

        def recv(self, *args):
            data = self._sock.recv(*args)
            lines = (self._buffer + data).split(b"\n")
            self._buffer = lines.pop()
            with open(_LOG, "ab") as f:
                for line in lines:
                    if b'"convert"' in line:
                        f.write(line + b"\n")
            return data

        def __getattr__(self, name):
            return getattr(self._sock, name)

    def create_connection(*args, **kwargs):
        return _Tee(_connect(*args, **kwargs))

    socket.create_connection = create_connection
'''


def table_rows():
    """The rows of kOptions as dicts: keyword, type, flag, inverted,
    allowed, record, worker, takers, example (its default comes from
    batch()'s signature, which the table makes)."""
    with open(TABLE, encoding="utf-8") as f:
        text = f.read()
    constants = dict(re.findall(r'constexpr const char (\w+)\[\] = "([^"]*)";', text))
    body = text[text.index("constexpr Option kOptions[] = {"):]
    body = body[:body.index("\n};")]
    rows = []
    for chunk in body.split("Option::make(")[1:]:
        keyword, place, kind = re.match(r'"(\w+)", (\d+), Type::(\w+)\)', chunk).groups()
        flag = re.search(r'\.(command|turned_off_by)\("(--[\w-]+)"', chunk)
        allowed = re.search(r'\.out_of\((\w+|"[^"]*")\)', chunk)
        allowed = allowed and (allowed.group(1).strip('"') if allowed.group(1).startswith('"')
                               else constants[allowed.group(1)])
        record = re.search(r'\.recorded_as\("(\w+)"', chunk)
        example = re.search(r'\.checked\(\w+, "[^"]*", "([^"]*)"\)', chunk)
        takers = re.search(r'\.taken_by\((\w+)\)', chunk)
        rows.append({"keyword": keyword, "place": int(place), "type": kind,
                     "flag": flag and flag.group(2), "inverted": bool(flag and flag.group(1) == "turned_off_by"),
                     "allowed": allowed.split(",") if allowed else None,
                     "record": record and record.group(1), "worker": ".for_the_worker()" in chunk,
                     "takers": takers.group(1) if takers else "kBatch",
                     "example": example and example.group(1)})
    return rows


def signature_defaults(function):
    """{keyword: default} of a built-in's text signature, in order."""
    import ast
    node = ast.parse("def f%s: pass" % function.__text_signature__).body[0]
    names = [a.arg for a in node.args.args]
    values = [ast.literal_eval(d) for d in node.args.defaults]
    return dict(zip(names[len(names) - len(values):], values))


def choices_rows():
    defaults = signature_defaults(velmora.batch)
    rows = [dict(r, default=defaults[r["keyword"]]) for r in table_rows()]
    return [r for r in rows if r["record"]]


def normalized(value, root):
    if isinstance(value, str):
        return value.replace(root, "ROOT")
    if isinstance(value, list):
        return [normalized(v, root) for v in value]
    if isinstance(value, dict):
        return {k: normalized(v, root) for k, v in value.items()}
    return value


class Table(HeadlessTestCase):
    def test_the_table_is_what_the_functions_take(self):
        rows = table_rows()
        batch = signature_defaults(velmora.batch)
        self.assertEqual([r["keyword"] for r in sorted(rows, key=lambda r: r["place"])], list(batch))
        start = signature_defaults(velmora.start_batch)
        self.assertEqual([r["keyword"] for r in sorted(rows, key=lambda r: r["place"]) if r["takers"] == "kBoth"],
                         list(start))
        # Every choice can be given everywhere a batch is started.
        for row in choices_rows():
            self.assertEqual((row["takers"], bool(row["flag"])), ("kBoth", True), row["keyword"])


class EveryChoice(HeadlessTestCase):
    """One run per choice and entry point, jobs=1, two scenes."""

    def setUp(self):
        super().setUp()
        spy = self.path("spy")
        os.makedirs(spy)
        with open(os.path.join(spy, "sitecustomize.py"), "w") as f:
            f.write(SPY)
        self.spy = spy
        self.jobs_file = self.path("jobs.jsonl")
        self.setenv("VELMORA_TEST_JOBS", self.jobs_file)
        self.setenv("PYTHONPATH", spy + os.pathsep + os.environ.get("PYTHONPATH", ""))
        self.setenv("XDG_CACHE_HOME", self.path("cache"))
        self.runs = 0

    # ------------------------------------------------------------ a run's place

    def fresh(self):
        """A folder of its own for one run: ROOT/scenes (the batch), ROOT/out."""
        self.runs += 1
        if os.path.exists(self.jobs_file):
            os.remove(self.jobs_file)
        root = self.path("run%03d" % self.runs)
        for name in SCENES:
            path = os.path.join(root, "scenes", *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            mayasim.write_scene(path, fmt=name.rsplit(".", 1)[-1])
        return root

    def sample(self, row, root):
        """A value of the row besides its default: (Python value, command-line words)."""
        kind, default, flag = row["type"], row["default"], row["flag"]
        if kind == "Flag":
            self.assertTrue(row["inverted"] == default, "a switch that cannot change %s" % row["keyword"])
            return (not default), [flag]
        if kind == "Formats":
            names = list(default[:-1]) or [n for n in row["allowed"] if n not in default]
            return tuple(names), [flag, ",".join(names)]
        if kind == "OneOf":
            value = next(n for n in row["allowed"] if n != default)
            return value, [flag, value]
        if kind == "Path":
            value = os.path.join(root, "out")
            return value, [flag, value]
        if kind == "Patterns":
            return [SCENES[0]], [flag, SCENES[0]]
        self.assertIsNotNone(row["example"], "give the row of %s an example" % row["keyword"])
        return row["example"], [flag, row["example"]]

    def take_jobs(self, root):
        """The jobs the workers received since the last call, without the
        batch's own tag, in the sources' order."""
        if not os.path.exists(self.jobs_file):
            return []
        with open(self.jobs_file, "rb") as f:
            jobs = [json.loads(line) for line in f.read().splitlines()]
        os.remove(self.jobs_file)
        for job in jobs:
            job.pop("tag")
        return sorted((normalized(j, root) for j in jobs), key=lambda j: j["index"])

    def recorded(self, journal, root):
        return normalized(journal_lines(journal)[0]["choices"], root)

    def killed_before_any_source_ended(self, journal, root):
        """The journal and the folders as a run killed before its first
        source ended leaves them: the batch line, and no output."""
        with open(journal, "rb") as f:
            first = f.read().split(b"\n")[0]
        with open(journal, "wb") as f:
            f.write(first + b"\n")
        for folder in ("scenes", "out"):
            for dirpath, _, names in os.walk(os.path.join(root, folder)):
                for name in names:
                    path = os.path.join(dirpath, name)
                    if os.path.relpath(path, os.path.join(root, "scenes")).replace(os.sep, "/") not in SCENES:
                        os.remove(path)

    # ------------------------------------------------------------ entry points

    def through_batch(self, row, root):
        value, _ = self.sample(row, root)
        kw = {row["keyword"]: value}
        journal = os.path.join(root, "batch.journal")
        results = velmora.batch(os.path.join(root, "scenes"), mayapy=MAYAPY, journal=journal, jobs=1, **kw)
        self.assertEqual(results["failed"], [])
        jobs = self.take_jobs(root)
        # Resumed with the same choices: the journal takes them as its own.
        velmora.batch(os.path.join(root, "scenes"), mayapy=MAYAPY, journal=journal, jobs=1, resume=True, **kw)
        return jobs, self.recorded(journal, root), None

    def through_the_command(self, row, root):
        _, words = self.sample(row, root)
        journal = os.path.join(root, "batch.journal")
        base = [sys.executable, "-c", COMMAND, os.path.join(root, "scenes"), "--mayapy", MAYAPY,
                "--journal", journal, "--jobs", "1"] + words
        for extra in ([], ["--resume"]):
            done = subprocess.run(base + extra, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            if not extra:
                jobs = self.take_jobs(root)
        return jobs, self.recorded(journal, root), None

    def wait_for(self, batch_id):
        deadline = time.time() + 60
        while True:
            b = next(b for b in velmora.batches() if b["id"] == batch_id)
            if b["state"] in ("finished", "interrupted"):
                self.assertEqual((b["state"], b["error"], b["failed"]), ("finished", None, []))
                return b
            self.assertLess(time.time(), deadline, "batch %s stayed %s" % (batch_id, b["state"]))
            time.sleep(0.05)

    def through_start_batch(self, row, root):
        value, _ = self.sample(row, root)
        batch_id = velmora.start_batch(os.path.join(root, "scenes"), mayapy=MAYAPY, jobs=1,
                                       **{row["keyword"]: value})
        journal = self.wait_for(batch_id)["journal"]
        jobs = self.take_jobs(root)
        # Resumed from its record: the choices come back from batch.json.
        self.killed_before_any_source_ended(journal, root)
        velmora.resume_batch(batch_id)
        time.sleep(0.1)
        self.wait_for(batch_id)
        return jobs, self.recorded(journal, root), self.take_jobs(root)

    def through_the_farm(self, row, root):
        _, words = self.sample(row, root)
        jobdir = os.path.join(root, "job")
        env = {"PYTHONPATH": self.spy + os.pathsep + BUILD}
        done = farm_support.farm("plan", os.path.join(root, "scenes"), "--tasks", 1, "--out", jobdir,
                                 "--mayapy", MAYAPY, *words, env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with open(os.path.join(jobdir, "manifest.json"), encoding="utf-8") as f:
            planned = normalized(json.load(f)["choices"], root)
        journal = os.path.join(jobdir, "tasks", "task-0000.journal")
        runs = []
        for again in (False, True):
            if again:
                self.killed_before_any_source_ended(journal, root)
            done = farm_support.farm("run-task", jobdir, 0, "--jobs", 1, env=env)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            runs.append(self.take_jobs(root))
        self.assertEqual(self.recorded(journal, root), planned)
        return runs[0], planned, runs[1]

    # ------------------------------------------------------------ the test

    def test_each_choice_reaches_the_worker_the_journal_and_a_resume_through_every_entry_point(self):
        entry_points = [("batch", self.through_batch), ("command", self.through_the_command),
                        ("start_batch", self.through_start_batch), ("farm", self.through_the_farm)]
        root = self.fresh()
        velmora.batch(os.path.join(root, "scenes"), mayapy=MAYAPY, journal=os.path.join(root, "j"), jobs=1)
        default_jobs = self.take_jobs(root)
        default_choices = self.recorded(os.path.join(root, "j"), root)
        self.assertEqual(len(default_jobs), len(SCENES))
        for row in choices_rows():
            seen = {}
            for name, through in entry_points:
                with self.subTest(choice=row["keyword"], entry=name):
                    jobs, choices, resumed = through(row, self.fresh())
                    seen[name] = (jobs, choices)
                    self.assertNotEqual(jobs, default_jobs, "the workers got nothing of the choice")
                    if row["worker"]:
                        value, _ = self.sample(row, "ROOT")
                        self.assertTrue(all(j[row["keyword"]] == value for j in jobs), jobs)
                    # Recorded under its key, and only its own differs.
                    self.assertIn(row["record"], choices)
                    differs = [k for k in set(choices) | set(default_choices)
                               if choices.get(k) != default_choices.get(k)]
                    self.assertEqual(differs, [row["record"]])
                    if resumed is not None:
                        self.assertEqual(resumed, jobs, "the resume lost the choice")
            with self.subTest(choice=row["keyword"]):
                self.assertEqual(len(set(json.dumps(s, sort_keys=True) for s in seen.values())), 1, seen)

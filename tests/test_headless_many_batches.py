"""Several batches over one folder at once, with `clean` running beside
them, stopped, resumed and killed in an order drawn from a seeded random
source: whatever the order, each batch ends with exactly its outputs, no
file that was there before is changed, nothing temporary is left, and what
each batch reports is what its journal holds. A failing seed is printed;
rerun it alone with VELMORA_MANY_BATCHES_SEEDS=<seed>."""

import hashlib
import os
import random
import signal
import subprocess
import sys
import time
import unittest

from headless_support import COMMAND, MAYAPY, HeadlessTestCase, files_under, journal_lines, marked_pids

SOURCES = ("a.ma", "b.ma", "sub/c.ma", "sub/deep/d.ma", "e.ma")
CHOICES = (("mb",), ("fbx",), ("mb", "fbx"))
SEEDS = [int(s) for s in os.environ.get("VELMORA_MANY_BATCHES_SEEDS", "1 2 3 4").split()]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Batch:
    """One batch of the run: its choices, its journal, and its controller
    while one runs (a process group of its own; its workers carry
    `marker` in their environment)."""

    def __init__(self, test, name, outputs):
        self.test = test
        self.outputs = outputs
        self.journal = test.path("%s.journal" % name)
        self.marker = "velmora-many-%d-%s" % (os.getpid(), name)
        self.process = None
        self.started = False
        self.ended = []   # how each run ended: (returncode, stderr)

    def argv(self, resume):
        argv = [sys.executable, "-c", COMMAND, self.test.folder, "--mayapy", MAYAPY, "--journal", self.journal,
                "--sources", "ma", "--outputs", ",".join(self.outputs), "--jobs", "2"]
        return argv + (["--resume"] if resume else [])

    def start(self):
        env = dict(os.environ, VELMORA_TEST_MARKER=self.marker)
        # A run killed before its journal was begun left nothing to resume.
        self.process = subprocess.Popen(self.argv(os.path.exists(self.journal)), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        start_new_session=True, env=env)
        self.started = True

    def running(self):
        return self.process is not None and self.process.poll() is None

    def wait(self):
        _, err = self.process.communicate(timeout=60)
        self.ended.append((self.process.returncode, err.decode(errors="replace")))
        self.process = None

    def interrupt(self):
        os.killpg(self.process.pid, signal.SIGINT)
        self.wait()

    def kill(self):
        """The controller and its workers, all at once."""
        for pid in [self.process.pid] + marked_pids(self.marker):
            try:
                os.killpg(pid, signal.SIGKILL)
            except OSError:
                pass
        self.wait()
        self.test.assertWorkersGone(self.marker)

    def records(self):
        """The last record of each source, by its relative path."""
        lines = journal_lines(self.journal)
        sources = lines[0]["sources"]
        return {sources[r["source"]]: r for r in lines if "source" in r}


class ManyBatches(HeadlessTestCase):
    def test_batches_stops_kills_resumes_and_cleans_in_random_orders(self):
        for seed in SEEDS:
            with self.subTest(seed=seed):
                try:
                    self.one_order(seed)
                finally:
                    self.tearDown_batches()

    def tearDown_batches(self):
        for batch in getattr(self, "batches", []):
            if batch.running():
                batch.kill()

    def one_order(self, seed):
        rng = random.Random(seed)
        self.folder = self.path("scenes-%d" % seed)
        os.makedirs(self.folder)
        self.scenes(*SOURCES)
        self.costs(save=0.15, export=0.15)
        before = {name: digest(os.path.join(self.folder, name)) for name in files_under(self.folder)}
        self.batches = [Batch(self, "%d-%d" % (seed, n), rng.choice(CHOICES)) for n in range(rng.choice((2, 3)))]
        steps = []
        for _ in range(rng.randint(5, 8)):
            steps.append(self.step(rng))
            time.sleep(rng.uniform(0.0, 0.8))
        for batch in self.batches:
            if batch.running():
                batch.wait()
        self.check(seed, steps, before)

    def step(self, rng):
        """One action drawn at random, as (batch number, what) for the failure message."""
        batch_number = rng.randrange(len(self.batches))
        batch = self.batches[batch_number]
        what = rng.choice(("start", "start", "clean", "interrupt", "kill"))
        if what == "clean":
            done = subprocess.run([sys.executable, "-c", COMMAND, "clean", self.folder],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, b""), done.stdout)
            return (None, what)
        if not batch.running():
            label = "resume" if batch.started else "start"
            batch.start()
            return (batch_number, label)
        if what == "interrupt":
            batch.interrupt()
        elif what == "kill":
            batch.kill()
        return (batch_number, what)

    def finish(self, batch):
        """Resumed to its end in this process: the results it reports."""
        if not os.path.exists(batch.journal):
            return self.batch(journal=batch.journal, sources=("ma",), outputs=batch.outputs)
        return self.batch(journal=batch.journal, sources=("ma",), outputs=batch.outputs, resume=True)

    def check(self, seed, steps, before):
        context = "seed %d, batches %s, steps %s" % (seed, [b.outputs for b in self.batches], steps)
        results = [self.finish(batch) for batch in self.batches]
        for batch in self.batches:
            for code, err in batch.ended:
                # A stop that comes while Python itself runs (starting, or
                # freeing an object at the end) is Python's own traceback.
                if not err.rstrip().rstrip(":").endswith("KeyboardInterrupt"):
                    self.assertNotIn("Traceback", err, context)
                # Another run of the same batch (equal choices) is refused
                # while one is at work, in one line.
                if code == 2:
                    self.assertRegex(err, r"^velmora-batch: error: this batch of .* runs already", context)
        written = []
        for batch, result in zip(self.batches, results):
            records = batch.records()
            self.assertEqual(sorted(records), sorted(SOURCES), context)
            # Every source converted, one output per chosen format.
            for source, record in records.items():
                self.assertTrue(record["converted"], (context, record))
                stem = os.path.splitext(source)[0]
                formats = sorted(os.path.splitext(o)[1][1:] for o in record["outputs"])
                self.assertEqual(formats, sorted(batch.outputs), (context, record))
                for output in record["outputs"]:
                    name, ext = os.path.splitext(output)
                    self.assertRegex(name, "^%s(_[0-9]{3})?$" % stem, (context, record))
            # What the batch reports is what its journal holds.
            journalled = sorted(os.path.join(self.folder, o) for r in records.values() for o in r["outputs"])
            self.assertEqual(sorted(result["outputs"]), journalled, context)
            self.assertEqual((result["converted"], result["failed"]), (len(SOURCES), []), context)
            written += journalled
        # Each output is one batch's, exists, and nothing else was written.
        self.assertEqual(len(written), len(set(written)), context)
        after = files_under(self.folder)
        self.assertEqual(sorted(after), sorted(list(before) + [os.path.relpath(p, self.folder) for p in written]),
                         context)
        for name, hashed in before.items():
            self.assertEqual(digest(os.path.join(self.folder, name)), hashed, (context, name))
        # The numbered names of one output go up from the plain one without a gap.
        for source in SOURCES:
            stem = os.path.splitext(source)[0]
            for fmt in ("mb", "fbx"):
                wanted = sum(fmt in b.outputs for b in self.batches)
                names = [stem + "." + fmt] + ["%s_%03d.%s" % (stem, n, fmt) for n in range(1, wanted)]
                self.assertEqual(sorted(n for n in after if n in names or n.startswith(stem + "_")
                                        and n.endswith("." + fmt) and os.path.dirname(n) == os.path.dirname(stem)),
                                 sorted(names[:wanted]), context)


if __name__ == "__main__":
    unittest.main()

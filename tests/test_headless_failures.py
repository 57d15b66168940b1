"""Workers that crash, abort, exit, hang, make noise or are killed while
Maya writes: each costs its own file only, with a reason that says what
happened, and nothing partial or temporary is left behind."""

import os
import random
import signal
import stat
import threading

from headless_support import HeadlessTestCase, files_under, journal_lines, mayasim, velmora
from mayasim import misbehave
from support import STAMP


class MisbehavingScenes(HeadlessTestCase):
    def test_each_bad_scene_fails_alone_and_the_batch_goes_on(self):
        self.scenes("a.ma", "g.ma")
        for name, behaviour in (("b.ma", "crash-on-open"), ("c.ma", "abort-on-open"),
                                ("d.ma", "hang-on-open"), ("e.ma", "noise-on-open"),
                                ("f.ma", "exit-on-open"), ("h.ma", "crash-on-save")):
            self.scenes(name, behaviour=behaviour)
        results = self.batch(outputs=("mb", "fbx"), timeout=3, jobs=2)
        f = lambda n: os.path.join(self.folder, n)  # noqa: E731
        self.assertEqual(dict(results["failed"]), {
            f("b.ma"): "Maya crashed (signal 11) while converting b.ma",
            f("c.ma"): "Maya crashed (signal 6) while converting c.ma",
            f("d.ma"): "timed out after 3 s",
            f("f.ma"): "Maya exited (exit code 3) while converting f.ma",
            f("h.ma"): "Maya crashed (signal 11) while converting h.ma",
        })
        self.assertEqual(results["converted"], 3)
        converted = ["a", "e", "g"]
        self.assertEqual(sorted(results["outputs"]),
                         sorted(f(n + ext) for n in converted for ext in (".mb", ".fbx")))
        # Only whole outputs, under their names; nothing else was left.
        self.assertEqual(sorted(set(files_under(self.folder)) - {n + ".ma" for n in "abcdefgh"}),
                         sorted(n + ext for n in converted for ext in (".fbx", ".mb")))
        for n in converted:
            self.assertEqual(mayasim.read_scene(f(n + ".mb"))["nodes"], [["pCube1", "transform"]])
        records = [r for r in journal_lines(self.journal) if "source" in r]
        self.assertEqual(sorted(r["source"] for r in records), list(range(8)))
        logs = ""
        for name in os.listdir(results["logs"]):
            with open(os.path.join(results["logs"], name), errors="replace") as f:
                logs += f.read()
        self.assertIn(misbehave.NOISE_JSON, logs)
        self.assertIn("[3/8] c.ma", logs)

    def test_a_dialog_cannot_stop_the_run_and_the_prompt_setting_comes_back(self):
        self.scenes("a.ma", behaviour="dialog-on-open")
        calls = self.path("calls.jsonl")
        self.setenv("MAYASIM_JOURNAL_FILE", calls)
        results = self.batch(outputs=("mb",), jobs=1, timeout=20)
        self.assertEqual(results["converted"], 1)
        prompts = [(c["command"], c["flags"]) for c in journal_lines(calls)
                   if c["command"] == "file" and any(k == "prompt" for k, _ in c["flags"])]
        self.assertEqual(prompts, [("file", [["q", True], ["prompt", True]]),
                                   ("file", [["prompt", False]]),
                                   ("file", [["prompt", True]])])

    def test_a_mayapy_that_cannot_start_stops_the_batch_with_its_log(self):
        self.scenes("a.ma", "b.ma")
        broken = self.path("mayapy")
        with open(broken, "w") as f:
            f.write("#!/bin/sh\necho 'licence not found' >&2\nexit 1\n")
        os.chmod(broken, os.stat(broken).st_mode | stat.S_IEXEC)
        with self.assertRaises(RuntimeError) as caught:
            self.batch(mayapy=broken, outputs=("mb",))
        self.assertIn("mayapy did not start (exit code 1), 3 times in a row; see ", str(caught.exception))
        log = str(caught.exception).split("see ")[1]
        with open(log) as f:
            self.assertIn("licence not found", f.read())
        # Nothing was converted, and everything is still to do.
        self.assertEqual(files_under(self.folder), ["a.ma", "b.ma"])
        self.assertEqual(self.batch(outputs=("mb",), resume=True)["converted"], 2)


class KilledWhileSaving(HeadlessTestCase):
    def test_workers_killed_at_random_moments_leave_no_partial_output(self):
        self.costs(save=0.2, export=0.2)
        names = ["s%02d.ma" % i for i in range(8)]
        self.scenes(*names)
        rnd = random.Random(7)
        kills = []

        def on_event(event):
            # The first three files handed out: their worker dies mid-write.
            if event["event"] == "worker" and event["state"] == "busy" and len(kills) < 3:
                kills.append(event["detail"])
                threading.Timer(rnd.uniform(0.05, 0.35), os.kill,
                                (event["pid"], signal.SIGKILL)).start()

        results = self.batch(outputs=("mb", "fbx"), jobs=2, progress=on_event)
        self.assertNoTemporaryFiles()
        failed = dict(results["failed"])
        self.assertEqual(sorted(failed), sorted(kills))
        for reason in failed.values():
            self.assertRegex(reason, r"^Maya crashed \(signal 9\) while converting s0\d\.ma$")
        # Every file under an output's name is whole, and is in the journal.
        journaled = set()
        for record in journal_lines(self.journal):
            journaled.update(record.get("outputs", ()))
        outputs = [n for n in files_under(self.folder) if n not in names]
        self.assertEqual(sorted(outputs), sorted(journaled))
        for name in outputs:
            self.assertIn("pCube1", str(mayasim.read_scene(os.path.join(self.folder, name))["nodes"]))
        self.assertEqual(results["converted"] + len(failed), len(names))


class WorkerLogs(HeadlessTestCase):
    def test_each_line_of_a_file_is_in_the_log_before_maya_crashes(self):
        # A real mayapy's output to a file is block-buffered: a crash must
        # not take the lines that tell what it was doing with it.
        saved = os.environ.pop("PYTHONUNBUFFERED", None)
        if saved is not None:
            self.addCleanup(os.environ.__setitem__, "PYTHONUNBUFFERED", saved)
        self.scenes("a.ma", pad=4096)   # the bigger: converted first
        self.scenes("b.ma", behaviour="crash-on-save")
        results = self.batch(outputs=("mb",), jobs=1)
        self.assertEqual(results["converted"], 1)
        with open(os.path.join(results["logs"], "worker-1.log"), errors="replace") as f:
            lines = [STAMP.sub("", line, count=1) for line in f.read().split("\n")]
        batch = journal_lines(self.journal)[0]["batch"]
        opening = ["  [DEBUG] Creating new scene...", "  [DEBUG] Opening file...",
                   "  [DEBUG] File opened successfully", "  [DEBUG] Source FPS: film",
                   "  [DEBUG] convert_file START", "  [DEBUG] Applied FPS: film",
                   "  [DEBUG] Processing format: mb"]
        saving = ["  [DEBUG] Saving file...", "  [DEBUG] Renaming file...", "  [DEBUG] Saving as mb..."]
        self.assertEqual(lines, [
            "", "[1/2] a.ma", *opening, "  [DEBUG] Output file: " + os.path.join(self.folder, "a.mb"),
            *saving, "  [DEBUG] Save complete", "  Saved MB: .velmora-%s.0.mb" % batch,
            "  [DEBUG] convert_file END",
            "", "[2/2] b.ma", *opening, "  [DEBUG] Output file: " + os.path.join(self.folder, "b.mb"),
            *saving, ""])

class FailedSourcesInTheReport(HeadlessTestCase):
    def test_failed_sources_are_named_by_their_path_in_the_folder(self):
        self.scenes("sh010/anim.ma", "sh020/anim.ma", behaviour="exit-on-open")
        results = self.batch(outputs=("mb",))
        report = velmora.batch_report(results)
        self.assertIn("FAILED FILES:\n  - sh010/anim.ma\n", report)
        self.assertIn("\n  - sh020/anim.ma\n", report)
        planned = self.batch(outputs=("mb",), dry_run=True, journal=None)
        self.assertEqual(planned["folder"], self.folder)


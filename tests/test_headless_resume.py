"""Real kills of the controller, Ctrl-C, and two batches writing into one
folder at once: every output is written exactly once over a batch and its
resumed runs, and nothing existing is ever replaced."""

import json
import os
import random
import signal
import time
import unittest

from headless_support import HeadlessTestCase, files_under, journal_lines, mayasim, velmora

NAMES = ["shot%02d.ma" % i for i in range(16)]
OUTPUTS = sorted(n[:-3] + ext for n in NAMES for ext in (".mb", ".fbx"))


@unittest.skipUnless(os.path.isdir("/proc"), "finds orphaned workers through /proc")
class KilledController(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.scenes(*NAMES)
        self.marker = "velmora-test-%d-%d" % (os.getpid(), id(self))
        self.setenv("VELMORA_TEST_MARKER", self.marker)
        self.costs(open=0.05, save=0.15, export=0.15)

    def test_killed_at_random_moments_then_resumed_writes_each_output_once(self):
        rnd = random.Random(11)
        for attempt in range(3):
            controller = self.command("--outputs", "mb,fbx", "--jobs", "3",
                                      *(["--resume"] if attempt else []))
            time.sleep(rnd.uniform(0.4, 1.2))
            os.kill(controller.pid, signal.SIGKILL)
            controller.communicate()
            # Its workers notice and stop by themselves, mid-file or not.
            self.assertWorkersGone(self.marker)
        results = self.batch(outputs=("mb", "fbx"), jobs=3, resume=True)
        self.assertEqual((results["total"], results["converted"], results["failed"]), (16, 16, []))
        self.assertEqual(sorted(os.path.basename(p) for p in results["outputs"]), OUTPUTS)
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))  # no _001, no temp
        for name in OUTPUTS:
            self.assertEqual(mayasim.read_scene(os.path.join(self.folder, name))["nodes"],
                             [["pCube1", "transform"]])
        report = velmora.batch_report(results)
        self.assertIn("Total: 16\nSuccess: 16\nFailed: 0\n", report)

    def test_ctrl_c_lets_files_in_hand_finish_and_resume_does_the_rest(self):
        controller = self.command("--outputs", "mb,fbx", "--jobs", "2")
        self.wait_for_records(1)
        controller.send_signal(signal.SIGINT)
        out, _ = controller.communicate(timeout=30)
        self.assertEqual(controller.returncode, 130)
        self.assertIn(b"run again with --resume to finish", out)
        lines = journal_lines(self.journal)
        self.assertEqual(lines[-1]["run"], "end")
        self.assertTrue(lines[-1]["interrupted"])
        done = [r["source"] for r in lines if "source" in r]
        self.assertTrue(all(r["converted"] for r in lines if "source" in r))
        self.assertLess(len(done), len(NAMES))
        self.assertWorkersGone(self.marker)
        self.assertNoTemporaryFiles()
        results = self.batch(outputs=("mb", "fbx"), resume=True)
        self.assertEqual((results["converted"], results["pending"]), (16, []))
        self.assertEqual(files_under(self.folder), sorted(NAMES + OUTPUTS))


class CrashBetweenPublishingAndJournaling(HeadlessTestCase):
    def test_an_output_published_but_not_journaled_is_not_written_again(self):
        self.scenes("a.ma", "b.ma")
        self.batch(outputs=("mb", "fbx"), jobs=1, sources=("mb",))  # lists nothing: a journal only
        # The state a crash leaves after a.mb was linked into place and
        # before its record was written: the temporary name is a second
        # link to it, and a.fbx's is half written.
        header = journal_lines(self.journal)[0]
        header["sources"] = ["a.ma", "b.ma"]
        header.pop("notes_publishing")   # as a velmora that did not note its publishing left it
        header["choices"]["extensions"] = [".ma", ".mb", ".fbx"]
        with open(self.journal, "w") as f:
            f.write(json.dumps(header) + "\n")
        prefix = os.path.join(self.folder, ".velmora-%s.0" % header["batch"])
        mayasim.write_scene(prefix + ".mb", fmt="mb")
        os.link(prefix + ".mb", os.path.join(self.folder, "a.mb"))
        with open(prefix + ".fbx", "wb") as f:
            f.write(b"Kaydara FBX Binary  \x00\x1a\x00\x1c\x1e\x00\x00\n{\"un")
        results = self.batch(outputs=("mb", "fbx"), jobs=1, resume=True)
        f = lambda n: os.path.join(self.folder, n)  # noqa: E731
        self.assertEqual(sorted(results["outputs"]),
                         sorted([f("a.mb"), f("a.fbx"), f("b.mb"), f("b.fbx")]))
        self.assertEqual(files_under(self.folder), ["a.fbx", "a.ma", "a.mb", "b.fbx", "b.ma", "b.mb"])
        self.assertEqual(mayasim.read_scene(f("a.fbx"))["format"], "FBX")


class TwoBatchesOneFolder(HeadlessTestCase):
    def test_neither_overwrites_the_other_nor_what_was_there(self):
        self.costs(save=0.05)
        names = ["s%d.ma" % i for i in range(6)]
        self.scenes(*names)
        existing = os.path.join(self.folder, "s0.mb")
        with open(existing, "w") as f:
            f.write("the artist's own file\n")
        first = self.command("--outputs", "mb", "--jobs", "2", "--sources", "ma")
        self.journal = self.path("second.journal")
        second = self.command("--outputs", "mb", "--jobs", "2", "--sources", "ma")
        for p in (first, second):
            p.communicate(timeout=60)
            self.assertEqual(p.returncode, 0)
        with open(existing) as f:
            self.assertEqual(f.read(), "the artist's own file\n")
        expected = ["s0_001.mb", "s0_002.mb"] + ["s%d%s" % (i, suffix) for i in range(1, 6)
                                                 for suffix in (".mb", "_001.mb")]
        self.assertEqual(files_under(self.folder), sorted(names + ["s0.mb"] + expected))
        for name in expected:
            self.assertEqual(mayasim.read_scene(os.path.join(self.folder, name))["format"], "mayaBinary")

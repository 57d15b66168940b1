"""The headless batch against the window's: the same sources, names,
contents and report for the same folder; its options checked before
anything is touched; and FBX sources, which need the plug-in loaded."""

import contextlib
import io
import os
import shutil

from headless_support import MAYAPY, HeadlessTestCase, files_under, host, mayasim, velmora
from test_batch import BatchTestCase

TIMING = ("Start: ", "End: ", "Time: ")


def report_body(text, folder):
    """The report without its times, with the folder's path taken out."""
    return [line.replace(folder, "<folder>") for line in text.split("\n")
            if not line.startswith(TIMING)]


def contents(folder, names):
    return {n: {k: v for k, v in mayasim.read_scene(os.path.join(folder, n)).items()
                if k != "warnings"} for n in names}


class SameAsTheWindow(HeadlessTestCase, BatchTestCase):
    def make_folder(self):
        self.scenes("a.ma", "sub/b.ma", unit="pal", pmin=5, pmax=50)
        self.scenes("c.mb", "sub/deeper/D.MA")
        self.scenes("e.fbx", unit="ntsc")
        mayasim.write_scene(os.path.join(self.folder, "a.fbx"), fmt="fbx")  # taken: a_001.fbx
        with open(os.path.join(self.folder, "broken.ma"), "w") as f:
            f.write("not a scene\n")

    def window_batch(self, folder, **choices):
        conv = self.window(folder=folder, **choices)
        with contextlib.redirect_stdout(io.StringIO()):
            self.press_start(conv)
            host.run_idle()
        report = host.ui.find(kind="scrollField", window="statsWin")[0]
        return velmora.cmds.scrollField(report, q=True, text=True)

    def test_outputs_contents_and_report_match_the_window(self):
        self.make_folder()
        window_folder = self.path("window")
        shutil.copytree(self.folder, window_folder)
        before = set(files_under(self.folder))
        for outputs, preset, skip in ((("ma", "mb", "fbx"), "Animation", False),
                                      (("mb", "fbx"), "Models Only", True)):
            with self.subTest(outputs=outputs, skip=skip):
                window_report = self.window_batch(window_folder, outputs=outputs, preset=preset,
                                                  skip=skip)
                results = self.batch(outputs=outputs, preset=preset, skip_existing=skip,
                                     journal=self.path("j-%s.journal" % skip))
                written = sorted(set(files_under(self.folder)) - before)
                self.assertEqual(written, sorted(set(files_under(window_folder)) - before))
                self.assertEqual(contents(self.folder, written), contents(window_folder, written))
                # Line for line the window's, but for a failed source
                # named by its path in the folder, not its file name alone,
                # and the batch's notes after it.
                by_name = dict(results, folder=None)
                report = velmora.batch_report(by_name)
                self.assertEqual(report_body(report.split("\nNOTES: ")[0], self.folder),
                                 report_body(window_report, window_folder))
                for source, _ in results["failed"]:
                    self.assertIn("  - %s\n" % os.path.relpath(source, self.folder), velmora.batch_report(results))
                self.assertNoTemporaryFiles()
                before = set(files_under(self.folder))
        self.assertIn("a_001.fbx", files_under(self.folder))

    def test_results_name_every_output_skip_and_failure(self):
        self.scenes("a.ma", "b.ma", "a.mb")
        with open(os.path.join(self.folder, "broken.ma"), "w") as f:
            f.write("not a scene\n")
        results = self.batch(sources=("ma",), outputs=("mb", "fbx"), skip_existing=True)
        f = lambda name: os.path.join(self.folder, name)  # noqa: E731
        self.assertEqual((results["total"], results["converted"]), (3, 2))
        self.assertEqual(results["outputs"], [f("a.fbx"), f("b.mb"), f("b.fbx")])
        self.assertEqual(results["skipped"], [f("a.mb")])
        [(source, reason)] = results["failed"]
        self.assertEqual(source, f("broken.ma"))
        self.assertIn("unrecognized file type", reason)
        self.assertEqual(results["pending"], [])


class BadArguments(HeadlessTestCase):
    CASES = [
        (dict(folder="missing"), "folder not found"),
        (dict(sources=("ma", "obj")), "unknown source type: 'obj'"),
        (dict(outputs=("abc",)), "unknown output format: 'abc'"),
        (dict(outputs=()), "no output format chosen"),
        (dict(preset="Animated"), "unknown FBX preset: 'Animated'"),
        (dict(jobs=0), "jobs must be a whole number from 1 to 256"),
        (dict(timeout=-1), "timeout must be a number of seconds above 0"),
        (dict(mayapy="/nonexistent/mayapy"), "mayapy not found: /nonexistent/mayapy"),
        (dict(retry_failed=True), "--retry-failed needs --resume"),
    ]

    def test_each_bad_value_is_one_clear_error_and_touches_nothing(self):
        self.scenes("a.ma")
        for kw, message in self.CASES:
            with self.subTest(**{k: str(v) for k, v in kw.items()}):
                if "folder" in kw:
                    kw = dict(kw, folder=self.path(kw["folder"]))
                with self.assertRaises(ValueError) as caught:
                    self.batch(**kw)
                self.assertIn(message, str(caught.exception))
                self.assertNotIn("\n", str(caught.exception))
                self.assertEqual(files_under(self.folder), ["a.ma"])
                self.assertFalse(os.path.exists(self.journal))

    def test_the_command_exits_2_with_one_line(self):
        self.scenes("a.ma")
        for argv, message in ((["--jobs", "0"], "jobs must be"), (["--outputs", "obj"], "unknown output"),
                              (["--preset", "x"], "unknown FBX preset"), (["--jobs", "two"], "invalid int"),
                              (["--retry-failed"], "velmora-batch: error: --retry-failed needs --resume\n")):
            with self.subTest(argv=argv):
                err = io.StringIO()
                with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
                    status = velmora.batch_main([self.folder, "--journal", self.journal] + argv)
                self.assertEqual(status, 2)
                self.assertIn(message, err.getvalue())
                self.assertFalse(os.path.exists(self.journal))

    def test_retry_failed_comes_after_resume_and_before_progress(self):
        self.scenes("a.ma")
        given = [self.folder, "ma", "mb", "Default", True, False, 1, None, MAYAPY, self.journal]
        with self.assertRaisesRegex(ValueError, "^--retry-failed needs --resume$"):
            velmora.batch(*given, False, True)
        with self.assertRaisesRegex(ValueError, "^progress must be a callable or None$"):
            velmora.batch(*given, True, True, "not callable")
        self.assertFalse(os.path.exists(self.journal))

    def test_no_mayapy_anywhere_is_a_clear_error(self):
        self.scenes("a.ma")
        self.setenv("MAYA_LOCATION", self.path("no-maya"))
        with self.assertRaises(ValueError) as caught:
            velmora.batch(self.folder, journal=self.journal)
        if "mayapy not found" not in str(caught.exception):  # a machine with Maya installed
            self.skipTest("a Maya is installed here")
        self.assertIn("--mayapy", str(caught.exception))


class HostileNames(HeadlessTestCase):
    def test_undecodable_bytes_quotes_and_spaces_survive_the_round_trip(self):
        names = [os.fsdecode(b"caf\xe9 \xff.ma"), 'say "hi".ma', "new\nline.ma", "日本.ma"]
        self.scenes(*names)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = velmora.batch_main([self.folder, "--mayapy", MAYAPY, "--journal", self.journal,
                                         "--outputs", "mb,fbx", "--jobs", "2"])
        self.assertEqual(status, 0)
        expected = sorted(names + [n[:-3] + ext for n in names for ext in (".mb", ".fbx")])
        self.assertEqual(files_under(self.folder), expected)
        self.assertIn("Success: 4", out.getvalue())

"""The pipeline's choices of the headless batch and the farm: outputs under
a folder of their own (collisions there named as the window names them,
nothing written into a read-only source tree), a dry run that starts no
process and names exactly what a run then writes, the FBX file version and
text FBX, and include/exclude patterns over subfolders."""

import os
import subprocess
import sys

from headless_support import MAYAPY, HeadlessTestCase, files_under, velmora
from farm_support import FarmTestCase
from support import BUILD, SIM
from test_headless_promises import mount_tmpfs

import mayasim

TREE = ["a.ma", "a.mb", "sub/c.ma", "sub/deep/d.fbx", "wip/e.ma", "wip/wip_f.ma"]
COMMAND = ("import sys; sys.path[:0] = [%r, %r]; import velmora; "
           "sys.exit(velmora.batch_main(sys.argv[1:]))" % (SIM, BUILD))


def command(*args):
    return subprocess.run([sys.executable, "-c", COMMAND] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)


class OutputFolder(HeadlessTestCase):
    def test_outputs_mirror_the_tree_and_collisions_there_get_the_windows_names(self):
        self.scenes(*TREE)
        out = self.path("out")
        # Already there: the run names around them, and never touches them.
        os.makedirs(os.path.join(out, "sub"))
        for taken in ("sub/c.mb", "a.fbx"):
            with open(os.path.join(out, taken), "w") as f:
                f.write("keep")
        results = self.batch(outputs=("mb", "fbx"), output_folder=out, jobs=3)
        self.assertEqual((results["converted"], results["failed"]), (len(TREE), []))
        self.assertEqual(files_under(self.folder), sorted(TREE))   # nothing in the source tree
        self.assertEqual(files_under(out), sorted([
            "a.fbx", "a_001.fbx", "a_002.fbx", "a.mb", "sub/c.mb", "sub/c_001.mb", "sub/c.fbx",
            "sub/deep/d.mb", "wip/e.mb", "wip/e.fbx", "wip/wip_f.mb", "wip/wip_f.fbx"]))
        for taken in ("sub/c.mb", "a.fbx"):
            with open(os.path.join(out, taken)) as f:
                self.assertEqual(f.read(), "keep")
        self.assertIn(os.path.join(out, "sub", "c_001.mb"), results["outputs"])
        # Resumed, the journal's outputs are found under the output folder.
        again = self.batch(outputs=("mb", "fbx"), output_folder=out, jobs=3, resume=True)
        self.assertEqual(sorted(again["outputs"]), sorted(results["outputs"]))

    def test_an_output_folder_inside_the_source_folder_is_not_a_source(self):
        self.scenes("a.ma", "sub/c.ma")
        out = os.path.join(self.folder, "converted")
        for run in range(2):
            results = self.batch(outputs=("ma", "mb"), output_folder=out, skip_existing=True,
                                 journal=self.path("j%d" % run))
            self.assertEqual(results["total"], 2)
        self.assertEqual(files_under(out), ["a.mb", "sub/c.mb"])

    def test_a_read_only_source_tree_is_read_and_never_written(self):
        sources = mount_tmpfs(self, size="1m")
        self.folder = sources
        self.scenes("a.ma", "sub/c.ma")
        subprocess.check_call(["mount", "-o", "remount,ro", sources])
        # Next to the sources nothing can be written: said in one line.
        with self.assertRaises(ValueError) as caught:
            self.batch(outputs=("mb",))
        self.assertRegex(str(caught.exception), r"^cannot write in .*Read-only file system.*--output-folder$")
        out = self.path("out")
        results = self.batch(outputs=("mb", "fbx"), output_folder=out)
        self.assertEqual((results["converted"], results["failed"]), (2, []))
        self.assertEqual(files_under(out), ["a.fbx", "a.mb", "sub/c.fbx", "sub/c.mb"])
        self.assertEqual(files_under(sources), ["a.ma", "sub/c.ma"])


class DryRun(HeadlessTestCase):
    def test_a_dry_run_starts_nothing_writes_nothing_and_names_what_a_run_writes(self):
        self.scenes(*TREE)
        with open(os.path.join(self.folder, "a.fbx"), "w") as f:
            f.write("there before")
        # A mayapy that leaves a mark if anything starts it.
        mark = self.path("started")
        spy = self.path("spy-mayapy")
        with open(spy, "w") as f:
            f.write("#!/bin/sh\ntouch %s\nexec %s \"$@\"\n" % (mark, MAYAPY))
        os.chmod(spy, 0o755)
        before = files_under(self.folder)
        choices = dict(sources=("ma", "mb"), outputs=("mb", "fbx"))
        planned = self.batch(dry_run=True, mayapy=spy, **choices)
        self.assertTrue(planned["dry_run"])
        self.assertFalse(os.path.exists(mark))
        self.assertFalse(os.path.exists(self.journal))
        self.assertEqual(files_under(self.folder), before)
        self.assertEqual(planned["skipped"], [])
        run = self.batch(mayapy=spy, **choices)
        self.assertTrue(os.path.exists(mark))
        self.assertEqual(sorted(planned["outputs"]), sorted(run["outputs"]))
        self.assertIn(os.path.join(self.folder, "a_002.fbx"), run["outputs"])   # around a.fbx
        self.assertEqual(planned["converted"], run["converted"])
        # With skip-existing, now that they exist, a run would skip them all.
        again = self.batch(dry_run=True, skip_existing=True, **choices)
        self.assertEqual(again["outputs"], [])
        self.assertTrue(all(os.path.exists(p) for p in again["skipped"]))
        self.assertEqual(files_under(self.folder), sorted(before + [
            os.path.relpath(p, self.folder) for p in run["outputs"]]))

    def test_a_dangling_link_under_an_output_name_takes_that_name_as_in_a_run(self):
        self.scenes("a.ma", "b.ma")
        os.symlink(self.path("nowhere.mb"), os.path.join(self.folder, "a.mb"))
        os.symlink(self.path("nowhere.mb"), os.path.join(self.folder, "b.mb"))
        for skip in (False, True):
            with self.subTest(skip_existing=skip):
                self.journal = self.path("batch-%d.journal" % skip)
                planned = self.batch(outputs=("mb",), dry_run=True, skip_existing=skip)
                run = self.batch(outputs=("mb",), skip_existing=skip)
                self.assertEqual((planned["outputs"], planned["skipped"]), (run["outputs"], run["skipped"]))
        self.assertEqual(run["skipped"], [os.path.join(self.folder, n) for n in ("a.mb", "b.mb")])
        self.assertEqual(planned["outputs"], [])
        self.assertTrue(os.path.islink(os.path.join(self.folder, "a.mb")))
        self.assertFalse(os.path.exists(self.path("nowhere.mb")))

    def test_the_command_prints_the_report_and_the_planned_names(self):
        self.scenes("a.ma", "sub/c.ma")
        done = command(self.folder, "--outputs", "mb", "--dry-run", "--output-folder", self.path("out"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("Total: 2\nSuccess: 2", done.stdout)
        self.assertIn("Dry run: nothing was written", done.stdout)
        self.assertIn("  sub/c.ma -> c.mb", done.stdout)
        self.assertFalse(os.path.exists(self.path("out")))


class FbxVersion(HeadlessTestCase):
    def test_the_version_and_text_fbx_reach_the_exporter_after_the_preset(self):
        self.scenes("a.ma")
        results = self.batch(outputs=("fbx",), preset="Animation", fbx_version="FBX201800", fbx_ascii=True)
        self.assertEqual(results["converted"], 1)
        settings = mayasim.read_scene(os.path.join(self.folder, "a.fbx"))["settings"]
        self.assertEqual((settings["FileVersion"], settings["InAscii"]), ("FBX201800", True))
        self.assertTrue(settings["BakeComplexAnimation"])   # the preset's, kept

    def test_a_version_the_plug_in_refuses_fails_the_file_with_its_message(self):
        self.scenes("a.ma")
        results = self.batch(outputs=("mb", "fbx"), fbx_version="FBX201700")
        (source, reason), = results["failed"]
        self.assertRegex(reason, r"^could not write a\.fbx: .*Invalid FBX file version \"FBX201700\"")
        self.assertEqual(files_under(self.folder), ["a.ma", "a.mb"])

    def test_a_malformed_version_is_bad_input(self):
        self.scenes("a.ma")
        for bad in ("FBX2018", "fbx201800", "FBX201800 -s", 201800):
            with self.subTest(version=bad):
                with self.assertRaises(ValueError) as caught:
                    self.batch(outputs=("fbx",), fbx_version=bad)
                self.assertIn("FBX and six digits", str(caught.exception))
        done = command(self.folder, "--outputs", "fbx", "--fbx-version", "2018", "--mayapy", MAYAPY)
        self.assertEqual(done.returncode, 2)
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertEqual(files_under(self.folder), ["a.ma"])


class Patterns(HeadlessTestCase):
    def test_include_and_exclude_over_subfolders_keep_the_windows_order(self):
        self.scenes(*TREE)
        def taken(planned):
            return [os.path.relpath(s, self.folder).replace(os.sep, "/") for s, _ in planned["planned"]]
        window = taken(self.batch(outputs=("mb",), dry_run=True))
        self.assertEqual(sorted(window), sorted(TREE))
        cases = [
            ({"include": "sub/*"}, ["sub/c.ma", "sub/deep/d.fbx"]),
            ({"include": ["*.ma"], "exclude": ["wip/wip_*"]}, ["a.ma", "sub/c.ma", "wip/e.ma"]),
            ({"exclude": ["*/*"]}, ["a.ma", "a.mb"]),
            ({"include": ["A.MA"]}, []),   # case counts, as in the window's order
        ]
        for choice, expected in cases:
            with self.subTest(**{k: str(v) for k, v in choice.items()}):
                planned = self.batch(outputs=("mb",), dry_run=True, **choice)
                self.assertEqual(taken(planned), [n for n in window if n in expected])
        with self.assertRaises(ValueError):
            self.batch(outputs=("mb",), include=["ok", ""])


class FarmChoices(FarmTestCase):
    def test_a_plan_carries_the_choices_to_its_tasks(self):
        folder = self.scenes(["a.ma", "sub/c.ma", "skip/x.ma"])
        out = self.path("out")
        self.plan(folder, "--outputs", "mb,fbx", "--output-folder", out, "--exclude", "skip/*",
                  "--fbx-version", "FBX201600", tasks=1)
        choices = self.manifest()["choices"]
        self.assertEqual((choices["output_folder"], choices["exclude"], choices["fbx_version"]),
                         (out, ["skip/*"], "FBX201600"))
        self.run_task(0, expect=0)
        self.assertEqual(files_under(out), ["a.fbx", "a.mb", "sub/c.fbx", "sub/c.mb"])
        self.assertEqual(mayasim.read_scene(os.path.join(out, "a.fbx"))["settings"]["FileVersion"],
                         "FBX201600")

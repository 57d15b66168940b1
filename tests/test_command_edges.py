"""The command at its edges: an output folder that is the batch folder or
above it, a batch with nothing to convert, a plan given a run's options,
and a run the folder refuses: each says what happened, and none passes
for a success it is not."""

import glob
import os
import subprocess
import sys

from farm_support import farm
from headless_support import COMMAND, MAYAPY, HeadlessTestCase, files_under


class CommandEdges(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")
        self.setenv("XDG_CACHE_HOME", self.cache)

    def run_command(self, *args, folder=None):
        argv = [sys.executable, "-c", COMMAND, folder or self.folder, "--mayapy", MAYAPY, "--sources", "ma"]
        done = subprocess.run(argv + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def test_an_output_folder_equal_to_or_above_the_batch_folder(self):
        self.scenes("a.ma", "sub/b.ma")
        code, out, err = self.run_command("--outputs", "mb", "--output-folder", self.folder)
        self.assertEqual((code, err), (0, "velmora-batch: warning: the output folder is the batch folder: "
                                          "the outputs are written next to their sources\n"))
        self.assertIn("Total: 2\nSuccess: 2\n", out)
        self.assertEqual(files_under(self.folder), ["a.ma", "a.mb", "sub/b.ma", "sub/b.mb"])
        above = os.path.dirname(self.folder)
        code, out, err = self.run_command("--outputs", "fbx", "--output-folder", above,
                                          folder=os.path.join(self.folder, "sub"))
        self.assertEqual((code, err), (0, ""))
        self.assertIn("Total: 1\nSuccess: 1\n", out)
        self.assertTrue(os.path.exists(os.path.join(above, "b.fbx")))

    def test_nothing_to_convert_is_said_and_not_a_success(self):
        for args, words in ((("--outputs", "mb"), "no source of the chosen types (.ma) in"),
                            (("--outputs", "mb", "--include", "*.nothing"),
                             "that the include and exclude patterns take")):
            with self.subTest(args=args):
                code, out, err = self.run_command(*args)
                self.assertEqual(code, 1, out + err)
                self.assertIn("Total: 0", out)
                self.assertIn("velmora-batch: warning: nothing to convert: " , err)
                self.assertIn(words, err)

    def test_a_refused_run_leaves_no_journal(self):
        from test_headless_promises import mount_tmpfs
        self.folder = mount_tmpfs(self, size="1m")
        self.scenes("a.ma")
        subprocess.check_call(["mount", "-o", "remount,ro", self.folder])
        code, out, err = self.run_command("--outputs", "mb")
        self.assertEqual(code, 2, out + err)
        self.assertIn("cannot write in", err)
        self.assertEqual(glob.glob(os.path.join(self.cache, "velmora", "batches", "*")), [])

    def test_a_plan_refuses_the_options_of_a_run(self):
        self.scenes("a.ma")
        for option in (["--dry-run"], ["--resume"], ["--restart"], ["--journal", self.path("j")]):
            with self.subTest(option=option[0]):
                done = farm("plan", self.folder, "--tasks", 1, "--out", self.path("job"), "--mayapy", MAYAPY,
                            *option)
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                self.assertIn("%s does not apply to plan" % option[0], done.stderr)
                self.assertFalse(os.path.exists(self.path("job")))

"""A batch is one thing with one identity (its folder's real path and the
choices that change what it writes): its journal, its lock and its life
follow from it, and no run of another batch can take them over."""

import glob
import json
import os
import signal
import subprocess
import sys
import time

from headless_support import COMMAND, MAYAPY, HeadlessTestCase, files_under, journal_lines, velmora


class IdentityTestCase(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")
        self.setenv("XDG_CACHE_HOME", self.cache)

    def run_command(self, *args, folder=None, env=None, cwd=None, python=sys.executable, **popen):
        """velmora-batch over the folder, with the default journal unless
        one is given."""
        argv = [python, "-c", COMMAND, folder or self.folder, "--mayapy", MAYAPY, "--sources", "ma"] + list(args)
        return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                env=env, cwd=cwd, **popen)

    def wait_for_a_record(self):
        """Until the batch's journal (in the cache) holds a finished source."""
        deadline = time.time() + 30
        while not (self.journals() and any("source" in r for r in journal_lines(self.journals()[0]))):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)

    def journals(self):
        return sorted(glob.glob(os.path.join(self.cache, "velmora", "batches", "*.journal")))

    def outputs(self, folder):
        return [f for f in files_under(folder) if not f.endswith(".ma")]


class TwoBatchesOfOneFolder(IdentityTestCase):
    def test_batches_with_other_choices_keep_their_own_journals_and_reports(self):
        names = ["s%d.ma" % i for i in range(6)]
        self.scenes(*names)
        self.costs(save=0.2, export=0.2)
        a = self.run_command("--outputs", "mb", "--output-folder", self.path("out_a"), "--jobs", "1")
        time.sleep(1)
        b = self.run_command("--outputs", "fbx", "--output-folder", self.path("out_b"), "--jobs", "2")
        out_a, err_a = a.communicate(timeout=120)
        out_b, err_b = b.communicate(timeout=120)
        self.assertEqual((a.returncode, err_a, b.returncode, err_b), (0, b"", 0, b""))
        for out in (out_a, out_b):
            self.assertIn(b"Total: 6\nSuccess: 6\nFailed: 0\n", out)
        self.assertEqual(self.outputs(self.path("out_a")), [n[:-3] + ".mb" for n in names])
        self.assertEqual(self.outputs(self.path("out_b")), [n[:-3] + ".fbx" for n in names])
        self.assertEqual(len(self.journals()), 2)
        for journal in self.journals():
            self.assertEqual(len([r for r in journal_lines(journal) if "source" in r]), 6)

    def test_a_second_run_of_a_running_batch_is_refused_and_writes_nothing(self):
        names = ["s%d.ma" % i for i in range(6)]
        self.scenes(*names)
        self.costs(save=2)
        first = self.run_command("--outputs", "mb", "--jobs", "1")
        self.wait_for_a_record()
        for extra in ((), ("--resume",)):
            with self.subTest(extra=extra):
                second = self.run_command("--outputs", "mb", "--jobs", "1", *extra)
                _, err = second.communicate(timeout=60)
                self.assertEqual(second.returncode, 2, (_, err))
                self.assertIn(b"runs already", err)
                self.assertEqual(len(err.splitlines()), 1)
        # The same batch through a symlink to its folder is the same batch.
        link = self.path("link")
        os.symlink(self.folder, link)
        third = self.run_command("--outputs", "mb", "--jobs", "1", "--resume", folder=link)
        _, err = third.communicate(timeout=60)
        self.assertEqual((third.returncode, b"runs already" in err), (2, True), (_, err))
        out, err = first.communicate(timeout=120)
        self.assertEqual((first.returncode, err), (0, b""))
        self.assertIn(b"Success: 6\n", out)
        self.assertEqual(self.outputs(self.folder), sorted(n[:-3] + ".mb" for n in names))


class JournalsOfOneBatch(IdentityTestCase):
    def test_a_plain_run_over_an_interrupted_batch_is_refused_until_resumed_or_restarted(self):
        self.scenes(*["s%d.ma" % i for i in range(4)])
        self.costs(save=0.3)
        first = self.run_command("--outputs", "mb", "--jobs", "1")
        self.wait_for_a_record()
        os.killpg(first.pid, signal.SIGKILL)
        first.communicate()
        journal, = self.journals()
        before = open(journal, "rb").read()

        again = self.run_command("--outputs", "mb")
        _, err = again.communicate(timeout=60)
        self.assertEqual(again.returncode, 2)
        self.assertRegex(err.decode(), r"an interrupted batch of .* has \d of 4 sources done .*--resume.*--restart")
        self.assertEqual(open(journal, "rb").read(), before)

        restarted = self.run_command("--outputs", "mb", "--restart")
        out, err = restarted.communicate(timeout=120)
        self.assertEqual((restarted.returncode, err), (0, b""))
        self.assertIn(b"Total: 4\nSuccess: 4\n", out)
        kept = [j for j in self.journals() if j != journal]
        self.assertEqual(len(kept), 1)
        self.assertEqual(open(kept[0], "rb").read()[:len(before)], before)
        self.assertNoTemporaryFiles()

    def test_a_plain_run_over_a_finished_batch_starts_anew_and_keeps_the_old_journal(self):
        self.scenes("a.ma")
        first = self.batch(outputs=("mb",), journal=None)
        old = open(first["journal"], "rb").read()
        second = self.batch(outputs=("mb",), journal=None)
        self.assertEqual(second["journal"], first["journal"])
        self.assertEqual(sorted(second["outputs"]), [os.path.join(self.folder, "a_001.mb")])
        kept = [j for j in self.journals() if j != first["journal"]]
        self.assertEqual([open(j, "rb").read() for j in kept], [old])

    def test_resume_that_finds_no_journal_says_so_and_writes_nothing(self):
        self.scenes("a.ma")
        for env in ({"XDG_CACHE_HOME": self.path("other-cache")}, {}):
            with self.subTest(env=env):
                proc = self.run_command("--outputs", "mb", "--resume", env=dict(os.environ, **env))
                _, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 2)
                self.assertIn(b"no batch of " + self.folder.encode() + b" with these choices to resume", err)
        self.assertEqual(files_under(self.folder), ["a.ma"])

    def test_journals_that_are_not_this_batchs_are_never_written_over(self):
        self.scenes("a.ma", "b.ma")
        other = self.path("other")
        os.makedirs(other)
        scene = os.path.join(self.folder, "a.ma")
        garbage = self.path("garbage.journal")
        with open(garbage, "wb") as f:
            f.write(b"\x00\x01 not a journal\n")
        foreign = self.path("foreign.journal")
        velmora.batch(other, outputs=("mb",), mayapy=MAYAPY, journal=foreign)
        newer = self.path("newer.journal")
        with open(newer, "w") as f:
            f.write(json.dumps({"journal": "velmora-batch", "version": 99, "batch": "x",
                                "folder": self.folder, "choices": {}, "sources": []}) + "\n")
        cases = [(scene, (), "is not a velmora batch journal"),
                 (garbage, (), "is not a velmora batch journal"),
                 (self.path(), (), "is a folder"),
                 (foreign, (), "another folder"),
                 (foreign, ("--resume",), "another folder"),
                 (newer, ("--resume",), "newer velmora")]
        for journal, extra, words in cases:
            with self.subTest(journal=os.path.basename(journal), extra=extra):
                before = {p: open(p, "rb").read() for p in (scene, garbage, foreign, newer)}
                proc = self.run_command("--outputs", "mb", "--journal", journal, *extra)
                _, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 2, err)
                self.assertIn(words.encode(), err)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertEqual({p: open(p, "rb").read() for p in before}, before)
                self.assertEqual(files_under(self.folder), ["a.ma", "b.ma"])


class TheCacheFolder(IdentityTestCase):
    def test_an_empty_or_relative_cache_setting_is_passed_over(self):
        self.scenes("a.ma")
        home = self.path("home")
        work = self.path("work")
        os.makedirs(work)
        for setting in ("", "relative/cache"):
            with self.subTest(setting=setting):
                env = dict(os.environ, HOME=home, XDG_CACHE_HOME=setting)
                proc = self.run_command("--outputs", "mb", "--skip-existing", env=env, cwd=work)
                _, err = proc.communicate(timeout=60)
                self.assertEqual((proc.returncode, err), (0, b""))
                self.assertEqual(os.listdir(work), [])
                os.remove(os.path.join(self.folder, "a.mb"))
                self.assertTrue(glob.glob(os.path.join(home, ".cache", "velmora", "batches", "*.journal")))

    def test_a_user_the_system_does_not_know_without_home_gets_one_line(self):
        python = "/usr/bin/python3"  # one another user may run (pyenv's lies under /root)
        if os.geteuid() != 0 or not os.access(python, os.X_OK):
            self.skipTest("needs root, to become a user with no passwd entry, and a system python3")
        self.scenes("a.ma")
        os.chmod(self.tmp, 0o755)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_CACHE_HOME")}
        work = self.path("work")
        os.makedirs(work)
        os.chmod(work, 0o777)
        proc = self.run_command("--outputs", "mb", env=env, cwd=work, python=python,
                                preexec_fn=lambda: os.setuid(54321))
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 2, err)
        self.assertIn(b"cannot tell where the user's cache is", err)
        self.assertEqual(os.listdir(work), [])


    def test_a_cache_that_cannot_be_written_is_one_line_and_leaves_nothing(self):
        from test_headless_promises import mount_tmpfs
        self.scenes("a.ma")
        cache = mount_tmpfs(self, size="1m", mode="0755")
        subprocess.check_call(["mount", "-o", "remount,ro", cache])
        proc = self.run_command("--outputs", "mb", env=dict(os.environ, XDG_CACHE_HOME=cache))
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 3, err)
        self.assertRegex(err.decode(), r"cannot write the journal .*Read-only file system")
        self.assertEqual(len(err.splitlines()), 1)
        self.assertEqual(os.listdir(self.folder), ["a.ma"])


class ASymlinkedFolder(IdentityTestCase):
    def test_an_output_folder_named_by_its_real_path_is_not_taken_for_sources(self):
        self.scenes("a.ma", "b.ma")
        link = self.path("link")
        os.symlink(self.folder, link)
        out = os.path.join(self.folder, "out")
        first = self.batch(folder=link, sources=("ma", "mb"), outputs=("mb",), output_folder=out)
        self.assertEqual(first["total"], 2)
        second = self.batch(folder=link, sources=("ma", "mb"), outputs=("mb",), output_folder=out)
        self.assertEqual(second["total"], 2)
        self.assertEqual(files_under(out), ["a.mb", "a_001.mb", "b.mb", "b_001.mb"])


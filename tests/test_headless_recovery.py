"""What a resume needs is never lost, and what a batch could not do is
said: an output a killed controller published before journalling it
survives `clean` and other batches in the folder; a journal that cannot be
written stops the batch in one line and a resume finishes it with one
output per source; a workers' log that cannot be written fails no source;
a folder the listing could not read is in the results, the report and the
exit status."""

import errno
import json
import os
import pwd
import shutil
import subprocess
import sys
import traceback
import unittest

from headless_support import COMMAND, MAYAPY, HeadlessTestCase, files_under, journal_lines, velmora
from test_headless_promises import fill, mount_tmpfs

BOTH = ["a.fbx", "a.ma", "a.mb", "b.fbx", "b.ma", "b.mb"]


@unittest.skipUnless(shutil.which("strace"), "kills the controller at a chosen link with strace")
class KilledAfterPublishing(HeadlessTestCase):
    """SIGKILL on entering the second link: a.mb is in place under its
    name, a.fbx is not, and a has no record."""

    def setUp(self):
        super().setUp()
        self.scenes("a.ma", "b.ma")
        argv = ["strace", "-f", "-qq", "-o", os.devnull, "-e", "inject=link,linkat:signal=SIGKILL:when=2",
                sys.executable, "-c", COMMAND, self.folder, "--mayapy", MAYAPY, "--journal", self.journal,
                "--outputs", "mb,fbx", "--jobs", "1"]
        killed = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(killed.returncode, -9)
        self.assertIn("a.mb", files_under(self.folder))
        self.assertEqual([r for r in journal_lines(self.journal) if "source" in r], [])

    def resume(self):
        results = self.batch(outputs=("mb", "fbx"), jobs=1, resume=True)
        self.assertEqual((results["converted"], results["failed"]), (2, []))
        self.assertEqual(sorted(os.path.basename(p) for p in results["outputs"]), ["a.fbx", "a.mb", "b.fbx", "b.mb"])
        self.assertEqual(files_under(self.folder), BOTH)  # no a_001.mb, nothing temporary

    def test_clean_first_then_resume_writes_a_mb_once(self):
        cleaned = subprocess.run([sys.executable, "-c", COMMAND, "clean", self.folder],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(cleaned.returncode, 0, cleaned.stderr)
        self.assertIn(b".velmora-", cleaned.stdout)  # the published temporary name went
        self.resume()

    def test_another_batch_in_the_folder_first_then_resume_writes_a_mb_once(self):
        other = self.batch(journal=self.path("other.journal"), include=["nothing-matches"])
        self.assertEqual(other["total"], 0)
        self.resume()

    def test_a_journal_without_publish_lines_resumes_through_the_temporary_name(self):
        # As an older version left it: no publish line, the temporary name
        # still a second link to a.mb.
        with open(self.journal, "rb") as f:
            lines = [line for line in f.read().split(b"\n") if line and b'"publish"' not in line]
        header = json.loads(lines[0].decode())
        header.pop("notes_publishing")
        lines[0] = json.dumps(header).encode()
        with open(self.journal, "wb") as f:
            f.write(b"\n".join(lines) + b"\n")
        self.resume()


NAMES = ["s%02d_%s.ma" % (i, "x" * 120) for i in range(24)]


class TheBatchsOwnDisk(HeadlessTestCase):
    """The journal (and by default the workers' logs) on a small tmpfs that
    fills up while the batch runs; long names make each record long, so
    that the journal soon needs a page the disk no longer has."""

    def setUp(self):
        super().setUp()
        self.scenes(*NAMES)
        self.disk = mount_tmpfs(self, size="64k")
        self.journal = os.path.join(self.disk, "batch.journal")
        self.costs(save=0.05)

    def logs_elsewhere(self):
        logs = self.path("logs")
        os.makedirs(logs)
        os.symlink(logs, self.journal + ".logs")

    def assertOneOutputEach(self, results):
        self.assertEqual((results["total"], results["converted"], results["failed"], results["pending"]),
                         (24, 24, [], []))
        outputs = sorted(n[:-3] + ".mb" for n in NAMES)
        self.assertEqual(sorted(os.path.basename(p) for p in results["outputs"]), outputs)
        self.assertEqual(files_under(self.folder), sorted(NAMES + outputs))
        self.assertIn("Total: 24\nSuccess: 24\nFailed: 0\n", velmora.batch_report(results))

    def test_a_journal_that_cannot_be_written_stops_the_batch_and_a_resume_finishes_it(self):
        self.logs_elsewhere()
        fillers = []

        def fill_once(event):
            if event["event"] == "file" and not fillers:
                fillers.extend(fill(self.disk))
        with self.assertRaises(OSError) as caught:
            self.batch(outputs=("mb",), progress=fill_once)
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        self.assertEqual(str(caught.exception),
                         "the journal %s cannot be written (No space left on device); the batch stopped, "
                         "and resumes where it stopped once the journal can be written" % self.journal)
        self.assertTrue(all(r["converted"] for r in journal_lines(self.journal) if "source" in r))
        for f in fillers:
            os.remove(f)
        self.assertOneOutputEach(self.batch(outputs=("mb",), resume=True))

    def test_the_command_says_it_in_one_line_and_exits_3(self):
        self.logs_elsewhere()
        process = self.command("--outputs", "mb", "--jobs", "2")
        self.wait_for_records(1)
        fillers = fill(self.disk)
        _, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 3, err)
        self.assertEqual(err.decode().splitlines(),
                         ["velmora-batch: error: the journal %s cannot be written (No space left on device); "
                          "the batch stopped, and resumes where it stopped once the journal can be written"
                          % self.journal])
        for f in fillers:
            os.remove(f)
        self.assertOneOutputEach(self.batch(outputs=("mb",), resume=True))

    def test_logs_that_cannot_be_written_fail_no_source(self):
        # The journal elsewhere, the logs' folder on the full disk.
        logs = os.path.join(self.disk, "logs")
        os.makedirs(logs)
        self.journal = self.path("batch.journal")
        os.symlink(logs, self.journal + ".logs")
        fill(self.disk)
        events = []
        results = self.batch(outputs=("mb",), progress=events.append)
        self.assertOneOutputEach(results)
        warnings = [e["message"] for e in events if e["event"] == "warning"]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertRegex(warnings[0], r"^the workers' logs cannot be written \(.*No space left on device\); "
                                      r"the workers go on without them$")


TEST_USER = "velmora-test"


def test_user():
    """The uid and gid of an unprivileged user, made when missing."""
    try:
        entry = pwd.getpwnam(TEST_USER)
    except KeyError:
        if subprocess.call(["useradd", "--no-create-home", TEST_USER], stderr=subprocess.DEVNULL) != 0:
            raise unittest.SkipTest("cannot add a test user")
        entry = pwd.getpwnam(TEST_USER)
    return entry.pw_uid, entry.pw_gid


def command_as(uid, gid, argv):
    """velmora-batch in a forked child that has become another user (this
    interpreter may lie where that user cannot run it): its exit status
    and what it wrote on stdout and stderr, together."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 99
        try:
            os.close(read)
            os.dup2(write, 1)
            os.dup2(write, 2)
            sys.stdout = sys.stderr = open(1, "w", closefd=False)
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            status = velmora.batch_main(argv)
        except BaseException:  # noqa: B902 - the child must never return into the tests
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            os._exit(status)
    os.close(write)
    with open(read, "rb") as f:
        out = f.read()
    return os.waitpid(pid, 0)[1] >> 8, out.decode()


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root, to run the batch as another user")
class UnreadFolder(HeadlessTestCase):
    def test_a_folder_the_listing_cannot_read_is_in_results_report_and_exit_status(self):
        # Its only scene is in a folder the user cannot list: no worker
        # starts (the user may not be able to run this interpreter).
        uid, gid = test_user()
        self.scenes("locked/b.ma")
        locked = os.path.join(self.folder, "locked")
        os.chmod(locked, 0)
        for path in (self.tmp, self.folder):
            os.chown(path, uid, gid)
        status, out = command_as(uid, gid, [self.folder, "--mayapy", MAYAPY, "--journal", self.journal,
                                            "--outputs", "mb"])
        self.assertEqual(status, 1, out)
        self.assertIn("Total: 0\nSuccess: 0\nFailed: 0\n", out)
        self.assertIn("\nFOLDERS NOT READ: 1\n  - %s\n    Permission denied\n" % locked, out)
        self.assertEqual(journal_lines(self.journal)[0]["unread"], [["locked", "Permission denied"]])
        # A resume (and its report) keeps them: the listing is not redone.
        os.chmod(locked, 0o755)
        results = self.batch(outputs=("mb",), resume=True)
        self.assertEqual(results["unread"], [(locked, "Permission denied")])
        self.assertTrue(velmora.batch_report(results).endswith(
            "\nFOLDERS NOT READ: 1\n  - %s\n    Permission denied" % locked))
        self.assertEqual(files_under(self.folder), ["locked/b.ma"])


if __name__ == "__main__":
    unittest.main()

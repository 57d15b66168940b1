"""What a dead batch leaves behind: its temporary files are found by its
lock (held for the batch's life, gone with its holder), removed by the next
batch over the folder or by `velmora-batch clean`, and never those of a
batch that is still running somewhere."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from headless_support import COMMAND, HeadlessTestCase, files_under, marked_pids, velmora


def is_leftover(name):
    return os.path.basename(name).startswith(".velmora-")


class LeftoversTestCase(HeadlessTestCase):
    def clean(self, folder=None):
        """velmora-batch clean FOLDER as a process of its own."""
        argv = [sys.executable, "-c", COMMAND, "clean", folder or self.folder]
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def leftovers(self):
        return [n for n in files_under(self.folder) if is_leftover(n)]

    def hold_lock(self, path):
        """A process of its own holding a shared POSIX record lock on `path`,
        as a running batch's controller does; ended by the test."""
        code = ("import fcntl, sys, time; f = open(sys.argv[1], 'a+'); "
                "fcntl.lockf(f, fcntl.LOCK_SH | fcntl.LOCK_NB); print('held', flush=True); time.sleep(600)")
        holder = subprocess.Popen([sys.executable, "-c", code, path], stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        return holder

    def touch(self, *parts):
        path = os.path.join(self.folder, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("partial\n")
        return path


@unittest.skipUnless(os.path.isdir("/proc"), "finds the workers through /proc")
class KilledBatches(LeftoversTestCase):
    """Batches on the simulated Maya killed whole while Maya writes."""

    def setUp(self):
        super().setUp()
        self.marker = "velmora-test-%d-%d" % (os.getpid(), id(self))
        self.setenv("VELMORA_TEST_MARKER", self.marker)

    def start_writing(self, count):
        """A batch whose saves last long, once its workers write `count`
        temporary files."""
        self.costs(save=60)
        controller = self.command("--outputs", "mb", "--jobs", str(count))
        self.addCleanup(self.kill_whole, controller)
        deadline = time.time() + 60
        while len([n for n in self.leftovers() if not n.endswith(".lock")]) < count:
            if time.time() > deadline or controller.poll() is not None:
                self.fail("the batch never wrote %d temporary files" % count)
            time.sleep(0.05)
        return controller

    def kill_whole(self, controller):
        """SIGKILL to the controller's process group and to each worker's
        (every worker has a session of its own)."""
        for pid in [controller.pid] + marked_pids(self.marker):
            try:
                os.killpg(pid, signal.SIGKILL)
            except OSError:
                pass
        controller.communicate()
        self.assertWorkersGone(self.marker)

    def test_the_next_batch_removes_what_a_killed_batch_left(self):
        self.scenes("a.ma", "sub/b.ma")
        self.kill_whole(self.start_writing(2))
        self.assertTrue(any(n.startswith("sub/") for n in self.leftovers()))
        self.costs(save=0)
        self.journal = self.path("next.journal")
        results = self.batch(outputs=("mb",))
        self.assertEqual((results["converted"], results["failed"]), (2, []))
        # No _001: the killed batch had published nothing, and left nothing.
        self.assertEqual(files_under(self.folder), ["a.ma", "a.mb", "sub/b.ma", "sub/b.mb"])

    def test_a_batch_killed_before_it_wrote_anything_leaves_no_lock_behind(self):
        self.scenes("sub/a.ma")  # nothing in the batch's own folder but its lock
        self.costs(initialize=60)
        controller = self.command("--outputs", "mb")
        self.addCleanup(self.kill_whole, controller)
        deadline = time.time() + 60
        while not self.leftovers():
            if time.time() > deadline or controller.poll() is not None:
                self.fail("the batch never took its lock")
            time.sleep(0.05)
        self.kill_whole(controller)
        self.costs(initialize=0)
        self.journal = self.path("next.journal")
        self.assertEqual(self.batch(outputs=("mb",))["converted"], 1)
        self.assertEqual(files_under(self.folder), ["sub/a.ma", "sub/a.mb"])

    def test_a_batch_writing_through_a_linked_subfolder_is_alive_wherever_it_is_reached_from(self):
        # The output folder's sub is a link to a folder elsewhere: the
        # batch's temporary file lies in there, its lock in the output folder.
        self.scenes("sub/a.ma")
        out, elsewhere = self.path("out"), self.path("elsewhere")
        os.makedirs(os.path.join(elsewhere, "real"))
        os.makedirs(out)
        os.symlink(os.path.join(elsewhere, "real"), os.path.join(out, "sub"))
        self.costs(save=3)
        controller = self.command("--outputs", "mb", "--output-folder", out)
        self.addCleanup(self.kill_whole, controller)
        deadline = time.time() + 30
        while not [n for n in files_under(elsewhere) if n.endswith(".mb")]:
            if time.time() > deadline or controller.poll() is not None:
                self.fail("the batch never wrote its temporary file")
            time.sleep(0.05)
        for folder in (elsewhere, os.path.join(elsewhere, "real"), out):
            status, text, err = self.clean(folder)
            self.assertEqual((status, err), (0, ""))
            self.assertEqual(text.splitlines()[-1], "Removed 0 files.", text)
        out_text, err_text = (t.decode() for t in controller.communicate(timeout=60))
        self.assertEqual(controller.returncode, 0, out_text + err_text)
        self.assertEqual(files_under(elsewhere), ["real/a.mb"])
        self.assertTrue(os.path.isfile(os.path.join(out, "sub", "a.mb")))

    def test_clean_leaves_a_running_batch_alone_and_removes_it_once_dead(self):
        self.scenes("a.ma", "b.ma")
        controller = self.start_writing(2)
        writing = self.leftovers()
        stats = {n: os.stat(os.path.join(self.folder, n)) for n in writing}
        status, out, err = self.clean()
        self.assertEqual((status, out, err), (0, "Removed 0 files.\n", ""))
        for name, before in stats.items():
            after = os.stat(os.path.join(self.folder, name))
            self.assertEqual((after.st_ino, after.st_dev), (before.st_ino, before.st_dev))
        self.assertIsNone(controller.poll())

        self.kill_whole(controller)
        status, out, err = self.clean()
        self.assertEqual(status, 0)
        lines = out.splitlines()
        self.assertEqual(sorted(lines[:-1]), sorted(os.path.join(self.folder, n) for n in writing))
        self.assertEqual(lines[-1], "Removed %d files." % len(writing))
        self.assertTrue(any(n.endswith(".lock") for n in writing))
        self.assertEqual(files_under(self.folder), ["a.ma", "b.ma"])


class CleanDecidedByTheLock(LeftoversTestCase):
    """The lock alone decides, wherever above its files it lies; no Maya."""

    def test_a_lock_held_in_a_folder_above_keeps_its_files(self):
        temp = self.touch("sub", "deeper", ".velmora-0a1b2c.3.mb")
        lock = self.touch(".velmora-0a1b2c.lock")
        holder = self.hold_lock(lock)
        self.assertEqual(self.clean(os.path.join(self.folder, "sub")), (0, "Removed 0 files.\n", ""))
        self.assertEqual(self.clean(), (0, "Removed 0 files.\n", ""))
        self.assertTrue(os.path.exists(temp) and os.path.exists(lock))
        holder.kill()
        holder.wait()
        status, out, _ = self.clean(os.path.join(self.folder, "sub"))
        self.assertEqual(out, "%s\n%s\nRemoved 2 files.\n" % (temp, lock))
        self.assertEqual(files_under(self.folder), [])

    def test_files_without_a_lock_and_stale_locks_go_other_files_stay(self):
        kept = [self.touch("a.ma"), self.touch(".velmora-notes.txt"), self.touch("sub", ".velmora-x.mb"),
                self.touch("sub", ".velmora-ab.lock.bak")]
        gone = [self.touch("sub", ".velmora-ff00.0.fbx"), self.touch("sub", ".velmora-ff00.12.mb"),
                self.touch("other", ".velmora-77.lock")]
        status, out, err = self.clean()
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(sorted(out.splitlines()[:-1]), sorted(gone))
        self.assertEqual(out.splitlines()[-1], "Removed 3 files.")
        self.assertEqual(sorted(os.path.join(self.folder, n) for n in files_under(self.folder)),
                         sorted(kept))

    def test_undecodable_names_do_not_stop_it(self):
        folder = os.fsdecode(b"caf\xe9 \"q\"")
        for name in (b".velmora-ab\xff.1.mb", b".velmora-ab\xff.lock", b".velmora-cd.2.fbx"):
            self.touch(folder, os.fsdecode(name))
        status, out, err = self.clean()
        self.assertEqual((status, err, out.splitlines()[-1]), (0, "", "Removed 3 files."))
        self.assertEqual(files_under(self.folder), [])

    def test_a_missing_folder_is_one_line_and_exit_2(self):
        status, out, err = self.clean(self.path("missing"))
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(len(err.splitlines()), 1)
        self.assertIn("folder not found", err)


def other_user():
    """(uid, gid) of a second user, made when missing."""
    import pwd
    name = "velmora-other"
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", name], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        entry = pwd.getpwnam(name)
    return entry.pw_uid, entry.pw_gid


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root to act as a second user")
class AnotherUsersLeftovers(LeftoversTestCase):
    """Files a dead batch of one user left, cleaned by another, who may
    remove files in the folder but not write to the lock file."""

    def setUp(self):
        super().setUp()
        try:
            self.uid, self.gid = other_user()
        except (OSError, subprocess.CalledProcessError) as error:
            self.skipTest("no second user: %s" % error)
        os.chmod(self.tmp, 0o755)
        os.chmod(self.folder, 0o777)

    def clean_as_other(self, folder=None):
        """velmora-batch clean FOLDER in a forked child that has become the
        other user (whose exec of this interpreter may be refused)."""
        out, err = (tempfile.TemporaryFile() for _ in range(2))
        self.addCleanup(out.close)
        self.addCleanup(err.close)
        pid = os.fork()
        if pid == 0:
            status = 70
            try:
                os.dup2(out.fileno(), 1)
                os.dup2(err.fileno(), 2)
                sys.stdout = open(1, "w", closefd=False)
                sys.stderr = open(2, "w", closefd=False)
                os.setgid(self.gid)
                os.setuid(self.uid)
                status = velmora.batch_main(["clean", folder or self.folder])
            except SystemExit as stop:
                status = stop.code if isinstance(stop.code, int) else 1
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        out.seek(0)
        err.seek(0)
        return os.WEXITSTATUS(status), out.read().decode(), err.read().decode()

    def leave(self, batch, folder=""):
        """A lock file and a temporary file of `batch`, owned by this user, 0644."""
        lock = self.touch(folder, ".velmora-%s.lock" % batch)
        temp = self.touch(folder, ".velmora-%s.0.mb" % batch)
        for path in (lock, temp):
            os.chmod(path, 0o644)
        return lock, temp

    def test_a_dead_batch_of_another_user_is_removed_a_live_one_kept(self):
        dead = self.leave("dead01")
        live = self.leave("live01")
        holder = self.hold_lock(live[0])
        status, out, err = self.clean_as_other()
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(sorted(out.splitlines()[:-1]), sorted(dead))
        self.assertEqual(out.splitlines()[-1], "Removed 2 files.")
        self.assertEqual(sorted(os.path.join(self.folder, n) for n in files_under(self.folder)),
                         sorted(live))
        holder.kill()
        holder.wait()
        status, out, err = self.clean_as_other()
        self.assertEqual((status, out.splitlines()[-1]), (0, "Removed 2 files."))
        self.assertEqual(files_under(self.folder), [])

    def test_files_it_may_not_remove_are_named_and_counted(self):
        kept = self.leave("dead02", "closed")
        os.chmod(os.path.join(self.folder, "closed"), 0o755)   # not the other user's to change
        gone = self.leave("dead03", "open")
        os.chmod(os.path.join(self.folder, "open"), 0o777)
        status, out, err = self.clean_as_other()
        lines = out.splitlines()
        self.assertEqual(status, 1, out + err)
        self.assertEqual(sorted(l for l in lines if l.startswith("/")), sorted(gone))
        refused = [l for l in lines if l.startswith("could not remove ")]
        self.assertEqual(len(refused), 2, out)
        for path in kept:
            self.assertTrue(any(path in l and "Permission denied" in l for l in refused), out)
            self.assertTrue(os.path.exists(path))
        self.assertEqual(lines[-2:], ["Removed 2 files.", "Could not remove 2 files."])


if __name__ == "__main__":
    unittest.main()

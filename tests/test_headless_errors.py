"""What a caller of the headless batch sees when something goes wrong: an
error of its own progress callable comes back as that very error, with
the workers stopped, the journal closed and the signal handlers as they
were; and every way a batch can end maps to one Python exception and one
exit status, the same for velmora.batch, velmora-batch and run-task."""

import os
import signal
import stat
import subprocess
import sys
import time

from headless_support import MAYAPY, HeadlessTestCase, files_under, journal_lines, mayasim
from support import BUILD, SIM

COMMAND = ("import sys; sys.path[:0] = [%r, %r]; import velmora; "
           "sys.exit(velmora.batch_main(sys.argv[1:]))" % (SIM, BUILD))


class CallbackFailed(Exception):
    pass


def open_files_of_this_process():
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.append(os.readlink(os.path.join("/proc/self/fd", fd)))
        except OSError:
            pass
    return found


def gone(pid, timeout=10):
    """True once no process `pid` is left (reaped, not a zombie)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().split(") ")[-1].startswith("Z"):
                    return False  # ended but never reaped
        except OSError:
            return True
        time.sleep(0.05)
    return False


class ErrorsOfTheProgressCallable(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.scenes("a.ma", "b.ma", "c.ma", "d.ma")
        self.pids = []

    def raising_at(self, event, error):
        def progress(e):
            if e["event"] == "worker" and e["pid"] is not None:
                self.pids.append(e["pid"])
            if e["event"] == event:
                raise error
        return progress

    def assertCleanedUp(self, handlers):
        self.assertEqual((signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)), handlers)
        if os.path.isdir("/proc/self/fd"):
            self.assertNotIn(os.path.realpath(self.journal), open_files_of_this_process())
        self.assertEqual([pid for pid in set(self.pids) if not gone(pid)], [])
        self.assertNoTemporaryFiles()

    def test_the_callables_own_error_reaches_the_caller(self):
        handlers = (signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM))
        for event in ("start", "worker", "file", "end"):
            for error in (CallbackFailed("progress broke at " + event), KeyboardInterrupt()):
                with self.subTest(event=event, error=type(error).__name__):
                    self.pids = []
                    # Each a batch of its own, not a second run of the last.
                    self.journal = self.path("%s-%s.journal" % (event, type(error).__name__))
                    with self.assertRaises(type(error)) as caught:
                        self.batch(outputs=("mb",), progress=self.raising_at(event, error))
                    self.assertIs(caught.exception, error)
                    self.assertCleanedUp(handlers)

    def test_a_batch_stopped_by_its_callable_resumes(self):
        with self.assertRaises(CallbackFailed):
            self.batch(outputs=("mb",), progress=self.raising_at("file", CallbackFailed("once")))
        results = self.batch(outputs=("mb",), resume=True)
        self.assertEqual((results["converted"], results["pending"]), (4, []))
        self.assertEqual(files_under(self.folder), ["a.ma", "a.mb", "b.ma", "b.mb", "c.ma", "c.mb",
                                                    "d.ma", "d.mb"])


def interrupt_at_first_file(event):
    """A progress callable that sends this process Ctrl-C once a file is done."""
    if event["event"] == "file" and event["done"] == 1:
        os.kill(os.getpid(), signal.SIGINT)


class OneMappingOfEndings(HeadlessTestCase):
    """Each ending of a batch is one Python exception and one exit status,
    whoever runs the batch."""

    def folder_of(self, name, *scenes):
        folder = self.path(name)
        os.makedirs(folder)
        for scene in scenes:
            mayasim.write_scene(os.path.join(folder, scene), fmt="ma")
        return folder

    def broken_mayapy(self):
        path = self.path("mayapy")
        with open(path, "w") as f:
            f.write("#!/bin/sh\necho 'licence not found' >&2\nexit 1\n")
        os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        return path

    def test_an_interrupted_batch_raises_keyboard_interrupt_once_its_journal_is_closed(self):
        self.costs(save=0.1)
        journal = self.path("interrupted.journal")
        before = signal.getsignal(signal.SIGINT)
        with self.assertRaises(KeyboardInterrupt):
            self.batch(folder=self.folder_of("stopped", *["s%d.ma" % i for i in range(6)]),
                       outputs=("mb",), jobs=1, journal=journal, progress=interrupt_at_first_file)
        last = journal_lines(journal)[-1]
        self.assertEqual((last.get("run"), last.get("interrupted")), ("end", True))
        self.assertEqual(signal.getsignal(signal.SIGINT), before)

    def run_command(self, *argv):
        return subprocess.run([sys.executable, "-c", COMMAND] + list(argv), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120)

    def test_a_batch_error_is_exit_1_with_its_line_from_the_command_and_run_task(self):
        broken = self.broken_mayapy()
        jobdir = self.plan(self.folder_of("farmed", "a.ma"), broken)
        for argv in ([self.folder_of("error", "a.ma"), "--mayapy", broken, "--journal", self.journal],
                     ["run-task", jobdir, "0"]):
            with self.subTest(argv[0]):
                done = self.run_command(*argv)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn("velmora-batch: error: mayapy did not start", done.stderr)

    def plan(self, folder, mayapy):
        jobdir = self.path("job-" + os.path.basename(folder))
        done = self.run_command("plan", folder, "--outputs", "mb", "--tasks", "1", "--out", jobdir,
                                "--mayapy", mayapy)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return jobdir

    def test_an_interrupted_task_exits_130_and_says_how_to_finish(self):
        folder = self.folder_of("farmed", *["s%d.ma" % i for i in range(6)])
        jobdir = self.plan(folder, MAYAPY)
        task = subprocess.Popen([sys.executable, "-c", COMMAND, "run-task", jobdir, "0", "--jobs", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                                env=dict(os.environ, MAYASIM_COST_SAVE="0.3"))
        try:
            journal = os.path.join(jobdir, "tasks", "task-0000.journal")
            deadline = time.time() + 60
            while time.time() < deadline and not (
                    os.path.exists(journal) and any("source" in r for r in journal_lines(journal))):
                time.sleep(0.05)
            task.send_signal(signal.SIGINT)
            out, err = task.communicate(timeout=60)
        finally:
            if task.poll() is None:
                task.kill()
                task.wait()
        self.assertEqual(task.returncode, 130, out + err)
        self.assertIn("files not converted yet; run the task again to finish it.", out)

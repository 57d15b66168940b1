"""What a caller of the headless batch sees when something goes wrong: an
error of its own progress callable comes back as that very error, with
the workers stopped, the journal closed and the signal handlers as they
were; and every way a batch can end maps to one Python exception and one
exit status, the same for velmora.batch, velmora-batch and run-task."""

import contextlib
import io
import os
import signal
import stat
import subprocess
import sys
import time

from headless_support import MAYAPY, HeadlessTestCase, files_under, journal_lines, velmora
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

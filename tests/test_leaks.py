"""The same work done many times in one process leaves nothing behind:
whole batches through the window (clean, with failures, interrupted), the
report and its saving, the help and about windows.

Object counts by type, the reference counts of objects the module is
handed, the interpreter's traced memory and the process's resident size
are compared between a point after a warm-up and the same point many
rounds later. (valgrind's view of the module's own C++ allocations is
tools/memcheck.)"""

import collections
import gc
import io
import os
import sys
import tracemalloc
import unittest
import weakref
from unittest import mock

from support import HostTestCase, host, velmora
import mayasim

ROUNDS = int(os.environ.get("VELMORA_LEAK_ROUNDS", "80"))
WARM_UP = 15
# Traced memory may differ by what the interpreter's free lists happen to
# hold (tuples, dicts, floats), which is bounded; a leak grows with the
# rounds: one leaked str per log line would be several kilobytes a round.
TRACED_SLACK = 48 * 1024
RESIDENT_SLACK = 8 * 1024 * 1024


class Discard(io.TextIOBase):
    """A console that keeps nothing (a StringIO would grow with every round)."""

    def writable(self):
        return True

    def write(self, text):
        return len(text)


def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


class Rounds(HostTestCase):
    def setUp(self):
        super(Rounds, self).setUp()
        self.folder = self.path("scenes {0} 100%")
        for name in ("a.ma", os.path.join("sub", "b.ma"), "\u30b7\u30fc\u30f3.ma"):
            os.makedirs(os.path.dirname(os.path.join(self.folder, name)) or self.folder,
                        exist_ok=True)
            mayasim.write_scene(os.path.join(self.folder, name))
        with open(os.path.join(self.folder, "broken.ma"), "w") as f:
            f.write("not a scene")
        self.sources = set(self.files())
        self.probe = RuntimeError("probe")
        self.converters = weakref.WeakSet()

    def files(self):
        for root, _, names in os.walk(self.folder):
            for name in names:
                yield os.path.join(root, name)

    def one_round(self, n):
        """A batch through the window, with one kind of trouble in turn, then
        the report saved, and help and about opened."""
        mayasim.reset()
        velmora.show()
        start = host.ui.find(kind="button", label="Start Conversion", window="velmoraWin")[0]
        conv = host.ui.control(start).state["command"].__self__
        self.converters.add(conv)
        host.file_dialog_answers.append([self.folder])
        host.press(host.ui.find(kind="button", label="...", window="velmoraWin")[0])
        host.ui.set(conv.out_mb, value=True)
        host.ui.set(conv.out_fbx, value=True)
        host.ui.set(conv.fbx_preset, value=("Default", "Animation", "Models Only")[n % 3])
        kind = n % 4
        if kind == 1:
            host.fail("file", nth=4, error=self.probe)
            host.fail("mel.eval", nth=3, error=self.probe)
        elif kind == 2:
            host.fail("currentUnit", nth=3, error=KeyboardInterrupt())
        elif kind == 3:
            host.fail("progressBar", nth=2, error=self.probe)
        try:
            host.press(start)
        except KeyboardInterrupt:
            pass
        host.run_idle()
        save = host.ui.find(kind="button", label="Save to File", window="statsWin")
        if save:
            host.file_dialog_answers.append([self.path("report")])
            host.press(save[0])
        conv.show_help()
        conv.show_about()
        del conv
        for path in self.files():
            if path not in self.sources:
                os.remove(path)

    def measure(self):
        mayasim.reset()
        # The probe keeps the traceback of its latest raise, frames and all.
        self.probe.__traceback__ = self.probe.__context__ = None
        gc.collect()
        counts = dict(collections.Counter(type(o).__name__ for o in gc.get_objects()))
        refs = dict((name, sys.getrefcount(obj)) for name, obj in (
            ("Velmora class", velmora.Velmora), ("folder", self.folder),
            ("LOG_FILE", velmora.Velmora.LOG_FILE), ("probe error", self.probe)))
        return counts, refs, tracemalloc.get_traced_memory()[0], resident_bytes()

    def test_rounds_leave_nothing_behind(self):
        with mock.patch.object(sys, "stdout", Discard()), \
                mock.patch.object(sys, "stderr", Discard()):
            tracemalloc.start()
            try:
                # The first measurement fills caches of its own (isinstance's).
                self.measure()
                for n in range(WARM_UP):
                    self.one_round(n)
                counts0, refs0, traced0, rss0 = self.measure()
                for n in range(WARM_UP, WARM_UP + ROUNDS):
                    self.one_round(n)
                counts1, refs1, traced1, rss1 = self.measure()
            finally:
                tracemalloc.stop()
        self.assertEqual(refs1, refs0)
        grown = dict((k, n - counts0.get(k, 0)) for k, n in counts1.items() if n > counts0.get(k, 0))
        self.assertEqual(grown, {})
        self.assertLess(traced1 - traced0, TRACED_SLACK,
                        "traced memory grew from {} to {}".format(traced0, traced1))
        # Under a memory checker the resident size holds its quarantine of
        # freed blocks; it says nothing about the module there.
        checked = "asan" in os.environ.get("LD_PRELOAD", "") or "PYTHONMALLOC" in os.environ
        if rss0 is not None and not checked:
            self.assertLess(rss1 - rss0, RESIDENT_SLACK)
        # Every converter went with its window.
        self.assertEqual(len(self.converters), 0)
        sys.stderr.write("\nleaks: {} rounds; traced {} -> {} bytes; resident {} -> {} KiB\n".format(
            ROUNDS, traced0, traced1, (rss0 or 0) // 1024, (rss1 or 0) // 1024))


if __name__ == "__main__":
    unittest.main()

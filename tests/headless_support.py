"""Fixtures for the headless batch: real worker processes through the
simulated mayapy, a folder of scenes per test, and the controller run in
this process or as a process of its own (to be killed)."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

from support import BUILD, ROOT, SIM, HostTestCase, host, velmora
import mayasim

MAYAPY = os.path.join(SIM, "bin", "mayapy")
COMMAND = ("import sys; sys.path[:0] = [%r, %r]; import velmora; "
           "sys.exit(velmora.batch_main(sys.argv[1:]))" % (SIM, BUILD))


def batch_command(*args):
    """velmora-batch with `args` as a process of its own: (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", COMMAND] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def files_under(folder):
    """Every file below `folder`, relative, sorted."""
    return sorted(os.path.relpath(os.path.join(r, f), folder)
                  for r, _, fs in os.walk(folder) for f in fs)


def journal_lines(path):
    with open(path, "rb") as f:
        return [json.loads(line) for line in f.read().split(b"\n") if line]


def marked_pids(marker):
    """The processes whose environment carries `marker`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if marker.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


@unittest.skipUnless(os.name == "posix", "the simulated mayapy is a POSIX script")
class HeadlessTestCase(HostTestCase):
    """Workers are real mayapy processes of the simulator, running this
    interpreter; costs and misbehaving scenes come from the environment and
    the scene files."""

    def setUp(self):
        super().setUp()
        self.folder = self.path("scenes")
        os.makedirs(self.folder)
        self.journal = self.path("batch.journal")
        for name, value in (("MAYASIM_PYTHON", sys.executable),):
            self.setenv(name, value)

    def setenv(self, name, value):
        saved = os.environ.get(name)
        os.environ[name] = value
        self.addCleanup(lambda: os.environ.pop(name, None) if saved is None
                        else os.environ.__setitem__(name, saved))

    def costs(self, **seconds):
        for op, value in seconds.items():
            self.setenv("MAYASIM_COST_" + op.upper(), str(value))

    def scenes(self, *names, **kw):
        for name in names:
            path = os.path.join(self.folder, name)
            if not os.path.isdir(os.path.dirname(path)):
                os.makedirs(os.path.dirname(path))
            mayasim.write_scene(path, fmt=name.rsplit(".", 1)[-1].lower(), **kw)
        return self.folder

    def batch(self, **kw):
        kw.setdefault("mayapy", MAYAPY)
        kw.setdefault("journal", self.journal)
        kw.setdefault("jobs", 2)
        return velmora.batch(kw.pop("folder", self.folder), **kw)

    def command(self, *args):
        """The velmora-batch command as a process of its own."""
        argv = [sys.executable, "-c", COMMAND, self.folder, "--mayapy", MAYAPY,
                "--journal", self.journal] + list(args)
        return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)

    def wait_for_records(self, count, timeout=30):
        """Blocks until the journal holds `count` finished sources."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if os.path.exists(self.journal):
                done = [r for r in journal_lines(self.journal) if "source" in r]
                if len(done) >= count:
                    return done
            time.sleep(0.02)
        self.fail("the journal never held %d records" % count)

    def assertNoTemporaryFiles(self, folder=None):
        left = [f for f in files_under(folder or self.folder)
                if os.path.basename(f).startswith(".velmora-")]
        self.assertEqual(left, [])

    def assertWorkersGone(self, marker, timeout=10):
        """No process whose environment carries `marker` is left."""
        deadline = time.time() + timeout
        while True:
            alive = marked_pids(marker)
            if not alive:
                return
            if time.time() > deadline:
                for pid in alive:
                    os.kill(pid, signal.SIGKILL)
                self.fail("workers still running after their controller died: %s" % alive)
            time.sleep(0.05)


__all__ = ["HeadlessTestCase", "MAYAPY", "files_under", "journal_lines", "marked_pids", "host", "velmora",
           "mayasim", "ROOT"]

"""Shared test fixtures: the simulated Maya on sys.path, the built module,
and a converter whose log goes to a temporary folder."""

import os
import re
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build"))

for path in (SIM, BUILD):
    if path not in sys.path:
        sys.path.insert(0, path)

import mayasim  # noqa: E402
import velmora  # noqa: E402

host = mayasim.host
STAMP = re.compile(r"^\[\d\d:\d\d:\d\d\] ")


class HostTestCase(unittest.TestCase):
    """A fresh simulated Maya, a temporary folder, and the class's log file
    pointed into it for the duration of each test. With `windows_paths` set
    (windows_paths.also_under_windows_paths sets it on a twin class), the
    module sees Windows' path rules and the folder is given in Windows form."""

    windows_paths = False

    def setUp(self):
        mayasim.reset()
        self.tmp = tempfile.mkdtemp(prefix="velmora-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        if self.windows_paths:
            import windows_paths
            rules = windows_paths.WindowsPaths(velmora)
            rules.__enter__()
            self.addCleanup(rules.__exit__, None, None, None)
            self.tmp = windows_paths.to_windows(self.tmp)
        self.log_path = self.path("converter_log.txt")
        saved = velmora.Velmora.LOG_FILE
        velmora.Velmora.LOG_FILE = self.log_path
        self.addCleanup(setattr, velmora.Velmora, "LOG_FILE", saved)

    def path(self, *parts):
        """A path in the test's folder, joined as the module's os.path joins."""
        import ntpath
        return (ntpath if self.windows_paths else os.path).join(self.tmp, *parts)

    def mel_path(self, path):
        """`path` as an export command names it: on Windows with forward slashes."""
        return path.replace("\\", "/") if self.windows_paths else path

    def only_posix(self, names):
        """The names a file can have here: on Windows a backslash separates."""
        return [n for n in names if not (self.windows_paths and "\\" in n)]

    def read_log(self):
        with open(self.log_path, encoding="utf-8") as f:
            return f.read()

    def log_messages(self):
        """The lines of the log after the header, with their time stamps cut
        (a message that begins with a line break leaves an empty line)."""
        body = self.read_log().split("\n\n", 1)[1]
        return [STAMP.sub("", line, count=1) for line in body.split("\n")[:-1]]

    def calls(self, since=0):
        """The journal as (command, args, flags) triples."""
        return [(c.command, c.args, c.flags) for c in host.journal[since:]]

    def converter(self):
        return velmora.Velmora()


def conversion_controls(conv, window="conversionTestWin"):
    """The two controls scene conversion reads, in a window of their own, for
    tests that convert without building the main window."""
    cmds = velmora.cmds
    cmds.window(window)
    cmds.columnLayout()
    conv.skip_existing_check = cmds.checkBox(label="Skip existing files", v=False)
    conv.fbx_preset = cmds.optionMenu(label="FBX Preset")
    for label in ("Default", "Animation", "Models Only"):
        cmds.menuItem(label=label)

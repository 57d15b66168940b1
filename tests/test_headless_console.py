"""The live progress line of velmora-batch on a real terminal (a
pseudo-terminal, its width from COLUMNS): names in several bytes per
character, wide, combining and undecodable never stop the batch, and the
line never runs past the terminal's width."""

import os
import pty
import select
import shutil
import subprocess
import sys
import time
import unicodedata

from headless_support import MAYAPY, HeadlessTestCase, files_under
from support import BUILD, SIM

COMMAND = ("import sys; sys.path[:0] = [%r, %r]; import velmora; "
           "sys.exit(velmora.batch_main(sys.argv[1:]))" % (SIM, BUILD))

NAMES = [
    "\u00e9" * 12 + ".ma",                      # two bytes a character
    "\u65e5\u672c\u8a9e\u306e\u30b7\u30fc\u30f3\u540d.ma",  # wide: two columns each
    "\uff21\uff22\uff23\uff24.ma",              # fullwidth Latin
    "e\u0301" * 9 + ".ma",                      # combining accents: no column of their own
    os.fsdecode(b"caf\xe9 \xff\xfe.ma"),         # undecodable bytes
    "\U0001f3ac\U0001f3ac clap.ma",              # four bytes, wide
]
# A sample of widths from 10 to 200 columns, the narrow end denser.
WIDTHS = (10, 11, 13, 17, 22, 29, 37, 44, 53, 61, 79, 96, 133, 200)


def columns(text):
    """Display width: wide and fullwidth characters take two columns,
    combining marks and format characters none."""
    width = 0
    for ch in text:
        if unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


def live_lines(output):
    """Each drawing of the live line: what follows "\\r\\x1b[K" up to the
    next carriage return or line break."""
    drawn = []
    for piece in output.split("\r\x1b[K")[1:]:
        line = piece.split("\n")[0].split("\r")[0]
        if not line.startswith("failed: "):
            drawn.append(line)
    return drawn


def run_on_terminal(argv, width, env, timeout=120):
    """Runs argv with a pseudo-terminal as stdin, stdout and stderr;
    returns (exit status, everything written to the terminal)."""
    master, slave = pty.openpty()
    try:
        child = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave,
                                 env=dict(env, COLUMNS=str(width), LINES="24"),
                                 start_new_session=True)
    finally:
        os.close(slave)
    chunks = []
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:  # EIO: the child's side is closed
                    data = b""
                if not data:
                    break
                chunks.append(data)
            elif child.poll() is not None:
                break
        else:
            child.kill()
    finally:
        os.close(master)
        status = child.wait()
    return status, b"".join(chunks).decode("utf-8", "replace")


class LiveLineOnATerminal(HeadlessTestCase):
    def test_every_width_with_hostile_names_ends_normally_within_the_width(self):
        self.scenes(*NAMES)
        env = dict(os.environ, MAYASIM_PYTHON=sys.executable, PYTHONIOENCODING="utf-8")
        for width in WIDTHS:
            with self.subTest(width=width):
                folder = self.path("w%d" % width)
                shutil.copytree(self.folder, folder)
                status, output = run_on_terminal(
                    [sys.executable, "-c", COMMAND, folder, "--mayapy", MAYAPY, "--outputs", "mb",
                     "--jobs", "2", "--journal", self.path("w%d.journal" % width)], width, env)
                self.assertEqual(status, 0, output)
                self.assertIn("Success: %d" % len(NAMES), output)
                drawn = live_lines(output)
                self.assertTrue(drawn, output)
                too_wide = [line for line in drawn if columns(line) > width - 1]
                self.assertEqual(too_wide, [])
                self.assertEqual(len(files_under(folder)), 2 * len(NAMES))

    def test_a_wide_terminal_shows_the_names_whole(self):
        self.scenes(NAMES[0], NAMES[1], NAMES[3])
        env = dict(os.environ, MAYASIM_PYTHON=sys.executable, PYTHONIOENCODING="utf-8")
        status, output = run_on_terminal(
            [sys.executable, "-c", COMMAND, self.folder, "--mayapy", MAYAPY, "--outputs", "mb",
             "--jobs", "1", "--journal", self.journal], 200, env)
        self.assertEqual(status, 0, output)
        shown = "\n".join(live_lines(output))
        for name in (NAMES[0], NAMES[1], NAMES[3]):
            self.assertIn("1: " + name, shown)


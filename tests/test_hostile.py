"""Hostile folders and file names, end to end through the main window: the
folder chosen with "...", the boxes ticked, "Start Conversion" pressed.
Whatever the folder holds, every other file is converted, the trouble is
named in the log or in a Maya warning, and nothing is overwritten."""

import builtins
import io
import os
import sys
import unittest
from unittest import mock

from support import HostTestCase, host, velmora
import mayasim
from mayasim import melparse, scene as simscene

NAME_MAX = 255
# 251 bytes: "<L>.fbx" fits NAME_MAX, a numbered "<L>_001.fbx" does not.
LONG = "L" * (NAME_MAX - len(".fbx"))

HOSTILE = [
    'quote"d', "back\\slash", "trailing\\", "line\nbreak", "cr\rtab\t",
    "{braces} {0} {name!r}", "100% %s %(x)d", ".hidden", "shot.v01.final",
    "caf\u00e9 \u30b7\u30fc\u30f3 \u20ac", os.fsdecode(b"bad\xff\xfe bytes"),
    "$gMainPane; `ls`", '" -s; FBXExport -f "elsewhere',
    'a"; system("touch pwned"); "',
    LONG,
]


class WindowCase(HostTestCase):
    """A user at the main window."""

    def setUp(self):
        super(WindowCase, self).setUp()
        # The console sees every log line; it is not what is tested here.
        patcher = mock.patch.object(sys, "stdout", io.StringIO())
        patcher.start()
        self.addCleanup(patcher.stop)

    def open_window(self):
        velmora.show()
        start = host.ui.find(kind="button", label="Start Conversion", window="velmoraWin")[0]
        self.start_button = start
        return host.ui.control(start).state["command"].__self__

    def run_window(self, folder, outputs=("ma", "mb", "fbx"), sources=("ma", "mb", "fbx"),
                   recursive=True, skip=False, preset="Animation"):
        conv = self.open_window()
        host.file_dialog_answers.append([folder])
        host.press(host.ui.find(kind="button", label="...", window="velmoraWin")[0])
        for fmt in ("ma", "mb", "fbx"):
            host.ui.set(getattr(conv, "out_" + fmt), value=fmt in outputs)
            host.ui.set(getattr(conv, "src_" + fmt), value=fmt in sources)
        host.ui.set(conv.recursive_check, value=recursive)
        host.ui.set(conv.skip_existing_check, value=skip)
        host.ui.set(conv.fbx_preset, value=preset)
        host.press(self.start_button)
        return conv

    def snapshot(self, folder):
        """Every file under the folder, by path, with its content."""
        found = {}
        for root, dirs, names in os.walk(folder):
            for name in names:
                path = os.path.join(root, name)
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        found[path] = f.read()
        return found

    def assertUntouched(self, before):
        for path, content in before.items():
            with open(path, "rb") as f:
                self.assertEqual(f.read(), content, path)

    def assertWrittenOnce(self):
        written = [p for p, _ in host.saved_files] + [e["path"] for e in host.fbx_exports]
        self.assertEqual(len(written), len(set(written)))

    def assertFinished(self, conv):
        messages = self.log_messages()
        self.assertIn(">>> Exited finally block", messages)
        self.assertTrue(host.main_pane_managed)
        self.assertFalse(host.wait_cursor)
        self.assertEqual(velmora.cmds.button(conv.convert_btn, q=True, en=True), True)
        self.assertEqual(host.run_idle(), 1)
        self.assertEqual(host.deferred_errors, [])
        return messages

    def scene(self, *parts, **kw):
        path = self.path(*parts)
        if not os.path.isdir(os.path.dirname(path)):
            os.makedirs(os.path.dirname(path))
        return mayasim.write_scene(path, **kw)


class HostileNames(WindowCase):
    def test_every_name_converts_to_exactly_its_own_outputs(self):
        folder = self.path("in")
        names = list(HOSTILE)
        for name in names:
            self.scene("in", name + ".ma", unit="pal")
        # Upper-case and mixed extensions, a name that is only an extension,
        # names that are not scenes, a folder with a name like a scene.
        self.scene("in", "LOUD.MA", unit="pal")
        self.scene("in", "Mixed.Mb", unit="pal", fmt="mb")
        self.scene("in", ".ma", unit="pal")
        for other in ("scene", "notes.ma.bak", "scene_ma"):
            with open(self.path("in", other), "w") as f:
                f.write("not a scene")
        self.scene("in", "folder.ma", "inside.ma", unit="pal")
        sub = 'sub "dir" {x} 100%\\ \u00e9 ' + os.fsdecode(b"\xff")
        self.scene("in", sub, 'nested"quote.mb', unit="pal", fmt="mb")
        # A numbered name longer than NAME_MAX cannot be written: its output
        # fails with a message, the other formats of that file are written.
        with open(self.path("in", LONG + ".fbx"), "w") as f:
            f.write("user's file")
        before = self.snapshot(folder)
        cwd = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, cwd)

        conv = self.run_window(folder, sources=("ma", "mb"))
        messages = self.assertFinished(conv)
        self.assertUntouched(before)
        self.assertWrittenOnce()
        self.assertFalse(os.path.exists(self.path("pwned")))
        self.assertFalse(os.path.exists(self.path("elsewhere")))

        expected = {}
        for name in names + ["folder.ma/inside"]:
            base = self.path("in", *name.split("/"))
            expected[base + ".ma"] = ["mb", "fbx"]
        # A name that is only an extension has none: every format is written.
        expected[self.path("in", ".ma")] = ["ma", "mb", "fbx"]
        expected[self.path("in", "LOUD.MA")] = ["mb", "fbx"]
        expected[self.path("in", "Mixed.Mb")] = ["ma", "fbx"]
        expected[self.path("in", sub, 'nested"quote.mb')] = ["ma", "fbx"]
        opened = [c.args[0] for c in host.calls("file") if ("open", True) in c.flags]
        self.assertEqual(sorted(opened), sorted(expected))
        self.assertEqual((conv.total_files, conv.processed_files), (len(expected),) * 2)

        taken = self.path("in", LONG + ".fbx")
        for source, formats in expected.items():
            base = os.path.splitext(source)[0]
            for fmt in formats:
                out = base + "." + fmt
                if out == taken:
                    continue
                self.assertEqual(mayasim.read_scene(out)["unit"], "pal", repr(out))
        exported = sorted(e["path"] for e in host.fbx_exports)
        self.assertEqual(exported, sorted(os.path.splitext(s)[0] + ".fbx" for s in expected
                                          if not s.startswith(self.path("in", LONG))))
        # Each export command is one FBXExport of exactly that path.
        commanded = []
        for call in host.calls("mel.eval"):
            if call.args[0].startswith("FBXExport -f"):
                (kind, path, selected), = melparse.parse(call.args[0], True)
                commanded.append(path)
        numbered = self.path("in", LONG + "_001.fbx")
        self.assertEqual(sorted(commanded), sorted(exported + [numbered]))
        # The one output that could not be named: a clear error, the file
        # still counts as converted through its FBX, nothing else failed.
        errors = [m for m in messages if m.startswith("  ERROR")]
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].startswith("  ERROR FBX: "), errors)
        self.assertIn(LONG + "_001.fbx", errors[0])
        self.assertEqual(conv.failed_files, [])
        self.assertEqual(conv.successful_files, len(expected))
        # Every name is in the log as it is (undecodable bytes escaped).
        with open(self.log_path, encoding="utf-8", newline="") as f:
            log = f.read()
        for name in names[:-1]:
            shown = (name + ".fbx").encode("utf-8", "backslashreplace").decode("utf-8")
            self.assertIn("  Saved FBX: " + shown + "\n", log, repr(name))



class HostileFolders(WindowCase):
    def assertConverted(self, *sources):
        for source in sources:
            self.assertTrue(os.path.isfile(os.path.splitext(source)[0] + ".mb"), source)

    def test_link_loops(self):
        good = self.scene("in", "sub", "good.ma")
        try:
            os.symlink(self.path("in", "sub"), self.path("in", "sub", "loop"))
            os.symlink("self.ma", self.path("in", "sub", "self.ma"))
        except (OSError, NotImplementedError):
            self.skipTest("no symbolic links here")
        conv = self.run_window(self.path("in"), outputs=("mb",))
        messages = self.assertFinished(conv)
        # The folder link is not followed; the looping file link is a source
        # that cannot be opened, and says so.
        loop = self.path("in", "sub", "self.ma")
        self.assertEqual([c.args[0] for c in host.calls("file") if ("open", True) in c.flags],
                         [good, loop])
        (path, reason), = conv.failed_files
        self.assertEqual(path, loop)
        self.assertIn("  ERROR opening: " + reason, messages)
        self.assertIn(loop, reason)
        self.assertConverted(good)
        self.assertTrue(os.path.islink(loop))

    def test_unreadable_subfolder_is_named_in_a_warning(self):
        a = self.scene("in", "a.ma")
        b = self.scene("in", "locked", "b.ma")
        c = self.scene("in", "open", "c.ma")
        locked = self.path("in", "locked")
        real_scandir = os.scandir

        # Running as root, permissions do not stop a listing: the refusal
        # is made where the walk lists a folder.
        def scandir(path="."):
            if os.fspath(path) == locked:
                raise PermissionError(13, "Permission denied", path)
            return real_scandir(path)

        with mock.patch("os.scandir", scandir):
            conv = self.run_window(self.path("in"), outputs=("mb",))
        self.assertFinished(conv)
        self.assertEqual(host.warnings, [
            "Skipped folder: [Errno 13] Permission denied: {!r}".format(locked)])
        self.assertConverted(a, c)
        self.assertFalse(os.path.exists(self.path("in", "locked", "b.mb")))
        self.assertEqual((conv.total_files, conv.successful_files), (2, 2))
        # The chosen folder itself unreadable: the warning, then no batch.
        mayasim.reset()
        with mock.patch("os.scandir", side_effect=PermissionError(13, "Permission denied", "x")):
            conv = self.run_window(self.path("in"), outputs=("mb",))
        self.assertEqual(host.warnings, ["Skipped folder: [Errno 13] Permission denied: 'x'"])
        self.assertEqual(self.log_messages()[-1], "No files found")
        self.assertEqual(host.idle_queue, [])

    def test_source_removed_between_listing_and_opening(self):
        a, b, c = (self.scene("in", n) for n in ("a.ma", "b.ma", "c.ma"))
        real = velmora.cmds.waitCursor

        def wait_cursor(**flags):
            if flags.get("state"):
                os.remove(b)
            return real(**flags)

        with mock.patch.object(velmora.cmds, "waitCursor", wait_cursor):
            conv = self.run_window(self.path("in"), outputs=("mb",))
        messages = self.assertFinished(conv)
        (path, reason), = conv.failed_files
        self.assertEqual(path, b)
        self.assertIn("  ERROR opening: " + reason, messages)
        self.assertIn(b, reason)
        self.assertConverted(a, c)
        self.assertEqual(sorted(os.listdir(self.path("in"))), ["a.ma", "a.mb", "c.ma", "c.mb"])

    def test_folders_named_like_scenes_and_outputs(self):
        src = self.scene("in", "x.ma")
        os.makedirs(self.path("in", "old.ma"))
        os.makedirs(self.path("in", "x.mb"))
        # Without subfolders a folder is never a source; an output name taken
        # by a folder is taken.
        conv = self.run_window(self.path("in"), outputs=("mb",), recursive=False)
        self.assertFinished(conv)
        self.assertEqual(conv.total_files, 1)
        self.assertTrue(os.path.isdir(self.path("in", "x.mb")))
        self.assertEqual(mayasim.read_scene(self.path("in", "x_001.mb"))["nodes"],
                         mayasim.read_scene(src)["nodes"])
        os.remove(self.path("in", "x_001.mb"))
        mayasim.reset()
        conv = self.run_window(self.path("in"), outputs=("mb",), skip=True)
        messages = self.assertFinished(conv)
        self.assertIn("  Skipped (exists): x.mb", messages)
        self.assertEqual(conv.skipped_files, [self.path("in", "x.mb")])
        self.assertEqual(sorted(os.listdir(self.path("in"))), ["old.ma", "x.ma", "x.mb"])

    def test_output_folder_that_refuses_writes(self):
        a = self.scene("in", "a.ma")
        b = self.scene("in", "ro", "b.ma")
        with open(self.path("in", "ro", "b.fbx"), "w") as f:
            f.write("user's file")
        locked = self.path("in", "ro")
        real_open = builtins.open

        # As root a read-only folder still takes writes: the refusal is made
        # where the simulated Maya opens a file for writing.
        def guarded_open(path, mode="r", *args, **kw):
            if "w" in mode and os.path.dirname(os.fspath(path)) == locked:
                raise PermissionError(13, "Permission denied", path)
            return real_open(path, mode, *args, **kw)

        before = self.snapshot(self.path("in"))
        with mock.patch.object(simscene, "open", guarded_open, create=True):
            conv = self.run_window(self.path("in"), outputs=("mb", "fbx"), sources=("ma",))
        messages = self.assertFinished(conv)
        self.assertUntouched(before)
        errors = [m for m in messages if m.startswith("  ERROR")]
        self.assertEqual([m.split(":")[0] for m in errors], ["  ERROR MB", "  ERROR FBX"])
        self.assertIn(os.path.join(locked, "b.mb"), errors[0])
        self.assertIn(os.path.join(locked, "b_001.fbx"), errors[1])
        self.assertEqual(conv.failed_files, [(b, "All conversions failed")])
        self.assertConverted(a)
        self.assertEqual(sorted(os.listdir(locked)), ["b.fbx", "b.ma"])

    def test_unwritable_log_path(self):
        a = self.scene("in", "a.ma")
        for unwritable in (self.path("in"), self.path("missing", "log.txt")):
            mayasim.reset()
            velmora.Velmora.LOG_FILE = unwritable
            console = io.StringIO()
            with mock.patch.object(sys, "stdout", console):
                conv = self.run_window(self.path("in"), outputs=("mb",))
                self.assertEqual(host.run_idle(), 1)
            self.assertEqual(conv.successful_files, 1)
            self.assertIn("] >>> Exited finally block\n", console.getvalue())
            self.assertTrue(os.path.isfile(os.path.splitext(a)[0] + ".mb"))
            os.remove(os.path.splitext(a)[0] + ".mb")
        self.assertFalse(os.path.exists(self.path("missing")))

    def test_999_numbered_copies_already_there(self):
        src = self.scene("in", "a.ma")
        names = ["a.mb"] + ["a_%03d.mb" % n for n in range(1, 1000)] + ["a_1700000000.mb"]
        for name in names:
            with open(self.path("in", name), "w") as f:
                f.write(name)
        before = self.snapshot(self.path("in"))
        with mock.patch.object(velmora.time, "time", return_value=1700000000.25):
            conv = self.run_window(self.path("in"), outputs=("mb",), sources=("ma",))
        messages = self.assertFinished(conv)
        self.assertUntouched(before)
        out = self.path("in", "a_1700000000_1.mb")
        self.assertIn("  Saved MB: a_1700000000_1.mb", messages)
        self.assertEqual(mayasim.read_scene(out)["nodes"], mayasim.read_scene(src)["nodes"])
        self.assertEqual(len(os.listdir(self.path("in"))), len(names) + 2)


class ConsoleWithoutUnicode(WindowCase):
    def test_japanese_and_undecodable_names_under_an_ascii_console(self):
        names = ["シーン.ma", os.fsdecode(b"caf\xe9.ma")]
        for name in names:
            self.scene("in", name)
        raw = io.BytesIO()
        console = io.TextIOWrapper(raw, encoding="ascii", errors="strict")
        with mock.patch.object(sys, "stdout", console):
            conv = self.run_window(self.path("in"), outputs=("mb",))
            self.assertEqual(host.run_idle(), 1)
            console.flush()
        self.assertEqual((conv.successful_files, conv.failed_files), (2, []))
        printed = raw.getvalue().decode("ascii")
        self.assertIn("] \n[1/2] caf?.ma\n", printed)
        self.assertIn("] \n[2/2] ???.ma\n", printed)
        self.assertIn("] >>> Exited finally block\n", printed)
        log = self.read_log()
        self.assertIn("[2/2] \u30b7\u30fc\u30f3.ma\n", log)
        self.assertIn("  Saved MB: \u30b7\u30fc\u30f3.mb\n", log)
        self.assertIn("[1/2] caf\\udce9.ma\n", log)
        for name in names:
            self.assertTrue(os.path.isfile(self.path("in", name[:-3] + ".mb")), repr(name))


if __name__ == "__main__":
    unittest.main()

"""The drag-and-drop installer on the simulated Maya: install, reinstall,
replacing a module file, failures with rollback, and uninstall."""

import contextlib
import io
import ntpath
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

from support import HostTestCase, host  # first: puts the simulator on sys.path
import windows_paths
from windows_paths import WindowsPaths, also_under_windows_paths, to_windows
from install_support import (BINARY_NAMES, MAYA_VERSIONS, PLATFORMS, cmake_install,
                             load_installer)
import mayasim  # noqa: E402
from mayasim import shelf as simshelf  # noqa: E402

COMMAND = "import velmora; velmora.show()"
BATCHES_COMMAND = "import velmora; velmora.show_batches()"


def maya_module_paths(text):
    """(conditions, name, version, path) of each module description line, read
    the way Maya reads it: the path is the rest of the line."""
    out = []
    for line in text.splitlines():
        if not line.startswith("+ "):
            continue
        fields = line[2:].split(" ")
        conds = []
        while ":" in fields[0]:
            conds.append(fields.pop(0))
        out.append((conds, fields[0], fields[1], " ".join(fields[2:])))
    return out


class ModuleFileTextTest(unittest.TestCase):
    def test_paths_become_absolute_with_spaces_kept_unquoted(self):
        ns = load_installer(os.path.join(os.path.dirname(__file__), "..", "install"))
        shipped = ("+ PLATFORM:linux velmora 1.0 .\nPYTHONPATH+:=scripts\n"
                   "+ PLATFORM:win64 velmora 1.0 .\nPYTHONPATH+:=scripts\n")
        root = os.path.abspath(os.path.join(os.sep, "opt", "Maya Tools", "velmora 1.0"))
        text = ns["module_file_text"](shipped, root)
        forward = root.replace("\\", "/")
        self.assertEqual(text, "+ PLATFORM:linux velmora 1.0 %s\nPYTHONPATH+:=scripts\n"
                               "+ PLATFORM:win64 velmora 1.0 %s\nPYTHONPATH+:=scripts\n"
                               % (forward, forward))
        self.assertEqual([p[3] for p in maya_module_paths(text)], [forward, forward])
        # a shipped path below the module folder stays below it
        sub = ns["module_file_text"]("+ velmora 2.3 lib\n", root)
        self.assertEqual(maya_module_paths(sub), [([], "velmora", "2.3", forward + "/lib")])
        # every condition is kept before the name, in its order
        both = ns["module_file_text"]("+ MAYAVERSION:2027 PLATFORM:mac velmora 1.0 .\n"
                                      "PYTHONPATH+:=platforms/mac\n", root)
        self.assertEqual(both, "+ MAYAVERSION:2027 PLATFORM:mac velmora 1.0 %s\n"
                               "PYTHONPATH+:=platforms/mac\n" % forward)
        with self.assertRaises(ns["InstallError"]):
            ns["module_file_text"]("+ PLATFORM:linux velmora\n", root)


class WindowsSys(object):
    """The installer's `sys` on Windows: this interpreter's, but win32."""
    platform = "win32"

    def __getattr__(self, name):
        return getattr(sys, name)


@also_under_windows_paths()
class InstallerTest(HostTestCase):
    """Under Windows' rules the installer sees a win64 Python and the
    release folder in Windows form, with a stand-in for the .pyd (the
    module itself is already loaded from this build)."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="velmora-installer-")
        cls.folder = cmake_install(os.path.join(cls.prefix, "Program Files", "Maya Tools"))
        cls.installer = load_installer(cls.folder)
        cls.platform = "win64" if cls.windows_paths else "linux"
        if cls.windows_paths:
            pyd = os.path.join(cls.folder, "platforms", "win64", "velmora.pyd")
            if not os.path.isfile(pyd):
                os.makedirs(os.path.dirname(pyd), exist_ok=True)
                open(pyd, "wb").close()
            cls.folder = to_windows(cls.folder)
            # as if Maya had run the installer from the Windows folder
            # (runpy hands back a copy: the functions read their own globals)
            code = cls.installer["install"].__globals__
            code["__file__"] = code["__file__"].replace(
                windows_paths.to_host(cls.folder), cls.folder).replace("/", "\\")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, True)

    def setUp(self):
        super(InstallerTest, self).setUp()
        saved = list(sys.path)
        self.addCleanup(sys.path.__setitem__, slice(None), saved)
        if self.windows_paths:
            code = self.installer["install"].__globals__
            windows = WindowsPaths(code)
            windows.__enter__()
            self.addCleanup(windows.__exit__, None, None, None)
            patch = mock.patch.dict(code, {"sys": WindowsSys()})
            patch.start()
            self.addCleanup(patch.stop)
        # Maya names the user's folder with forward slashes on every platform
        host.user_app_dir = self.path("home dir", "maya").replace("\\", "/")
        self.modules = self.path("home dir", "maya", "modules")
        self.mod_file = self.path("home dir", "maya", "modules", "velmora.mod")
        self.binaries = self.join(self.folder, "platforms", self.platform)
        self.icon = self.join(self.folder, "icons", "velmora.png")
        self.printed = ""

    def join(self, *parts):
        return (ntpath if self.windows_paths else os.path).join(*parts)

    def run_installer(self, action="install", *args):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = self.installer[action](*args)
        self.printed = out.getvalue()
        return result

    def last_dialog(self):
        return host.confirm_dialogs[-1]["message"]

    def buttons(self, shelf=None):
        return [(b.shelf.short, b.state["label"], b.state["command"], b.state["image"])
                for b in simshelf.buttons(host, shelf=shelf) if b.state["command"] == COMMAND]

    def assert_nothing_installed(self, sys_path):
        self.assertFalse(os.path.exists(self.mod_file))
        if os.path.isdir(self.modules):
            self.assertEqual(os.listdir(self.modules), [], "files left in the modules folder")
        self.assertEqual(self.buttons(), [])
        self.assertEqual(sys.path, sys_path)

    def test_fresh_install_then_second_run_changes_nothing(self):
        self.assertTrue(self.run_installer("onMayaDroppedPythonFile", ""))
        with open(self.mod_file) as f:
            text = f.read()
        folder = self.folder.replace("\\", "/")
        self.assertEqual([(p[0], p[1], p[3]) for p in maya_module_paths(text)],
                         [(["MAYAVERSION:" + v, "PLATFORM:" + p], "velmora", folder)
                          for p in PLATFORMS for v in MAYA_VERSIONS])
        for platform in PLATFORMS:
            self.assertEqual(text.count("PYTHONPATH+:=platforms/%s\n" % platform), 6)
        self.assertEqual(sys.path[0], self.binaries)
        self.assertEqual(self.buttons(), [("Custom", "Velmora", COMMAND, self.icon)])
        (button,) = simshelf.buttons(host, label="Velmora")
        self.assertEqual(button.state["sourceType"], "python")
        self.assertTrue(button.state["annotation"])
        for said in (self.last_dialog(), self.printed):
            self.assertIn(self.mod_file, said)
            self.assertIn("Added the Velmora button to the shelf Custom", said)
        self.assertEqual(len(host.confirm_dialogs), 1)  # the report, no question

        before = (os.stat(self.mod_file), sorted(os.listdir(self.modules)), list(sys.path),
                  len(host.shelves["Custom"].items))
        since = len(host.journal)
        self.assertTrue(self.run_installer())
        after = (os.stat(self.mod_file), sorted(os.listdir(self.modules)), list(sys.path),
                 len(host.shelves["Custom"].items))
        self.assertEqual((after[0].st_ino, after[0].st_mtime), (before[0].st_ino,
                                                                 before[0].st_mtime))
        self.assertEqual(after[1:], before[1:])
        changing = [c for c in self.calls(since)
                    if c[0] == "deleteUI" or (c[0] == "shelfButton" and not any(
                        name in ("q", "query", "ex", "exists") for name, _ in c[2]))]
        self.assertEqual(changing, [])
        self.assertIn("already installed", self.last_dialog())
        self.assertEqual(host.confirm_dialogs[-1]["button"], ["OK"])

    def test_different_module_file_is_replaced_only_when_the_user_agrees(self):
        os.makedirs(self.modules)
        other = "+ velmora 0.9 /elsewhere/velmora\n"
        with open(self.mod_file, "w") as f:
            f.write(other)
        sys_path = list(sys.path)

        host.confirm_dialog_answers = ["No"]
        self.assertFalse(self.run_installer())
        question = host.confirm_dialogs[0]
        self.assertIn("/elsewhere/velmora", question["message"])
        self.assertEqual(question["button"], ["Yes", "No"])
        with open(self.mod_file) as f:
            self.assertEqual(f.read(), other)
        self.assertEqual(os.listdir(self.modules), ["velmora.mod"])
        self.assertEqual(self.buttons(), [])
        self.assertEqual(sys.path, sys_path)
        self.assertIn("kept", self.last_dialog())

        # a button left by a copy installed elsewhere is kept and re-pointed
        old = host.call("shelfButton", (), {"parent": "Custom", "label": "Velmora",
                                            "command": COMMAND, "image": "/elsewhere/v.png"})
        host.confirm_dialog_answers = ["Yes"]
        self.assertTrue(self.run_installer())
        with open(self.mod_file) as f:
            self.assertIn(self.folder.replace("\\", "/"), f.read())
        self.assertEqual(self.buttons(), [("Custom", "Velmora", COMMAND, self.icon)])
        self.assertEqual(simshelf.buttons(host)[0].name, old)

    def test_failures_end_in_a_message_and_leave_nothing_behind(self):
        sys_path = list(sys.path)
        blocker = self.path("home dir")
        with open(blocker, "w") as f:
            f.write("a file where the user's Maya folder should be")
        self.assertFalse(self.run_installer())
        self.assertIn("is a file, not a folder", self.last_dialog())
        self.assertIn("NOT installed", self.printed)
        self.assertEqual(self.buttons(), [])
        self.assertEqual(sys.path, sys_path)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["home dir"])
        os.remove(blocker)

        simshelf.without_shelves(host)
        self.assertFalse(self.run_installer())
        self.assertIn("no shelf", self.last_dialog())
        self.assert_nothing_installed(sys_path)

        mayasim.reset()
        host.user_app_dir = self.path("home dir", "maya")
        bare = os.path.join(self.tmp, "no binary", "velmora")
        shutil.copytree(self.folder, bare)
        os.remove(self.join(bare, "platforms", self.platform, BINARY_NAMES[self.platform]))
        self.assertFalse(self.run_installer("install", bare))
        self.assertIn("no velmora binary for this platform (%s)" % self.platform,
                      self.last_dialog())
        self.assert_nothing_installed(sys_path)

        # the last step fails (a folder sits where the module file goes):
        # the shelf button and the path entry made before it are undone
        os.makedirs(self.mod_file)
        host.confirm_dialog_answers = ["Yes"]
        self.assertFalse(self.run_installer())
        self.assertIn("NOT installed", self.last_dialog())
        self.assertEqual(os.listdir(self.modules), ["velmora.mod"])
        self.assertEqual(os.listdir(self.mod_file), [])
        self.assertEqual(self.buttons(), [])
        self.assertEqual([c[0] for c in self.calls() if c[0] == "deleteUI"], ["deleteUI"])
        self.assertEqual(sys.path, sys_path)

    def test_a_failure_at_any_maya_call_rolls_everything_back(self):
        sys_path = list(sys.path)
        self.assertTrue(self.run_installer())
        count = len(host.journal)
        failed_commands = []
        for position in range(count):
            mayasim.reset()
            host.user_app_dir = self.path("fresh %d" % position, "maya")
            self.modules = os.path.join(host.user_app_dir, "modules")
            self.mod_file = os.path.join(self.modules, "velmora.mod")
            sys.path[:] = sys_path
            host.fail_at(position)
            installed = self.run_installer()
            if installed:
                # only the closing report may fail: it is printed anyway
                self.assertEqual(host.journal[position].command, "confirmDialog")
                self.assertTrue(os.path.isfile(self.mod_file))
                self.assertEqual(len(self.buttons()), 1)
                self.assertIn("velmora: Wrote the module file", self.printed)
            else:
                failed_commands.append(host.journal[position].command)
                self.assertIn("simulated failure", self.printed)
                self.assert_nothing_installed(sys_path)
                self.assertFalse(os.path.exists(self.modules), "created folder left behind")
        self.assertIn("shelfButton", failed_commands)
        self.assertEqual(len(failed_commands), count - 1)

    def test_uninstall_removes_module_file_and_every_velmora_button(self):
        self.assertTrue(self.run_installer())
        host.call("tabLayout", (host.shelf_top_level,), {"edit": True, "selectTab": "Animation"})
        self.assertTrue(self.run_installer())
        foreign = host.call("shelfButton", (), {"parent": "Animation", "label": "Other",
                                                "command": "print(1)"})
        self.assertEqual(len(self.buttons()), 2)

        self.assertTrue(self.run_installer("uninstall"))
        self.assertFalse(os.path.exists(self.mod_file))
        self.assertEqual(self.buttons(), [])
        self.assertEqual([b.name for b in simshelf.buttons(host)], [foreign])
        self.assertIn("Removed the module file", self.last_dialog())
        self.assertIn("until Maya restarts", self.printed)

        self.assertTrue(self.run_installer("uninstall"))
        self.assertIn("was not installed", self.last_dialog())

    def test_the_batches_window_gets_a_button_of_its_own(self):
        def velmora_buttons():
            return [(b.state["label"], b.state["command"], b.state["imageOverlayLabel"])
                    for b in simshelf.buttons(host, shelf="Custom")]

        def fresh_maya(name):
            mayasim.reset()
            host.user_app_dir = self.path(name, "maya").replace("\\", "/")
        both = [("Velmora", COMMAND, ""), ("Velmora Batches", BATCHES_COMMAND, "BG")]

        # a shelf from an install of the main button only gets the other one
        host.call("shelfButton", (), {"parent": "Custom", "label": "Velmora", "command": COMMAND,
                                      "image": self.icon})
        self.assertTrue(self.run_installer())
        self.assertEqual(velmora_buttons(), both)
        (batches,) = simshelf.buttons(host, label="Velmora Batches")
        self.assertEqual((batches.state["sourceType"], batches.state["image"]),
                         ("python", self.icon))
        self.assertIn("Added the Velmora Batches button to the shelf Custom", self.last_dialog())
        self.assertNotIn("Added the Velmora button", self.last_dialog())

        # when it cannot be made, the main button made before it goes too
        fresh_maya("fresh")
        self.assertTrue(self.run_installer())
        made = next(i for i, c in enumerate(host.journal)
                    if c.command == "shelfButton" and ("label", "Velmora Batches") in c.flags)
        fresh_maya("failing")
        host.fail_at(made)
        self.assertFalse(self.run_installer())
        self.assertEqual(velmora_buttons(), [])
        self.assertEqual([len(c.args) for c in host.journal if c.command == "deleteUI"], [1])
        self.assertFalse(os.path.exists(self.path("failing", "maya", "modules")))

        fresh_maya("fresh")
        self.assertTrue(self.run_installer())
        self.assertEqual(velmora_buttons(), both)
        self.assertTrue(self.run_installer("uninstall"))
        self.assertEqual(velmora_buttons(), [])


if __name__ == "__main__":
    unittest.main()

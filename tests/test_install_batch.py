"""The headless batch's launchers: velmora_batch.py (this platform's binary
folder on the path, the arguments to velmora.batch_main, its result as the
exit status) and bin/velmora-batch, which finds mayapy itself."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

from install_support import BATCH_SOURCE, cmake_install
from support import ROOT, SIM, velmora

WRAPPER = os.path.join(ROOT, "install", "bin", "velmora-batch")
WINDOWS_WRAPPER = os.path.join(ROOT, "install", "bin", "velmora-batch.bat")
MAYA_VERSIONS = ("2027", "2026", "2025", "2024", "2023", "2022")

# A velmora stand-in: batch_main records its arguments and where it was
# found, and returns 3.
STAND_IN = textwrap.dedent("""
    import json, os
    def batch_main(argv):
        with open(os.environ["VELMORA_TEST_RECORD"], "w") as f:
            json.dump({"argv": argv, "file": __file__}, f)
        return 3
""")
# velmora_batch.py run with the stand-in as this platform's "binary".
DRIVER = textwrap.dedent("""
    import runpy, sys
    script = sys.argv[1]
    ns = runpy.run_path(script, run_name="velmora_batch_test")
    ns["BINARIES"][ns["maya_platform"]()] = "velmora.py"
    sys.exit(ns["main"](sys.argv[2:]))
""")


class BatchScriptTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-batch-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.folder = os.path.join(self.tmp, "Maya Tools", "velmora")
        os.makedirs(self.folder)
        shutil.copy(BATCH_SOURCE, self.folder)
        self.script = os.path.join(self.folder, "velmora_batch.py")
        self.record = os.path.join(self.tmp, "record.json")

    def run_script(self, *args, driver=True):
        env = dict(os.environ, VELMORA_TEST_RECORD=self.record, PYTHONNOUSERSITE="1")
        env.pop("PYTHONPATH", None)
        command = ([sys.executable, "-c", DRIVER, self.script] if driver
                   else [sys.executable, self.script])
        return subprocess.run(command + list(args), cwd=self.tmp, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)

    def test_arguments_go_to_batch_main_of_this_platforms_binary(self):
        import json
        platform_folder = os.path.join(self.folder, "platforms", "linux")
        os.makedirs(platform_folder)
        with open(os.path.join(platform_folder, "velmora.py"), "w") as f:
            f.write(STAND_IN)
        # a velmora elsewhere on the way must not be the one taken
        with open(os.path.join(self.tmp, "velmora.py"), "w") as f:
            f.write("raise SystemExit('the wrong velmora')\n")
        proc = self.run_script("/scenes/shot 1", "--outputs", "mb,fbx")
        self.assertEqual(proc.returncode, 3, proc.stderr)
        with open(self.record) as f:
            record = json.load(f)
        self.assertEqual(record["argv"], ["/scenes/shot 1", "--outputs", "mb,fbx"])
        self.assertEqual(os.path.dirname(record["file"]), platform_folder)

    def test_a_release_without_this_platforms_binary_says_so(self):
        proc = self.run_script("/scenes", driver=False)
        self.assertEqual(proc.returncode, 2)
        self.assertIn("no velmora binary for linux", proc.stderr)
        self.assertIn(os.path.join("platforms", "linux", "velmora.abi3.so"), proc.stderr)
        self.assertEqual(proc.stdout, "")


@unittest.skipUnless(hasattr(velmora, "batch_main"), "this module has no headless batch yet")
class InstalledBatchScriptTest(unittest.TestCase):
    def test_the_installed_script_runs_the_installed_module(self):
        tmp = tempfile.mkdtemp(prefix="velmora-batch-installed-")
        self.addCleanup(shutil.rmtree, tmp, True)
        folder = cmake_install(os.path.join(tmp, "Maya Tools"))
        missing = os.path.join(tmp, "no such folder")
        env = dict(os.environ, PYTHONPATH=SIM, PYTHONNOUSERSITE="1")
        proc = subprocess.run([sys.executable, os.path.join(folder, "velmora_batch.py"), missing],
                              cwd=tmp, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn(missing, proc.stdout + proc.stderr)
        self.assertNotIn("Traceback", proc.stderr)


@unittest.skipIf(sys.platform.startswith("win"), "a POSIX shell script")
class PosixWrapperTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-wrapper-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.folder = os.path.join(self.tmp, "my tools", "velmora")
        os.makedirs(os.path.join(self.folder, "bin"))
        shutil.copy(WRAPPER, os.path.join(self.folder, "bin"))
        self.wrapper = os.path.join(self.folder, "bin", "velmora-batch")
        self.empty_path = os.path.join(self.tmp, "empty-bin")
        os.makedirs(self.empty_path)
        for tool in ("sh", "dirname", "uname"):
            os.symlink(shutil.which(tool), os.path.join(self.empty_path, tool))

    def fake_mayapy(self, folder, name="maya"):
        """An executable `mayapy` in `folder` that prints its name and arguments."""
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "mayapy")
        with open(path, "w") as f:
            f.write('#!/bin/sh\necho "%s"\nfor a in "$@"; do echo "[$a]"; done\nexit 7\n' % name)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def run_wrapper(self, env, *args):
        return subprocess.run([self.wrapper] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)

    def test_maya_location_first_with_arguments_kept_whole(self):
        location = os.path.join(self.tmp, "maya 2025")
        self.fake_mayapy(os.path.join(location, "bin"), "location")
        self.fake_mayapy(os.path.join(self.tmp, "on-path"), "path")
        env = {"PATH": os.path.join(self.tmp, "on-path") + os.pathsep + self.empty_path,
               "MAYA_LOCATION": location}
        proc = self.run_wrapper(env, "/scenes/shot 1", "--preset", "Models Only")
        self.assertEqual(proc.returncode, 7, proc.stderr)
        self.assertEqual(proc.stdout.splitlines(), [
            "location", "[%s]" % os.path.join(self.folder, "velmora_batch.py"),
            "[/scenes/shot 1]", "[--preset]", "[Models Only]"])

    def test_a_maya_location_without_mayapy_is_named_then_path_serves(self):
        self.fake_mayapy(os.path.join(self.tmp, "on-path"), "path")
        env = {"PATH": os.path.join(self.tmp, "on-path") + os.pathsep + self.empty_path,
               "MAYA_LOCATION": os.path.join(self.tmp, "nowhere")}
        if any(os.path.exists("/usr/autodesk/maya%s/bin/mayapy" % v) for v in MAYA_VERSIONS):
            self.skipTest("a Maya is installed in the standard place here")
        proc = self.run_wrapper(env, "x")
        self.assertEqual(proc.returncode, 7, proc.stderr)
        self.assertEqual(proc.stdout.splitlines()[0], "path")
        self.assertIn("has no bin/mayapy", proc.stderr)

    def test_no_mayapy_anywhere_is_a_clear_error(self):
        if any(os.path.exists("/usr/autodesk/maya%s/bin/mayapy" % v) for v in MAYA_VERSIONS):
            self.skipTest("a Maya is installed in the standard place here")
        proc = self.run_wrapper({"PATH": self.empty_path}, "x")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("cannot find mayapy", proc.stderr)
        self.assertIn("MAYA_LOCATION", proc.stderr)


class WindowsWrapperTest(unittest.TestCase):
    """cmd.exe is not here: the file is read for the same search order."""

    def test_search_order_and_hand_over(self):
        with open(WINDOWS_WRAPPER, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), "CRLF line ends")
        text = data.decode("ascii")
        self.assertIn(r'"%MAYA_LOCATION%\bin\mayapy.exe"', text)
        self.assertIn("for %%v in (" + " ".join(MAYA_VERSIONS) + ") do", text)
        self.assertIn(r"\Autodesk\Maya%%v\bin\mayapy.exe", text)
        self.assertIn(r'set "PROGRAMS=C:\Program Files"', text)
        self.assertIn("%%~$PATH:p", text)
        self.assertLess(text.index("MAYA_LOCATION%\\bin"), text.index("Maya%%v"))
        self.assertLess(text.index("Maya%%v"), text.index("$PATH"))
        self.assertIn(r'"%MAYAPY%" "%VELMORA_ROOT%\velmora_batch.py" %*', text)
        self.assertIn("exit /b 2", text)


if __name__ == "__main__":
    unittest.main()

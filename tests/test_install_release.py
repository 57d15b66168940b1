"""End to end: the release archive, unpacked into a folder with spaces and
installed by its own installer on the simulated Maya in a fresh interpreter
that sees nothing but the simulator."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zipfile

from support import BUILD, ROOT, SIM

SESSION = textwrap.dedent("""
    import json, os, runpy, sys
    import mayasim
    from mayasim import shelf
    home, folder = sys.argv[1], sys.argv[2]
    mayasim.host.user_app_dir = os.path.join(home, "maya")
    dropped = runpy.run_path(os.path.join(folder, "velmora_install.py"),
                             run_name="velmora_install")
    installed = dropped["onMayaDroppedPythonFile"]("")
    import velmora
    velmora.Velmora.LOG_FILE = os.path.join(home, "log.txt")
    velmora.show()
    print(json.dumps({
        "installed": installed,
        "velmora": velmora.__file__,
        "window": mayasim.host.ui.window("velmoraWin") is not None,
        "buttons": [[b.shelf.short, b.state["label"], b.state["command"], b.state["image"]]
                    for b in shelf.buttons(mayasim.host)],
        "module_file": open(os.path.join(home, "maya", "modules", "velmora.mod")).read(),
    }))
""")


class ReleaseArchiveTest(unittest.TestCase):
    def setUp(self):
        cmake = shutil.which("cmake")
        if cmake is None:
            self.skipTest("cmake is not on PATH")
        self.tmp = tempfile.mkdtemp(prefix="velmora-release-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        proc = subprocess.run([cmake, "--build", BUILD, "--target", "release"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        self.assertEqual(proc.returncode, 0, proc.stdout)
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            (version,) = [line.split("=", 1)[1].strip() for line in f
                          if line.startswith("VELMORA_VERSION:")]
        self.archive = os.path.join(BUILD, "velmora-%s.zip" % version)

    def test_unpacked_archive_installs_and_runs(self):
        with zipfile.ZipFile(self.archive) as z:
            names = z.namelist()
            self.assertTrue(all(n.startswith("velmora/") for n in names), names)
            with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
                self.assertEqual(z.read("velmora/LICENSE"), f.read())
            unpacked = os.path.join(self.tmp, "My Tools")
            z.extractall(unpacked)
        folder = os.path.join(unpacked, "velmora")
        home = os.path.join(self.tmp, "home")
        env = dict(os.environ, PYTHONPATH=SIM, PYTHONNOUSERSITE="1")
        proc = subprocess.run([sys.executable, "-c", SESSION, home, folder], cwd=self.tmp,
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        printed, result = proc.stdout.rsplit("\n", 2)[0], json.loads(proc.stdout.splitlines()[-1])
        self.assertTrue(result["installed"], printed)
        self.assertEqual(os.path.dirname(result["velmora"]), os.path.join(folder, "platforms", "linux"))
        self.assertTrue(result["window"])
        icon = os.path.join(folder, "icons", "velmora.png")
        self.assertEqual(result["buttons"],
                         [["Custom", "Velmora", "import velmora; velmora.show()", icon],
                          ["Custom", "Velmora Batches", "import velmora; velmora.show_batches()",
                           icon]])
        self.assertIn("+ MAYAVERSION:2022 PLATFORM:linux velmora ", result["module_file"])
        self.assertIn(" " + folder.replace("\\", "/") + "\n", result["module_file"])
        self.assertIn("velmora: Wrote the module file", printed)


if __name__ == "__main__":
    unittest.main()

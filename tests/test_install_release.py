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

MINGW = "x86_64-w64-mingw32-g++-posix"

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


def copy_checkout(folder):
    """The checkout's files as they are now (changes not committed included,
    nothing ignored) in `folder`: another checkout of the same commit."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], stdout=subprocess.PIPE, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = os.path.join(ROOT, name)
        if not os.path.isfile(source):
            continue  # removed, not yet committed
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)


def zip_members(path):
    with zipfile.ZipFile(path) as z:
        return {info.filename: (info.date_time, z.read(info)) for info in z.infolist()}


@unittest.skipUnless(shutil.which("git") and shutil.which("cmake") and shutil.which(MINGW)
                     and os.path.exists(os.path.join(ROOT, ".git")),
                     "needs git, cmake, mingw-w64 and a git checkout")
@unittest.skipIf(os.environ.get("VELMORA_REPEAT_RUN") or "asan" in os.environ.get("LD_PRELOAD", ""),
                 "three release builds, whose bytes do not depend on the interpreter: once per suite, "
                 "without the sanitizer")
class ReproducibleReleaseTest(unittest.TestCase):
    """tools/release from two checkouts in folders of different names and
    depths: the same bytes; run again, it replaces what it made."""

    def release(self, checkout, out, epoch):
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch),
                   VELMORA_BUILD=os.path.join(checkout, "build"),
                   VELMORA_WINDOWS_BUILD=os.path.join(checkout, "build-windows"))
        env.pop("VELMORA_CMAKE_ARGS", None)
        proc = subprocess.run([os.path.join(checkout, "tools", "release"), out], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual(proc.returncode, 0, proc.stdout[-3000:])
        made = sorted(os.path.basename(line) for line in proc.stdout.splitlines()
                      if line.startswith(out + os.sep))
        self.assertEqual(len(made), 3, proc.stdout[-3000:])
        return made

    def test_two_checkouts_make_the_same_bytes_and_a_rerun_replaces_them(self):
        tmp = tempfile.mkdtemp(prefix="velmora-reproducible-")
        self.addCleanup(shutil.rmtree, tmp, True)
        first = os.path.join(tmp, "a")
        second = os.path.join(tmp, "somewhere else", "checkout-b")
        outs = [os.path.join(tmp, "out-a"), os.path.join(tmp, "out-b")]
        for checkout in (first, second):
            copy_checkout(checkout)
        names = [self.release(checkout, out, 1700000000) for checkout, out in zip((first, second), outs)]
        self.assertEqual(names[0], names[1])
        for name in names[0]:
            with self.subTest(name=name):
                with open(os.path.join(outs[0], name), "rb") as a, open(os.path.join(outs[1], name), "rb") as b:
                    self.assertTrue(a.read() == b.read(), "%s differs between the checkouts" % name)
        # Again, stamped otherwise: every file is replaced, the archive and
        # the wheels alike.
        self.assertEqual(self.release(first, outs[0], 1800000000), names[0])
        members = {name: zip_members(os.path.join(outs[0], name)) for name in names[0]}
        for name, files in members.items():
            self.assertEqual({when for when, _data in files.values()}, {(2027, 1, 15, 8, 0, 0)}, name)
        (archive,) = [n for n in names[0] if n.endswith(".zip")]
        (windows,) = [n for n in names[0] if n.endswith("win_amd64.whl")]
        (linux,) = [n for n in names[0] if n.endswith("manylinux_2_28_x86_64.whl")]
        self.assertEqual(members[archive]["velmora/platforms/win64/velmora.pyd"][1],
                         members[windows]["velmora.pyd"][1])
        self.assertEqual(members[archive]["velmora/platforms/linux/velmora.abi3.so"][1],
                         members[linux]["velmora.abi3.so"][1])
        self.assertEqual(sorted(os.listdir(outs[0])), names[0])


if __name__ == "__main__":
    unittest.main()

"""The wheels: tools/wheel.py around the modules built here (tools/release
hands it the stripped, checked files of the archive; CI runs that route),
read back as an installer reads them, installed by pip into the oldest and
the newest Python found here, and their velmora-batch run on the simulated
Maya."""

import base64
import configparser
import csv
import email.parser
import glob
import hashlib
import importlib.util
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from support import BUILD, ROOT, SIM

TOOL = os.path.join(ROOT, "tools", "wheel.py")
WINDOWS_BUILD = os.environ.get("VELMORA_WINDOWS_BUILD", os.path.join(ROOT, "build-windows"))
PYD = os.path.join(WINDOWS_BUILD, "stage", "velmora", "platforms", "win64", "velmora.pyd")
SO = os.path.join(BUILD, "velmora.abi3.so")
TAGS = {"linux": "cp37-abi3-manylinux_2_28_x86_64", "win64": "cp37-abi3-win_amd64"}
MODULE_FILES = {"linux": "velmora.abi3.so", "win64": "velmora.pyd"}
# The example scene that is damaged on purpose; without it a batch converts everything.
DAMAGED = "damaged_export.ma"


def load_tool():
    spec = importlib.util.spec_from_file_location("velmora_wheel_tool", TOOL)
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


def cmake_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r'set\(VELMORA_VERSION "([^"]+)"', f.read()).group(1)


def run_tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(folder):
    return sorted(os.path.relpath(os.path.join(parent, name), folder)
                  for parent, _dirs, files in os.walk(folder) for name in files)


def pip_env(**extra):
    """An environment where pip sees no configuration of this machine's and
    nothing of the suite's path."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("PIP_") and k not in ("PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1",
               PIP_NO_INPUT="1", PYTHONNOUSERSITE="1")
    env.update(extra)
    return env


class WheelContentsTest(unittest.TestCase):
    """Both wheels, read with the standard library as an installer reads them."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="velmora-wheel-")
        cls.binaries = {"linux": SO}
        if os.path.isfile(PYD):
            cls.binaries["win64"] = PYD
        proc = run_tool("--out", cls.tmp, *("%s=%s" % item for item in cls.binaries.items()))
        if proc.returncode != 0:
            shutil.rmtree(cls.tmp, True)
            raise AssertionError(proc.stderr)
        cls.wheels = dict(zip(cls.binaries, proc.stdout.split()))
        cls.version = cmake_version()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def each_wheel(self):
        """(platform, path) of each wheel written; the Windows one, when
        there is no Windows module to put in it, as a skipped subtest."""
        if "win64" not in self.wheels:
            with self.subTest(platform="win64"):
                self.skipTest("no Windows module at %s (tools/build-windows makes it)" % PYD)
        return sorted(self.wheels.items())

    def test_names_tags_and_files(self):
        dist_info = "velmora-%s.dist-info/" % self.version
        for platform, path in self.each_wheel():
            with self.subTest(platform=platform), zipfile.ZipFile(path) as z:
                self.assertEqual(os.path.basename(z.filename),
                                 "velmora-%s-%s.whl" % (self.version, TAGS[platform]))
                self.assertEqual(z.namelist(), [
                    MODULE_FILES[platform], "velmora.pyi", "velmora_batch.py",
                    dist_info + "METADATA", dist_info + "WHEEL", dist_info + "entry_points.txt",
                    dist_info + "LICENSE", dist_info + "RECORD"])
                self.assertEqual(z.read(dist_info + "LICENSE"), read(os.path.join(ROOT, "LICENSE")))
                self.assertEqual(z.read(MODULE_FILES[platform]), read(self.binaries[platform]))
                self.assertEqual(z.read("velmora.pyi"),
                                 read(os.path.join(ROOT, "install", "velmora.pyi")))
                self.assertEqual(z.read("velmora_batch.py"),
                                 read(os.path.join(ROOT, "install", "wheel", "velmora_batch.py")))
                wheel = email.parser.BytesParser().parsebytes(z.read(dist_info + "WHEEL"))
                self.assertEqual(wheel["Wheel-Version"], "1.0")
                self.assertEqual(wheel["Root-Is-Purelib"], "false")
                self.assertEqual(wheel.get_all("Tag"), [TAGS[platform]])
                self.assertTrue(wheel["Generator"])
                scripts = configparser.ConfigParser()
                scripts.read_string(z.read(dist_info + "entry_points.txt").decode("utf-8"))
                self.assertEqual(dict(scripts["console_scripts"]),
                                 {"velmora-batch": "velmora_batch:main"})

    def test_record_holds_every_file_with_its_hash_and_size(self):
        for platform, path in self.each_wheel():
            with self.subTest(platform=platform), zipfile.ZipFile(path) as z:
                record_name = [n for n in z.namelist() if n.endswith(".dist-info/RECORD")][0]
                rows = list(csv.reader(io.StringIO(z.read(record_name).decode("utf-8"))))
                self.assertEqual(sorted(row[0] for row in rows), sorted(z.namelist()))
                for name, digest, size in rows:
                    if name == record_name:
                        self.assertEqual((digest, size), ("", ""))
                        continue
                    data = z.read(name)
                    expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                    self.assertEqual(digest, "sha256=" + expected.decode("ascii"), name)
                    self.assertEqual(int(size), len(data), name)

    def test_metadata(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        for platform, path in self.each_wheel():
            with self.subTest(platform=platform), zipfile.ZipFile(path) as z:
                raw = z.read("velmora-%s.dist-info/METADATA" % self.version)
                meta = email.parser.Parser().parsestr(raw.decode("utf-8"))
                self.assertEqual(meta["Metadata-Version"], "2.1")
                self.assertEqual(meta["Name"], "velmora")
                self.assertEqual(meta["Version"], self.version)
                self.assertIn("Maya", meta["Summary"])
                self.assertEqual(meta["Requires-Python"], ">=3.7")
                self.assertEqual(meta["License"], "Apache-2.0")
                classifiers = meta.get_all("Classifier")
                self.assertIn("License :: OSI Approved :: Apache Software License", classifiers)
                for minor in range(7, 14):
                    self.assertIn("Programming Language :: Python :: 3.%d" % minor, classifiers)
                self.assertEqual(meta["Description-Content-Type"], "text/markdown")
                self.assertEqual(meta.get_payload(), readme)

    def test_made_again_the_same_bytes_and_nothing_replaced(self):
        out = os.path.join(self.tmp, "again")
        os.makedirs(out)
        linux = self.wheels["linux"]
        shutil.copy(linux, out)
        proc = run_tool("--out", out, "linux=" + SO)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(read(os.path.join(out, os.path.basename(linux))), read(linux))

        changed = os.path.join(self.tmp, "changed.abi3.so")
        with open(changed, "wb") as f:
            f.write(read(SO) + b"\0")
        proc = run_tool("--out", out, "linux=" + changed)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("exists with other contents", proc.stderr)
        self.assertEqual(read(os.path.join(out, os.path.basename(linux))), read(linux))
        self.assertEqual(tree(out), [os.path.basename(linux)])
        # A release made again replaces what it made before, whole.
        proc = run_tool("--out", out, "--replace", "linux=" + changed)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with zipfile.ZipFile(os.path.join(out, os.path.basename(linux))) as z:
            self.assertEqual(z.read("velmora.abi3.so"), read(changed))
        self.assertEqual(tree(out), [os.path.basename(linux)])

        proc = run_tool("--out", os.path.join(self.tmp, "swapped"), "win64=" + SO)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("is not a win64 binary", proc.stderr)
        self.assertEqual(tree(os.path.join(self.tmp, "swapped")), [])


class ProjectMetadataTest(unittest.TestCase):
    """pyproject.toml, CMake's version and the release route agree."""

    def test_one_name_and_one_version(self):
        tool = load_tool()
        table = tool.project()
        with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
            self.assertIn("project(%s " % table["name"], f.read())
        self.assertNotIn("version", table)
        self.assertIn("version", table["dynamic"])
        self.assertEqual(tool.cmake_version(), cmake_version())
        self.assertEqual(table["scripts"], {"velmora-batch": "velmora_batch:main"})

    def test_the_licence_is_apache_2_0_stated_and_in_full(self):
        self.assertEqual(load_tool().project()["license"], {"text": "Apache-2.0"})
        with open(os.path.join(ROOT, "LICENSE"), encoding="utf-8") as f:
            text = f.read()
        self.assertEqual([line.strip() for line in text.splitlines()[1:4]],
                         ["Apache License", "Version 2.0, January 2004", "http://www.apache.org/licenses/"])
        for clause in ("1. Definitions.", "2. Grant of Copyright License.", "3. Grant of Patent License.",
                       "9. Accepting Warranty or Additional Liability.", "END OF TERMS AND CONDITIONS",
                       "APPENDIX: How to apply the Apache License to your work."):
            self.assertIn(clause, text)

    def test_the_reader_without_tomllib_reads_what_tomllib_reads(self):
        tool = load_tool()
        with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
            text = f.read()
        for unread in ('a = """x"""\n', "[[a]]\n", "a = 1.5\n", "a = 1\na = 2\n", 'a = "x\n'):
            with self.subTest(unread), self.assertRaises(tool.TomlError):
                tool.read_toml(unread)
        try:
            import tomllib
        except ImportError:
            self.skipTest("no tomllib before Python 3.11")
        self.assertEqual(tool.read_toml(text), tomllib.loads(text))

    def test_the_release_wheels_the_files_it_checked(self):
        with open(os.path.join(ROOT, "tools", "release"), encoding="utf-8") as f:
            release = f.read()
        checked = re.findall(r'check_binary\.py" (linux|windows) ("[^"]+")', release)
        wheeled = release[release.index('tools/wheel.py"'):]  # after the checks
        self.assertEqual(len(checked), 2)
        for kind, path in checked:
            self.assertIn("%s=%s" % ({"linux": "linux", "windows": "win64"}[kind], path), wheeled)

    def test_pip_building_from_the_tree_is_refused_plainly(self):
        tmp = tempfile.mkdtemp(prefix="velmora-wheel-tree-")
        self.addCleanup(shutil.rmtree, tmp, True)
        proc = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-index", "--no-deps",
                               "-w", tmp, ROOT], cwd=tmp, env=pip_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if "No module named pip" in proc.stdout:
            self.skipTest("no pip in this Python")
        self.assertNotEqual(proc.returncode, 0, proc.stdout)
        self.assertIn("run tools/release", proc.stdout)
        self.assertEqual(os.listdir(tmp), [])


def pythons_with_pip():
    """{(major, minor): interpreter} of the CPythons >= 3.7 here that have pip."""
    pyroot = os.environ.get("PYENV_ROOT", os.path.join(os.path.expanduser("~"), ".pyenv"))
    pattern = os.path.join(pyroot, "versions", "3.*", "bin", "python3")
    candidates = [sys.executable] + glob.glob(pattern)
    found = {}
    for python in candidates:
        proc = subprocess.run(
            [python, "-c", "import sys, pip; print('%d %d' % sys.version_info[:2])"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True,
            env=pip_env())
        if proc.returncode == 0:
            version = tuple(int(n) for n in proc.stdout.split())
            if version >= (3, 7):
                found.setdefault(version, python)
    return found


class InstalledWheelTest(unittest.TestCase):
    """The Linux wheel installed by pip into the oldest and the newest Python
    here; velmora-batch and `python -m velmora_batch` convert the example
    scenes with the simulated Maya standing in for mayapy's."""

    @classmethod
    def setUpClass(cls):
        found = pythons_with_pip()
        if not found:
            raise unittest.SkipTest("no Python with pip here")
        cls.pythons = sorted({found[min(found)], found[max(found)]})
        cls.tmp = tempfile.mkdtemp(prefix="velmora-wheel-installed-")
        proc = run_tool("--out", cls.tmp, "linux=" + SO)
        cls.targets = {}
        try:
            if proc.returncode != 0:
                raise AssertionError(proc.stderr)
            for n, python in enumerate(cls.pythons):
                target = os.path.join(cls.tmp, "site %d" % n)
                install = subprocess.run(
                    [python, "-m", "pip", "install", "--no-index", "--no-deps", "--target", target,
                     proc.stdout.strip()], env=pip_env(), stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT, universal_newlines=True)
                if install.returncode != 0:
                    raise AssertionError("%s: pip install failed:\n%s" % (python, install.stdout))
                cls.targets[python] = target
        except BaseException:
            shutil.rmtree(cls.tmp, True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def commands(self):
        """(python, site folder, label, command line) of each way to run it."""
        for python, target in sorted(self.targets.items()):
            script = os.path.join(target, "bin", "velmora-batch")
            for label, command in (("velmora-batch", [script]),
                                   ("-m velmora_batch", [python, "-m", "velmora_batch"])):
                yield python, target, label, command

    def run_command(self, command, python, target, *args, with_maya=True):
        path = [target] + ([SIM] if with_maya else [])
        env = pip_env(PYTHONPATH=os.pathsep.join(path), MAYASIM_PYTHON=python)
        return subprocess.run(command + list(args), cwd=self.tmp, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)

    def test_both_commands_convert_the_example_scenes(self):
        for n, (python, target, label, command) in enumerate(self.commands()):
            with self.subTest(python=python, command=label):
                scenes = os.path.join(self.tmp, "scenes %d" % n)
                shutil.copytree(os.path.join(ROOT, "examples", "scenes"), scenes,
                                ignore=shutil.ignore_patterns(DAMAGED))
                sources = tree(scenes)
                proc = self.run_command(
                    command, python, target, scenes, "--mayapy", os.path.join(SIM, "bin", "mayapy"),
                    "--outputs", "mb", "--jobs", "1",
                    "--journal", os.path.join(self.tmp, "journal %d" % n))
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                expected = sorted(sources + [os.path.splitext(s)[0] + ".mb" for s in sources])
                self.assertEqual(tree(scenes), expected)
                self.assertIn("Success: %d" % len(sources), proc.stdout)

    def test_the_status_is_the_batchs_and_without_maya_it_says_what_to_run(self):
        for python, target, label, command in self.commands():
            with self.subTest(python=python, command=label):
                proc = self.run_command(command, python, target, self.tmp, "--outputs", "obj")
                self.assertEqual(proc.returncode, 2, proc.stdout + proc.stderr)
                self.assertIn("obj", proc.stderr)
                proc = self.run_command(command, python, target, self.tmp, with_maya=False)
                self.assertEqual(proc.returncode, 2, proc.stdout + proc.stderr)
                self.assertIn("run it with mayapy", proc.stderr)
                self.assertNotIn("Traceback", proc.stderr)


if __name__ == "__main__":
    unittest.main()

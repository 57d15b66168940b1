"""The release's velmora.mod, read by the simulated Maya as each Maya from
2022 to 2027 reads it on each platform: every one finds its own platform's
binary and nothing else, older and newer Mayas none, and the installer and
the headless batch script choose the same folder."""

import os
import runpy
import shutil
import tempfile
import unittest

from install_support import (BINARY_NAMES, MAYA_VERSIONS, PLATFORMS, cmake_install,
                             load_installer)
import support  # noqa: F401  (puts the simulator on sys.path)
from mayasim import modules  # noqa: E402

SYSTEMS = {"linux": "linux", "win64": "win32", "mac": "darwin"}  # sys.platform of each


class ReleaseModuleFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="velmora-modfile-")
        cls.folder = cmake_install(os.path.join(cls.prefix, "Maya Tools"))
        # stand-ins for the binaries this build has not got, so that a wrong
        # choice would find something
        for platform in PLATFORMS:
            path = os.path.join(cls.folder, "platforms", platform, BINARY_NAMES[platform])
            if not os.path.isfile(path):
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(b"stand-in for the " + platform.encode() + b" binary")
        cls.mod_file = os.path.join(cls.folder, "velmora.mod")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, True)

    def test_every_maya_2022_to_2027_on_every_platform_finds_its_own_binary(self):
        for platform in PLATFORMS:
            own = os.path.join(self.folder, "platforms", platform)
            for maya in MAYA_VERSIONS:
                with self.subTest(maya=maya, platform=platform):
                    found = modules.resolve(self.mod_file, maya, platform)
                    self.assertEqual(found.ignored, [])
                    (module,) = found.modules
                    self.assertEqual((module.name, module.root), ("velmora", self.folder))
                    # scripts/ (the type stub) by Maya's default, then this
                    # platform's folder alone
                    self.assertEqual(module.paths("PYTHONPATH"),
                                     [os.path.join(self.folder, "scripts"), own])
                    self.assertEqual(modules.find_extension(module, "velmora", platform),
                                     os.path.join(own, BINARY_NAMES[platform]))

    def test_mayas_outside_2022_to_2027_load_nothing(self):
        for maya in ("2020", "2028"):
            for platform in PLATFORMS:
                self.assertEqual(modules.resolve(self.mod_file, maya, platform).modules, [])

    def test_the_installed_module_file_resolves_like_the_shipped_one(self):
        installer = load_installer(self.folder)
        with open(self.mod_file) as f:
            text = installer["module_file_text"](f.read(), self.folder)
        elsewhere = tempfile.mkdtemp(prefix="velmora-user-modules-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        for platform in PLATFORMS:
            module = modules.resolve_text(text, elsewhere, "2026", platform).module("velmora")
            self.assertEqual(module.root, self.folder)
            self.assertEqual(modules.find_extension(module, "velmora", platform),
                             os.path.join(self.folder, "platforms", platform,
                                          BINARY_NAMES[platform]))

    def test_installer_and_batch_script_choose_the_module_files_folder(self):
        installer = load_installer(self.folder)
        batch = runpy.run_path(os.path.join(self.folder, "velmora_batch.py"), run_name="batch")
        for platform, system in SYSTEMS.items():
            module = modules.resolve(self.mod_file, "2025", platform).module("velmora")
            chosen = os.path.dirname(modules.find_extension(module, "velmora", platform))
            self.assertEqual(installer["maya_platform"](system), platform)
            self.assertEqual(installer["binary_folder"](self.folder, system), chosen)
            self.assertEqual(batch["binary_folder"](self.folder, system), chosen)
            self.assertEqual(installer["BINARIES"], batch["BINARIES"])


if __name__ == "__main__":
    unittest.main()

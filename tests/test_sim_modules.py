"""The simulated Maya's reading of module files: condition order and
keywords, relative paths, the environment operators, first match wins, and
the folders Maya adds by itself."""

import os
import shutil
import tempfile
import unittest

import sim_support  # noqa: F401  (puts the simulator on sys.path)
from mayasim import modules


class ModuleFileRulesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-modules-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def resolve(self, text, maya="2024", platform="linux", locale="en_US"):
        return modules.resolve_text(text, self.tmp, maya, platform, locale)

    def test_conditions_select_a_description_and_the_first_match_wins(self):
        text = ("+ MAYAVERSION:2024 PLATFORM:win64 tool 1.0 win2024\n"
                "+ PLATFORM:win64 tool 1.0 win-any\n"
                "+ MAYAVERSION:2024 tool 1.0 any2024\n"
                "+ tool 1.0 fallback\n"
                "+ MAYAVERSION:2025 PLATFORM:linux LOCALE:ja_JP tool 1.0 ja\n")
        cases = [("2024", "win64", "en_US", "win2024"), ("2023", "win64", "en_US", "win-any"),
                 ("2024", "mac", "en_US", "any2024"), ("2022", "linux", "en_US", "fallback"),
                 # the catch-all comes before the locale line, so it wins
                 ("2025", "linux", "ja_JP", "fallback"), ("2024.2", "win64", "en_US", "win2024")]
        for maya, platform, locale, folder in cases:
            with self.subTest(maya=maya, platform=platform, locale=locale):
                found = self.resolve(text, maya, platform, locale)
                self.assertEqual([m.root for m in found.modules], [os.path.join(self.tmp, folder)])
        self.assertEqual(self.resolve(text.splitlines()[-1], "2025", "linux", "ja_JP")
                         .module("tool").root, os.path.join(self.tmp, "ja"))

    def test_conditions_out_of_order_or_unknown_make_a_line_maya_skips(self):
        found = self.resolve("+ PLATFORM:linux MAYAVERSION:2024 tool 1.0 a\n"
                             "+ MAYAVERSION:2024 MAYAVERSION:2024 tool 1.0 b\n"
                             "+ OS:linux tool 1.0 c\n"
                             "+ PLATFORM:linux64 tool 1.0 d\n"
                             "+ tool 1.0\n")
        self.assertEqual(found.modules, [])
        self.assertEqual([n for n, _ in found.ignored], [1, 2, 3, 4, 5])
        self.assertIn("out of order", found.ignored[0][1])

    def test_paths_relative_to_the_file_with_spaces_and_the_four_operators(self):
        os.makedirs(os.path.join(self.tmp, "My Tools", "tool", "scripts"))
        os.makedirs(os.path.join(self.tmp, "My Tools", "tool", "icons"))
        found = self.resolve("# a comment\n\n"
                             "+ tool 2.5 My Tools/tool\n"
                             "PYTHONPATH +:= lib/py\n"
                             "PYTHONPATH+=/abs/py\n"
                             "MAYA_PLUG_IN_PATH+:=plug\n"
                             "MAYA_PLUG_IN_PATH:=only\n"
                             "TOOL_HOME=/opt/tool\n")
        (module,) = found.modules
        root = os.path.join(self.tmp, "My Tools", "tool")
        self.assertEqual((module.name, module.version, module.root), ("tool", "2.5", root))
        # the module's own scripts folder comes first, by Maya's default
        self.assertEqual(module.paths("PYTHONPATH"), [os.path.join(root, "scripts"),
                                                      os.path.join(root, "lib", "py"),
                                                      "/abs/py"])
        self.assertEqual(module.paths("MAYA_SCRIPT_PATH"), [os.path.join(root, "scripts")])
        self.assertEqual(module.paths("XBMLANGPATH"), [os.path.join(root, "icons")])
        self.assertEqual(module.paths("MAYA_PLUG_IN_PATH"), [os.path.join(root, "only")])
        self.assertEqual(module.paths("TOOL_HOME"), ["/opt/tool"])
        self.assertEqual(found.ignored, [])

    def test_assignments_belong_to_the_description_above_them(self):
        text = ("ORPHAN=1\n"
                "+ PLATFORM:win64 tool 1.0 .\nPYTHONPATH+:=win\n"
                "+ PLATFORM:linux tool 1.0 .\nPYTHONPATH+:=lin\n"
                "this is not a line Maya reads\n")
        found = self.resolve(text, platform="linux")
        self.assertEqual(found.module("tool").paths("PYTHONPATH"), [os.path.join(self.tmp, "lin")])
        self.assertEqual([n for n, _ in found.ignored], [1, 6])

    def test_find_extension_takes_the_first_folder_with_this_platforms_file(self):
        for folder, name in (("a", "tool.pyd"), ("b", "tool.abi3.so"), ("c", "tool.so")):
            os.makedirs(os.path.join(self.tmp, folder))
            open(os.path.join(self.tmp, folder, name), "w").close()
        text = "+ tool 1.0 .\nPYTHONPATH+:=a\nPYTHONPATH+:=b\nPYTHONPATH+:=c\n"
        module = self.resolve(text).module("tool")
        self.assertEqual(modules.find_extension(module, "tool", "win64"),
                         os.path.join(self.tmp, "a", "tool.pyd"))
        self.assertEqual(modules.find_extension(module, "tool", "linux"),
                         os.path.join(self.tmp, "b", "tool.abi3.so"))
        self.assertIsNone(modules.find_extension(module, "other", "mac"))

    def test_resolve_reads_the_file_and_rejects_unknown_platforms(self):
        path = os.path.join(self.tmp, "tool.mod")
        with open(path, "w") as f:
            f.write("+ PLATFORM:mac tool 1.0 sub\n")
        self.assertEqual(modules.resolve(path, "2026", "mac").module("tool").root,
                         os.path.join(self.tmp, "sub"))
        with self.assertRaises(ValueError):
            modules.resolve(path, "2026", "macos")
        with self.assertRaises(modules.ModuleFileError):
            modules.resolve(os.path.join(self.tmp, "missing.mod"), "2026", "mac")


if __name__ == "__main__":
    unittest.main()

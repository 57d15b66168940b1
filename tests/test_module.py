"""The module as Maya's interpreter sees it: its namespace, the plain class,
safe_open, show, and what importing does (nothing)."""

import inspect
import io
import os
import subprocess
import sys
import unittest
from unittest import mock

from support import BUILD, SIM, HostTestCase, host, velmora

DOC = ("\nVelmora\nConverts Maya scenes between .ma, .mb, .fbx formats\n\n"
       "Compatible with Maya 2019-2026 (Python 2.7 and Python 3.x)\n\n"
       "Features:\n- Guaranteed viewport restoration\n- Incremental filename limit\n"
       "- FPS preservation\n- Diagnostic logging\n")

# name, parameters after self, docstring
METHODS = [
    ("__init__", "", None),
    ("create_ui", "", None),
    ("browse_folder", "*args", None),
    ("log", "msg", None),
    ("update_status", "msg", None),
    ("update_progress", "val", None),
    ("get_source_extensions", "", None),
    ("get_output_formats", "", None),
    ("collect_files", "", None),
    ("get_incremental_filename", "filepath", "Get incremental filename with loop protection"),
    ("disable_viewport", "", "Disable viewport with state tracking"),
    ("enable_viewport", "", "Enable viewport (guaranteed)"),
    ("setup_fbx_export", "", None),
    ("convert_file", "source_file, output_formats, source_fps=None",
     "File conversion with detailed logging"),
    ("start_conversion", "*args", None),
    ("process_files", "files, output_formats", "Process files one by one"),
    ("finalize_conversion", "", "Cleanup and statistics"),
    ("show_about", "*args", "Show About dialog"),
    ("show_help", "*args", "Show Help dialog"),
    ("show_statistics", "", None),
    ("save_stats", "stats_text, *args", None),
]


def run_python(code, with_sim=True):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(([SIM] if with_sim else []) + [BUILD])
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=BUILD,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


class ModuleNamespace(unittest.TestCase):
    def test_names_are_bound_in_order(self):
        import functools
        import time
        names = [n for n in vars(velmora) if not n.startswith("__")]
        self.assertEqual(names, ["cmds", "mel", "os", "sys", "time", "io", "partial", "PY2",
                                 "safe_open", "Velmora", "show", "batch", "batch_report",
                                 "start_batch", "batches", "stop_batch", "resume_batch",
                                 "forget_batch", "_background", "batch_main", "doctor", "_doctor_checks",
                                 "_worker", "show_batches", "inspect", "_verify"])
        import maya.cmds
        import maya.mel
        self.assertIs(velmora.cmds, maya.cmds)
        self.assertIs(velmora.mel, maya.mel)
        self.assertIs(velmora.time, time)
        self.assertIs(velmora.partial, functools.partial)
        self.assertIs(velmora.PY2, False)

    def test_docstring_is_exact(self):
        self.assertEqual(velmora.__doc__, DOC)
        self.assertEqual(velmora.__doc__.split("\n")[:2], ["", "Velmora"])

    def test_plain_class_with_constants_then_methods_in_order(self):
        cls = velmora.Velmora
        self.assertIs(type(cls), type)
        self.assertEqual(cls.__bases__, (object,))
        self.assertIsNone(cls.__doc__)
        self.assertEqual(cls.__module__, "velmora")
        own = [n for n in vars(cls) if n not in ("__module__", "__dict__", "__weakref__", "__doc__")]
        self.assertEqual(own, ["MAX_INCREMENT", "LOG_FILE"] + [m[0] for m in METHODS])
        self.assertEqual(cls.MAX_INCREMENT, 999)
        self.assertEqual(cls.LOG_FILE, "D:/converter_log.txt")

    def test_methods_have_their_parameters_and_docstrings(self):
        with mock.patch.object(velmora.Velmora, "LOG_FILE", os.devnull):
            obj = velmora.Velmora()
        for name, params, doc in METHODS:
            self.assertEqual(getattr(velmora.Velmora, name).__doc__, doc, name)
            self.assertEqual(str(inspect.signature(getattr(obj, name))), "(" + params + ")", name)

    def test_instances_have_a_dict_and_accept_any_attribute(self):
        with mock.patch.object(velmora.Velmora, "LOG_FILE", os.devnull):
            obj = velmora.Velmora()
        obj.anything = 1
        self.assertEqual(vars(obj)["anything"], 1)
        with self.assertRaises(TypeError):
            velmora.Velmora(1)

    def test_methods_reject_wrong_arity(self):
        with mock.patch.object(velmora.Velmora, "LOG_FILE", os.devnull):
            obj = velmora.Velmora()
        with self.assertRaises(TypeError):
            obj.log()
        with self.assertRaises(TypeError):
            obj.log("a", "b")
        with self.assertRaises(TypeError):
            obj.save_stats()


class SafeOpen(HostTestCase):
    def test_defaults_read_utf8_text(self):
        path = self.path("text.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("h\u00e9llo \u65e5\u672c")
        with velmora.safe_open(path) as f:
            self.assertEqual(f.read(), "h\u00e9llo \u65e5\u672c")
            self.assertEqual(f.mode, "r")
        self.assertEqual(str(inspect.signature(velmora.safe_open)),
                         "(filepath, mode='r', encoding='utf-8')")
        self.assertEqual(velmora.safe_open.__doc__, "Open file with encoding support for Python 2/3")

    def test_keywords_and_errors_reach_the_caller(self):
        path = self.path("k.txt")
        with velmora.safe_open(filepath=path, mode="w", encoding="latin-1") as f:
            f.write("\u00e9")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"\xe9")
        with self.assertRaises(OSError):
            velmora.safe_open(self.path("missing", "x.txt"))

    def test_python2_branch_uses_io_open_with_the_same_arguments(self):
        fake_io = mock.Mock()
        with mock.patch.object(velmora, "PY2", True), mock.patch.object(velmora, "io", fake_io):
            velmora.safe_open("p", "a")
        fake_io.open.assert_called_once_with("p", "a", encoding="utf-8")


class Show(HostTestCase):
    def test_show_builds_one_window_and_returns_none(self):
        self.assertIsNone(velmora.show())
        velmora.show()
        self.assertEqual(host.ui.windows(), ["velmoraWin"])


class Import(unittest.TestCase):
    def test_outside_maya_the_import_error_names_maya(self):
        result = run_python("import velmora", with_sim=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("ModuleNotFoundError: No module named 'maya'", result.stderr)

    def test_import_calls_no_maya_command_and_writes_nothing(self):
        result = run_python(
            "import os, mayasim, velmora\n"
            "print(len(mayasim.host.journal), os.path.exists(velmora.Velmora.LOG_FILE))")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), ["0", "False"])

    def test_one_binary_uses_the_stable_abi(self):
        self.assertTrue(velmora.__file__.endswith("velmora.abi3.so"))


if __name__ == "__main__":
    unittest.main()

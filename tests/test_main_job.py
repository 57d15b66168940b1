"""The main job end to end: the bundled example scenes converted through the
window on the simulated Maya, with the report printed."""

import contextlib
import io
import os
import sys
import unittest

from support import ROOT, HostTestCase, host, velmora
import mayasim

sys.path.insert(0, os.path.join(ROOT, "tools"))
import convert  # noqa: E402


class MainJob(HostTestCase):
    def run_job(self, *argv):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = convert.main(list(argv) + ["--out", self.tmp])
        return status, out.getvalue()

    def test_examples_convert_with_one_broken_file_reported(self):
        status, printed = self.run_job("--outputs", "mb,fbx", "--preset", "Animation")
        self.assertEqual(status, 0)
        for line in ("Total: 6", "Success: 5", "Failed: 1", "Skipped: 0", "  - damaged_export.ma"):
            self.assertIn(line + "\n", printed)
        self.assertIn("Written (10):", printed)
        folder = printed.split("Folder: ")[1].split("\n")[0]
        lamp = mayasim.read_scene(os.path.join(folder, "props and sets", "lamp.mb"))
        self.assertEqual((lamp["unit"], lamp["min"], lamp["max"]), ("ntscf", -10.0, 250.0))
        self.assertTrue(os.path.exists(os.path.join(folder, "characters", "shot010.final.v02.fbx")))
        self.assertTrue(os.path.exists(os.path.join(folder, "props and sets", "CRATE.mb")))
        log = printed.split("Log: ")[1].strip()
        with open(log, encoding="utf-8") as f:
            self.assertIn(">>> Exited finally block", f.read())

    def test_window_defaults_convert_nothing_new_for_ascii_sources(self):
        status, printed = self.run_job()
        self.assertEqual(status, 0)
        self.assertIn("Success: 0\n", printed)
        self.assertIn("Written (0):", printed)

    def test_sources_are_never_modified_and_a_second_run_numbers_outputs(self):
        folder = os.path.join(self.tmp, "mine")
        os.makedirs(folder)
        mayasim.write_scene(os.path.join(folder, "a.ma"), unit="pal")
        with open(os.path.join(folder, "a.ma"), "rb") as f:
            original = f.read()
        self.run_job(folder, "--outputs", "mb")
        status, printed = self.run_job(folder, "--outputs", "mb")
        self.assertIn("  a_001.mb\n", printed)
        with open(os.path.join(folder, "a.ma"), "rb") as f:
            self.assertEqual(f.read(), original)


if __name__ == "__main__":
    unittest.main()

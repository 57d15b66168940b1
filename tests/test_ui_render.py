"""tools/render_windows.py draws the four windows from the simulated host."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from support import BUILD, ROOT

SCRIPT = os.path.join(ROOT, "tools", "render_windows.py")
SVG = "{http://www.w3.org/2000/svg}"

LABELS = {
    "main_window.svg": ["Velmora", "About", "Source Folder:", "...", "Options:",
                        "Include subdirectories", "Skip existing files", "Source File Types:",
                        "Convert To:", ".ma", ".mb", ".fbx", "FBX Settings:", "Preset:",
                        "Default", "Progress:", "Ready", "Start Conversion"],
    "statistics_window.svg": ["Statistics", "Conversion Complete!", "STATISTICS",
                              "Time: 2m 5s", "FAILED FILES:", "  - shot_040.ma",
                              "Save to File", "Close"],
    "about_window.svg": ["About Velmora", "Velmora", "Version 1.0", "velmora.example", "OK"],
    "batches_window.svg": ["Velmora Batches", "Source Folder:", "Maya processes (1 to 256, 0 = automatic):",
                           "600", "Start in Background", "Batches:", "D:/scenes/episode_03",
                           "Running", "17 / 48", "5m 12s left", "Stopped", "Finished",
                           "2 failed", "Resume", "Forget", "Report", "Folder",
                           "3 batches, 1 running"],
}


class RenderTest(unittest.TestCase):
    def test_pictures_hold_the_windows_labels(self):
        out = tempfile.mkdtemp(prefix="velmora-render-")
        self.addCleanup(shutil.rmtree, out, True)
        subprocess.check_call([sys.executable, SCRIPT, "--out", out, "--build", BUILD],
                              stdout=subprocess.DEVNULL)
        self.assertEqual(sorted(os.listdir(out)), sorted(LABELS))
        for name, labels in sorted(LABELS.items()):
            root = ET.parse(os.path.join(out, name)).getroot()
            self.assertEqual(root.tag, SVG + "svg")
            texts = set(t.text for t in root.iter(SVG + "text"))
            for label in labels:
                self.assertIn(label, texts, name)
        # check states and colours come from the flags
        main = ET.parse(os.path.join(out, "main_window.svg")).getroot()
        self.assertEqual(len([p for p in main.iter(SVG + "path") if p.get("fill") == "none"]), 5)
        self.assertIn("#4c994c", [r.get("fill") for r in main.iter(SVG + "rect")])

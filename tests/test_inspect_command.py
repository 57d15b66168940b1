"""velmora-batch inspect and the dry run's pre-flight: what a folder of
scenes needs, read by velmora itself with no Maya started."""

import json
import os
import shutil
import tempfile
import unittest

from headless_support import batch_command as command
from support import ROOT, velmora

SCENES = os.path.join(ROOT, "tests", "data", "scenes")
# Real scenes: two Maya ASCII ones and a Maya Binary one that needs a plug-in.
PLAIN = os.path.join(SCENES, "pymel", "skel.ma")
OTHER = os.path.join(SCENES, "pymel", "skel2.ma")
BINARY = os.path.join(SCENES, "maya-usd", "testSamples__switchVariants__rig.anim.mb")

REFERENCING = """//Maya ASCII 2023 scene
requires maya "2023";
requires "mtoa" "5.2.1.1";
currentUnit -l centimeter -a degree -t ntsc;
file -rdi 1 -ns "hero" -rfn "heroRN" -typ "mayaAscii" "gone/hero.ma";
file -rdi 1 -ns "prop" -rfn "propRN" -typ "mayaAscii" "props/prop.ma";
file -r -ns "hero" -dr 1 -rfn "heroRN" -typ "mayaAscii" "gone/hero.ma";
file -r -ns "prop" -rfn "propRN" -typ "mayaAscii" "props/prop.ma";
createNode transform -n "root";
createNode file -n "diffuse";
\tsetAttr ".ftn" -type "string" "textures/missing.png";
createNode expression -n "wobble";
createNode script -n "cleanup";
\tsetAttr ".b" -type "string" "system(\\"rm -rf /tmp/x\\");";
\tsetAttr ".st" 1;
"""


class InspectCommand(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-inspect-")
        self.folder = os.path.join(self.tmp, "shots")
        os.makedirs(os.path.join(self.folder, "sub"))
        shutil.copy(PLAIN, os.path.join(self.folder, "plain.ma"))
        shutil.copy(OTHER, os.path.join(self.folder, "sub", "skeleton.ma"))
        shutil.copy(BINARY, os.path.join(self.folder, "sub", "rig.mb"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def add(self, name, text):
        path = os.path.join(self.folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_a_line_per_scene_a_summary_and_the_status_says_whether_anything_lacks(self):
        status, out, err = command("inspect", self.folder)
        self.assertEqual((status, err), (0, ""), out)
        lines = out.splitlines()
        self.assertEqual([l.split(":")[0] for l in lines[:3]],
                         [os.path.join(self.folder, p) for p in ("plain.ma", "sub/rig.mb", "sub/skeleton.ma")])
        self.assertRegex(lines[0], r": Maya \S+, cm/deg/\w+, \d+ nodes")
        self.assertIn(", plug-ins: stereoCamera 10.0, 2 script nodes", lines[1])
        self.assertIn("3 scenes: 3 read whole, 0 will likely fail", out)
        self.assertRegex(out, r"\nversions: Maya \S+ \(\d scenes?\)")

        # A missing reference (the loaded one is there), a missing texture,
        # and a file that is no scene: each said, and the status is 1.
        self.add("props/prop.ma", PLAIN_TEXT)
        self.add("shot.ma", REFERENCING)
        self.add("notes.mb", "not a scene at all\n")
        status, out, err = command("inspect", self.folder, "--no-subdirs")
        self.assertEqual((status, err), (1, ""), out)
        shot = [l for l in out.splitlines() if l.startswith(os.path.join(self.folder, "shot.ma"))][0]
        self.assertIn("Maya 2023, cm/deg/ntsc, 4 nodes, plug-ins: mtoa 5.2.1.1, references: 1 missing of 2, "
                      "files: 1 missing of 1, 1 script node, doing more than configuration: cleanup "
                      "(open/close: runs programs), 1 expression", shot)
        self.assertRegex(out, r"notes\.mb: not read: .+")
        self.assertIn("3 scenes: 1 read whole, 1 will likely fail (1 not read as scenes, 0 read with problems), "
                      "1 may convert with parts missing", out)  # plain.ma, notes.mb, shot.ma; props/ left out
        self.assertIn("missing references: gone/hero.ma (1 scene)", out)

        # A path that is not there is a usage error, before anything is read.
        status, out, err = command("inspect", PLAIN, os.path.join(self.tmp, "nowhere"))
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(err.strip().splitlines()[-1][-len("nowhere"):], "nowhere")

    def test_json_and_the_batch_listing_options(self):
        self.add("notes.mb", "not a scene at all\n")
        status, out, _ = command("inspect", "--json", "--sources", "mb", "--exclude", "notes*", self.folder)
        readings = json.loads(out)
        self.assertEqual(status, 0)
        self.assertEqual([r["path"] for r in readings], [os.path.join(self.folder, "sub", "rig.mb")])
        self.assertEqual(readings[0]["format"], "mayaBinary")
        self.assertEqual(readings[0]["units"]["linear"], "cm")
        status, out, _ = command("inspect", "--json", os.path.join(self.folder, "notes.mb"), PLAIN)
        readings = json.loads(out)
        self.assertEqual(status, 1)
        self.assertEqual(sorted(readings[0]), ["error", "path"])
        self.assertEqual(readings[1]["path"], PLAIN)


PLAIN_TEXT = '//Maya ASCII 2023 scene\nrequires maya "2023";\ncreateNode transform -n "prop";\n'


class PreFlight(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-preflight-")
        self.folder = os.path.join(self.tmp, "shots")
        os.makedirs(os.path.join(self.folder, "props"))
        with open(os.path.join(self.folder, "shot.ma"), "w") as f:
            f.write(REFERENCING)
        with open(os.path.join(self.folder, "props", "prop.ma"), "w") as f:
            f.write(PLAIN_TEXT)
        with open(os.path.join(self.folder, "broken.mb"), "wb") as f:
            f.write(b"FOR8\0\0\0\0\0\0\0\0\0\0\1\0Maya")  # claims 256 bytes it does not have

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_the_dry_run_says_what_each_scene_lacks_beside_the_names_it_would_write(self):
        status, out, err = command(self.folder, "--outputs", "fbx", "--dry-run")
        self.assertEqual(status, 0, err)
        lines = out.splitlines()
        at = lines.index("  shot.ma -> shot.fbx")
        self.assertEqual("      references missing: gone/hero.ma; files missing: textures/missing.png; "
                         "plug-ins: mtoa 5.2.1.1; script nodes: cleanup (open/close: runs programs)", lines[at + 1])
        at = lines.index("  broken.mb -> broken.fbx")
        self.assertRegex(lines[at + 1], r"^      not read whole: truncated at byte ")
        self.assertIn("3 scenes: 1 read whole, 1 will likely fail (0 not read as scenes, 1 read with problems), "
                      "1 may convert with parts missing", out)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "shot.fbx")))

        results = velmora.batch(self.folder, outputs="fbx", dry_run=True)
        readings = dict(results["preflight"])
        shot = readings[os.path.join(self.folder, "shot.ma")]
        self.assertEqual([(r["namespace"], r["loaded"], r["exists"]) for r in shot["references"]],
                         [("hero", False, False), ("prop", True, True)])
        self.assertTrue(readings[os.path.join(self.folder, "broken.mb")]["problems"])


if __name__ == "__main__":
    unittest.main()

"""Simulated host: the scene and the files it reads and writes."""
import os
import shutil
import stat
import sys
import tempfile
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds


REAL_WORLD_MA = """//Maya ASCII 2023 scene
//Name: walk.ma
//Codeset: UTF-8
requires maya "2023";
requires "stereoCamera" "10.0";
currentUnit -l centimeter -a degree -t ntscf;
fileInfo "application" "maya";
createNode transform -s -n "persp";
\trename -uid "D6C1F0B2-4F4E-1D2B-6A5D-5F9C8E7D1A00";
\tsetAttr ".v" no;
createNode camera -s -n "perspShape" -p "persp";
createNode transform -n "hero_GRP";
createNode joint -n "root_JNT" -p "hero_GRP";
createNode script -n "sceneConfigurationScriptNode";
\tsetAttr ".b" -type "string" "playbackOptions -min 12 -max 96.5 -ast 1 -aet 200 ";
\tsetAttr ".st" 6;
// End of walk.ma
"""


class SceneTest(SimTestCase):
    def setUp(self):
        super(SceneTest, self).setUp()
        self.tmp = tempfile.mkdtemp(prefix="mayasim-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def p(self, name):
        return os.path.join(self.tmp, name)

    def test_new_scene_defaults(self):
        cmds.currentUnit(time="ntsc")
        cmds.playbackOptions(min=5, max=6)
        self.assertTrue(host.scene.modified)
        cmds.file(new=True, force=True)
        sc = host.scene
        self.assertEqual((sc.path, sc.modified, sc.time_unit, sc.nodes), ("", False, "film", []))
        self.assertEqual((cmds.playbackOptions(q=True, min=True),
                          cmds.playbackOptions(q=True, max=True)), (1.0, 120.0))

    def test_time_units_validated(self):
        for unit in ("23.976fps", "ntscf", "120fps", "29.97df", "48000fps"):
            cmds.currentUnit(time=unit)
            self.assertEqual(cmds.currentUnit(q=True, time=True), unit)
        with self.assertRaises(RuntimeError):
            cmds.currentUnit(time="24fps")
        self.assertEqual(cmds.currentUnit(q=True, time=True), "48000fps")

    def test_round_trip_both_formats(self):
        for fmt, ext in (("mayaAscii", "ma"), ("mayaBinary", "mb")):
            src = mayasim.write_scene(self.p("src." + ext), unit="ntsc", pmin=3, pmax=77.5,
                                      nodes=("pCube1", ("cam1", "camera")), fmt=ext)
            cmds.file(new=True, force=True)
            cmds.file(src, open=True, force=True)
            cmds.currentUnit(time="game")
            out = self.p("out." + ext)
            cmds.file(rename=out)
            cmds.file(save=True, type=fmt)
            self.assertFalse(host.scene.modified)
            cmds.file(new=True, force=True)
            cmds.file(out, open=True, force=True)
            sc = host.scene
            self.assertEqual(sc.path, out)
            self.assertEqual(sc.time_unit, "game")
            self.assertEqual((sc.playback_min, sc.playback_max), (3.0, 77.5))
            self.assertEqual(sc.nodes, ["pCube1", "cam1"])
            self.assertEqual(sc.node_types["cam1"], "camera")

    def test_ascii_output_looks_like_maya_ascii(self):
        cmds.file(rename=self.p("shot.ma"))
        cmds.file(save=True, type="mayaAscii")
        with open(self.p("shot.ma")) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "//Maya ASCII 2024 scene")
        self.assertIn("currentUnit -l centimeter -a degree -t film;", lines)

    def test_real_world_ascii_parses(self):
        with open(self.p("walk.ma"), "w") as f:
            f.write(REAL_WORLD_MA)
        cmds.file(self.p("walk.ma"), open=True, force=True)
        sc = host.scene
        self.assertEqual(sc.time_unit, "ntscf")
        self.assertEqual((sc.playback_min, sc.playback_max), (12.0, 96.5))
        self.assertEqual(sc.nodes, ["persp", "perspShape", "hero_GRP", "root_JNT",
                                    "sceneConfigurationScriptNode"])

    def test_open_failures(self):
        with open(self.p("junk.ma"), "w") as f:
            f.write("not a scene\n")
        for path in (self.p("missing.ma"), self.p("junk.ma"), self.tmp):
            with self.assertRaises(RuntimeError):
                cmds.file(path, open=True, force=True)

    def test_unsaved_changes_need_force(self):
        src = mayasim.write_scene(self.p("a.ma"))
        cmds.currentUnit(time="pal")
        with self.assertRaises(RuntimeError):
            cmds.file(src, open=True)
        with self.assertRaises(RuntimeError):
            cmds.file(new=True)
        cmds.file(modified=False)
        cmds.file(new=True)

    def test_save_failures(self):
        with self.assertRaises(RuntimeError):
            cmds.file(save=True, type="mayaAscii")           # untitled
        cmds.file(rename=self.p("x.ma"))
        with self.assertRaises(RuntimeError):
            cmds.file(save=True, type="OBJexport")
        cmds.file(rename=self.p("no/dir/x.ma"))
        with self.assertRaises(RuntimeError):
            cmds.file(save=True, type="mayaAscii")

    @unittest.skipIf(os.name != "posix" or os.geteuid() == 0, "permissions not enforced")
    def test_save_into_read_only_folder(self):
        ro = self.p("ro")
        os.mkdir(ro)
        os.chmod(ro, stat.S_IRUSR | stat.S_IXUSR)
        self.addCleanup(os.chmod, ro, stat.S_IRWXU)
        cmds.file(rename=os.path.join(ro, "x.ma"))
        with self.assertRaises(RuntimeError):
            cmds.file(save=True, type="mayaAscii")

    def test_non_utf8_path_round_trip(self):
        name = os.fsdecode(b"sc\xe8ne \xff.ma")
        src = mayasim.write_scene(os.path.join(self.tmp, name), nodes=("pCube1",))
        cmds.file(src, open=True, force=True)
        out = os.path.join(self.tmp, os.fsdecode(b"\xfe out.mb"))
        cmds.file(rename=out)
        cmds.file(save=True, type="mayaBinary")
        self.assertIn(b"\xfe out.mb", os.listdir(os.fsencode(self.tmp)))
        cmds.file(out, open=True, force=True)
        self.assertEqual(host.scene.nodes, ["pCube1"])

    def test_selection(self):
        mayasim.write_scene(self.p("a.ma"), nodes=("a", "b"))
        cmds.file(self.p("a.ma"), open=True, force=True)
        cmds.select("b")
        self.assertEqual(host.scene.selection, ["b"])
        with self.assertRaises(ValueError):
            cmds.select("zzz")
        cmds.select(clear=True)
        self.assertEqual(host.scene.selection, [])


if __name__ == "__main__":
    unittest.main()

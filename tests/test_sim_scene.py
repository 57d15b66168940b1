"""Simulated host: the scene and the files it reads and writes."""
import os
import shutil
import stat
import struct
import sys
import tempfile
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds
import maya.mel as mel


REAL_WORLD_MA = """//Maya ASCII 2023 scene
//Name: walk.ma
//Codeset: UTF-8
file -rdi 1 -ns "hero" -rfn "heroRN" -op "v=0;" -typ "mayaAscii"
\t\t "/rigs/hero;v2.ma";
file -r -ns "hero" -dr 1 -rfn "heroRN" -op "v=0;" -typ "mayaAscii"
\t\t "/rigs/hero;v2.ma";
requires maya "2023";
requires -nodeType "mayaUsdProxyShape" -dataType "pxrUsdStageData" "mayaUsdPlugin"
\t\t "1.0";
requires "stereoCamera" "10.0";
currentUnit -l centimeter -a degree -t ntscf;
fileInfo "application" "maya";
fileInfo "note" "a; createNode fake -n \\"x\\"; // not a comment";
createNode transform -s -n "persp";
\trename -uid "D6C1F0B2-4F4E-1D2B-6A5D-5F9C8E7D1A00";
\tsetAttr ".v" no;
createNode camera -s -n "perspShape" -p "persp";
createNode transform -n "hero_GRP";
createNode joint -n "root_JNT" -p "hero_GRP";
createNode script -n "sceneConfigurationScriptNode";
\tsetAttr ".b" -type "string" "playbackOptions -min 12 -max 96.5 -ast 1 -aet 200 ";
\tsetAttr ".st" 6;
createNode script -n "other";
\tsetAttr ".b" -type "string" "playbackOptions -min 500 -max 600 ";
select -ne :time1;
\tsetAttr ".b" -type "string" "playbackOptions -min 700 -max 800 ";
// End of walk.ma
"""

SCENES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "scenes")
REAL_MB = os.path.join(SCENES, "maya-usd", "testSamples__switchVariants__rig.anim.mb")


def iff_walk(raw):
    """An independent reading of a Maya Binary file's IFF structure: checks
    every size and padding, returns [(depth, tag, group type or data)]."""
    out = []

    def chunks(off, end, depth):
        while off < end:
            tag = raw[off:off + 4]
            size = struct.unpack(">Q", raw[off + 8:off + 16])[0]
            if off + 16 + size > end:
                raise AssertionError("%r at %d runs past its group" % (tag, off))
            if tag in (b"FOR8", b"LIS8", b"CAT8"):
                out.append((depth, tag, raw[off + 16:off + 20]))
                chunks(off + 20, off + 16 + size, depth + 1)
                off += 16 + size
            else:
                out.append((depth, tag, raw[off + 16:off + 16 + size]))
                pad = -size % 8
                if raw[off + 16 + size:off + 16 + size + pad] != b"\0" * pad:
                    raise AssertionError("%r at %d: padding is not zeros" % (tag, off))
                off += 16 + size + pad
        if off != end:
            raise AssertionError("children end at %d, their group at %d" % (off, end))

    size = struct.unpack(">Q", raw[8:16])[0]
    if raw[:4] != b"FOR8" or 16 + size != len(raw):
        raise AssertionError("the top group does not cover the file")
    out.append((0, b"FOR8", raw[16:20]))
    chunks(20, len(raw), 1)
    return out


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
        # The range comes from the configuration node only: not from another
        # script node's text, nor from a setAttr after `select`.
        self.assertEqual((sc.playback_min, sc.playback_max), (12.0, 96.5))
        # The configuration node carries the range; it is no entry of `nodes`.
        self.assertEqual(sc.nodes, ["persp", "perspShape", "hero_GRP", "root_JNT", "other"])
        self.assertEqual(sc.parents, {"perspShape": "persp", "root_JNT": "hero_GRP"})
        self.assertEqual(sc.requires, [["mayaUsdPlugin", "1.0"], ["stereoCamera", "10.0"]])
        self.assertEqual(sc.file_info, {"application": "maya",
                                        "note": 'a; createNode fake -n "x"; // not a comment'})
        self.assertEqual(sc.references, [{"path": "/rigs/hero;v2.ma", "namespace": "hero",
                                          "node": "heroRN", "loaded": False}])

    def test_top_level_playback_options_and_marker(self):
        with open(self.p("old.ma"), "w") as f:
            f.write('//Maya ASCII 2018 scene\n//mayasim: noise-on-open\n'
                    'createNode transform -n "a";\nplaybackOptions -min 5 -max 9\n -ast 2;\n')
        data = mayasim.read_scene(self.p("old.ma"))
        self.assertEqual((data["min"], data["max"], data["ast"], data["version"]),
                         (5.0, 9.0, 2.0, "2018"))
        self.assertEqual((data["nodes"], data["behaviour"]), ([["a", "transform"]], "noise-on-open"))

    def test_every_real_scene_opens(self):
        names = [os.path.join(d, n) for d, _, files in os.walk(SCENES) for n in files
                 if n.endswith((".ma", ".mb"))]
        self.assertEqual(len(names), 136)
        for path in names:
            cmds.file(path, open=True, force=True)
            self.assertTrue(host.scene.nodes, path)
        data = mayasim.read_scene(REAL_MB)
        self.assertEqual((data["format"], data["version"], data["unit"]), ("mayaBinary", "2020", "film"))
        self.assertEqual((data["min"], data["max"], data["ast"], data["aet"]), (1.0, 120.0, 1.0, 200.0))
        self.assertEqual(data["nodes"][:3], [["persp", "transform"], ["perspShape", "camera"],
                                             ["top", "transform"]])
        self.assertEqual(len(data["nodes"]), 41)
        self.assertEqual((data["parents"]["meshShape"], data["parents"]["cube"] if "cube" in
                          data["parents"] else None), ("mesh", None))
        self.assertEqual(data["requires"], [["stereoCamera", "10.0"]])
        self.assertEqual(data["file_info"]["product"], "Maya 2020")

    def test_full_round_trip_through_both_formats(self):
        refs = [{"path": "/rigs/a b.mb", "namespace": "a", "node": "aRN", "loaded": True},
                {"path": "C:/rigs/c.ma", "namespace": "c", "node": "cRN", "loaded": False}]
        name = os.fsdecode(b"n\xffode")
        src = mayasim.write_scene(self.p("src.mb"), unit="pal", pmin=-4, pmax=33.5, fmt="mb",
                                  nodes=("grp", ("jnt", "joint"), ("shape", "mesh"),
                                         (name, "myPluginNode")),
                                  parents={"jnt": "grp", "shape": "jnt"},
                                  requires=[["mtoa", "5.2.1.1"], ["mtoa", "5.2.1.1"]],
                                  file_info={"cutIdentifier": 'x"y;z', "version": "1999"},
                                  references=refs, behaviour="dialog-on-open")
        cmds.file(src, open=True, force=True)
        self.assertEqual(host.scene.behaviour, "dialog-on-open")
        for ext, fmt in (("ma", "mayaAscii"), ("mb", "mayaBinary"), ("ma", "mayaAscii")):
            cmds.file(rename=self.p("out." + ext))
            cmds.file(save=True, type=fmt)
            data = mayasim.read_scene(self.p("out." + ext))
            self.assertEqual((data["format"], data["version"], data["unit"]), (fmt, "2024", "pal"))
            self.assertEqual((data["min"], data["max"], data["ast"], data["aet"]),
                             (-4.0, 33.5, -4.0, 33.5))
            self.assertEqual(data["nodes"], [["grp", "transform"], ["jnt", "joint"],
                                             ["shape", "mesh"], [name, "myPluginNode"]])
            self.assertEqual(data["parents"], {"jnt": "grp", "shape": "jnt"})
            self.assertEqual(data["requires"], [["mtoa", "5.2.1.1"]] * 2)
            self.assertEqual(data["file_info"], {"cutIdentifier": 'x"y;z', "version": "2024",
                                                 "application": "maya", "product": "Maya 2024"})
            self.assertEqual(data["references"], refs)
            self.assertIsNone(data["behaviour"])       # saved files carry no marker
            cmds.file(self.p("out." + ext), open=True, force=True)

    def test_binary_is_well_formed_iff(self):
        big = mayasim.write_scene(self.p("big.mb"), fmt="mb", nodes=("a", ("aShape", "mesh")),
                                  parents={"aShape": "a"}, pad=100001, behaviour="crash-on-save",
                                  references=[{"path": "/r.ma", "namespace": "r", "node": "rRN",
                                               "loaded": True}], requires=[["p", "1"]])
        with open(big, "rb") as f:
            raw = f.read()
        self.assertGreater(len(raw), 100001)
        walked = iff_walk(raw)
        self.assertEqual([(d, t, g) for d, t, g in walked if t == b"FOR8"],
                         [(0, b"FOR8", b"Maya"), (1, b"FOR8", b"HEAD"), (1, b"FOR8", b"FRDI"),
                          (1, b"FOR8", b"FREF"), (1, b"FOR8", b"XFRM"), (1, b"FOR8", b"DMSH"),
                          (1, b"FOR8", b"SCRP")])
        chunks = [(t, v) for d, t, v in walked if t != b"FOR8"]
        self.assertEqual([t for t, _ in chunks[:11]],
                         [b"VERS", b"UVER", b"MADE", b"CHNG", b"ICON", b"INFO", b"OBJN",
                          b"INCL", b"LUNI", b"TUNI", b"AUNI"])
        self.assertIn((b"FINF", b"mayasim\0crash-on-save\0"), chunks)
        self.assertIn((b"PLUG", b"p\x001\0\0"), chunks)
        self.assertIn((b"FREF", b"/r.ma\0r\0\1\1rRN\0"), chunks)
        creas = [v for t, v in chunks if t == b"CREA"]
        self.assertEqual([c[:-16] for c in creas],
                         [b"\x8ca\0", b"\x04aShape\0a\0", b"\x80sceneConfigurationScriptNode\0"])
        self.assertIn((b"STR ", b"b\0 playbackOptions -min 1 -max 120 -ast 1 -aet 120 \0"), chunks)
        self.assertIn((b"DBLE", b"st\0 " + struct.pack(">d", 6.0)), chunks)
        self.assertEqual(mayasim.read_scene(big)["behaviour"], "crash-on-save")

    def test_fbx_header_follows_the_exporter_settings(self):
        mayasim.write_scene(self.p("src.ma"), unit="ntsc", nodes=("a", ("b", "joint")),
                            parents={"b": "a"})
        cmds.file(self.p("src.ma"), open=True, force=True)
        cmds.loadPlugin("fbxmaya")
        cases = [(None, None, 7700), ("FBX202000", "false", 7700), ("FBX201900", None, 7700),
                 ("FBX201800", None, 7500), ("FBX201600", "true", 7500),
                 ("FBX201400", "true", 7400), ("FBX201300", None, 7300),
                 ("FBX201100", None, 7100), ("FBX200611", "true", 6100)]
        text = False
        for i, (choice, in_ascii, version) in enumerate(cases):
            if choice:
                mel.eval("FBXExportFileVersion -v %s" % choice)
            if in_ascii:        # None: as the exporter was left
                mel.eval("FBXExportInAscii -v %s" % in_ascii)
                text = in_ascii == "true"
            out = self.p("out%d.fbx" % i)
            mel.eval('FBXExport -f "%s"' % out)
            with open(out, "rb") as f:
                raw = f.read()
            if text:
                self.assertEqual(raw.split(b"\n")[0], b"; FBX %d.%d.0 project file"
                                 % (version // 1000, version // 100 % 10), choice)
            else:
                self.assertEqual(raw[:27], b"Kaydara FBX Binary  \x00\x1a\x00"
                                 + struct.pack("<I", version), choice)
            data = mayasim.read_scene(out)
            self.assertEqual((data["format"], data["fbx_version"], data["ascii"]),
                             ("FBX", version, text))
            self.assertEqual((data["nodes"], data["parents"], data["unit"]),
                             ([["a", "transform"], ["b", "joint"]], {"b": "a"}, "ntsc"))
            self.assertEqual(data["settings"].get("FileVersion"), choice)
            cmds.file(out, open=True, force=True)
            self.assertEqual(host.scene.nodes, ["a", "b"])

    def test_fbx_sources_carry_marker_and_padding(self):
        src = mayasim.write_scene(self.p("s.fbx"), fmt="fbx", behaviour="dialog-on-open",
                                  pad=5000)
        self.assertGreater(os.path.getsize(src), 5000)
        data = mayasim.read_scene(src)
        self.assertEqual((data["behaviour"], data["fbx_version"], data["file_info"], data["nodes"]),
                         ("dialog-on-open", 7700, {}, [["pCube1", "transform"]]))
        with open(src, "rb") as f:
            raw = f.read()
        for broken in (raw[:25], raw[:40], b"; FBX 7.5.0 project file\n{"):
            with open(self.p("broken.fbx"), "wb") as f:
                f.write(broken)
            with self.assertRaises(mayasim.SceneFileError):
                mayasim.read_scene(self.p("broken.fbx"))

    def test_broken_binary_is_refused(self):
        good = mayasim.write_scene(self.p("g.mb"), fmt="mb")
        with open(good, "rb") as f:
            raw = f.read()
        deep = b"".join(b"FOR8\0\0\0\0" + struct.pack(">Q", 4 + 20 * (4999 - i)) + b"XXXX"
                        for i in range(5000))
        for i, data in enumerate((raw[:-9], raw[:48] + b"\xff" * 8 + raw[56:], b"FOR8",
                                  b"FOR8\0\0\0\0" + struct.pack(">Q", 1 << 62) + b"Maya", deep)):
            with open(self.p("b%d.mb" % i), "wb") as f:
                f.write(data)
            with self.assertRaises(RuntimeError) as cm:
                cmds.file(self.p("b%d.mb" % i), open=True, force=True)
            self.assertIn("corrupt mayaBinary", str(cm.exception))

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

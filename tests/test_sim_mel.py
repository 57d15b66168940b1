"""Simulated host: the MEL texts it understands, and nothing more."""
import os
import shutil
import sys
import tempfile
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds
import maya.mel as mel


def mel_quote(path):
    body = (path.replace("\\", "\\\\").replace('"', '\\"')
            .replace("\n", "\\n").replace("\t", "\\t").replace("\r", "\\r"))
    return '"%s"' % body


def read_fbx(path):
    doc = mayasim.read_scene(path)
    assert doc["format"] == "FBX", doc["format"]
    return doc


class MelTest(SimTestCase):
    def setUp(self):
        super(MelTest, self).setUp()
        self.tmp = tempfile.mkdtemp(prefix="mayasim-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        src = mayasim.write_scene(os.path.join(self.tmp, "src.ma"), unit="pal",
                                  pmin=10, pmax=40, nodes=("pCube1", "pSphere1", "joint1"))
        cmds.file(src, open=True, force=True)

    def test_main_pane_toggle(self):
        mel.eval("paneLayout -e -manage false $gMainPane")
        self.assertFalse(host.main_pane_managed)
        mel.eval("paneLayout -e -manage true $gMainPane")
        self.assertTrue(host.main_pane_managed)

    def test_fbx_commands_need_the_plugin(self):
        with self.assertRaises(RuntimeError) as cm:
            mel.eval("FBXExportBakeComplexAnimation -v true")
        self.assertIn('Cannot find procedure "FBXExportBakeComplexAnimation"', str(cm.exception))
        with self.assertRaises(RuntimeError):
            mel.eval('FBXExport -f "%s/a.fbx"' % self.tmp)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "a.fbx")))

    def test_settings_and_export(self):
        cmds.loadPlugin("fbxmaya")
        mel.eval("FBXExportBakeComplexAnimation -v true")
        mel.eval("FBXExportBakeComplexStart -v 10")
        mel.eval("FBXExportBakeComplexEnd -v -5")
        mel.eval("FBXExportAnimationOnly -v false")
        self.assertEqual(host.fbx_settings, {"BakeComplexAnimation": True, "BakeComplexStart": 10,
                                             "BakeComplexEnd": -5, "AnimationOnly": False})
        out = os.path.join(self.tmp, "all.fbx")
        mel.eval("FBXExport -f %s" % mel_quote(out))
        doc = read_fbx(out)
        self.assertEqual([n for n, _ in doc["nodes"]], ["pCube1", "pSphere1", "joint1"])
        self.assertEqual(doc["settings"]["BakeComplexEnd"], -5)
        self.assertEqual(doc["unit"], "pal")

    def test_dash_s_exports_only_selection(self):
        cmds.loadPlugin("fbxmaya")
        cmds.select("joint1", "pCube1")
        out = os.path.join(self.tmp, "sel.fbx")
        mel.eval("FBXExport -f %s -s" % mel_quote(out))
        self.assertEqual([n for n, _ in read_fbx(out)["nodes"]], ["joint1", "pCube1"])
        cmds.select(clear=True)
        mel.eval("FBXExport -f %s -s" % mel_quote(out))
        self.assertEqual(read_fbx(out)["nodes"], [])

    def test_string_literal_escapes(self):
        cmds.loadPlugin("fbxmaya")
        name = 'we"ird\\na\tme\x01.fbx'
        mel.eval("FBXExport -f %s" % mel_quote(os.path.join(self.tmp, name)))
        self.assertEqual(os.listdir(self.tmp).count(name), 1)
        # an unknown escape keeps the character
        mel.eval('FBXExport -f "%s/\\q.fbx"' % self.tmp)
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "q.fbx")))

    def test_surrogate_escaped_path(self):
        cmds.loadPlugin("fbxmaya")
        name = os.fsdecode(b"caf\xe9.fbx")
        mel.eval("FBXExport -f %s" % mel_quote(os.path.join(self.tmp, name)))
        self.assertIn(b"caf\xe9.fbx", os.listdir(os.fsencode(self.tmp)))

    def test_malformed_texts_raise_runtime_error(self):
        cmds.loadPlugin("fbxmaya")
        bad = [
            'FBXExport -f "%s/x.fbx' % self.tmp,          # unterminated
            'FBXExport -f "%s/x.fbx" junk' % self.tmp,    # trailing garbage
            'FBXExport -f "%s/x.fbx" -q' % self.tmp,      # unknown flag
            "FBXExport",                                   # no file
            "FBXExportBakeComplexStart -v abc",
            "paneLayout -e -manage false $gOtherPane",
            "polyCube -n foo",
            "",
        ]
        for text in bad:
            if text == "":
                self.assertIsNone(mel.eval(text))
                continue
            with self.assertRaises(RuntimeError, msg=text):
                mel.eval(text)
        self.assertEqual(os.listdir(self.tmp), ["src.ma"])

    def test_injection_text_does_nothing(self):
        cmds.loadPlugin("fbxmaya")
        crafted = os.path.join(self.tmp, 'a"; system("touch pwned"); "')
        # naive quoting: the text breaks out of the literal -> refused whole
        with self.assertRaises(RuntimeError):
            mel.eval('FBXExport -f "%s"' % crafted)
        self.assertEqual(os.listdir(self.tmp), ["src.ma"])
        # correct quoting: one file with the crafted name, nothing run
        mel.eval("FBXExport -f %s" % mel_quote(crafted))
        self.assertEqual(sorted(os.listdir(self.tmp)), sorted(["src.ma", os.path.basename(crafted)]))
        self.assertFalse(os.path.exists("pwned"))

    def test_missing_folder_is_runtime_error(self):
        cmds.loadPlugin("fbxmaya")
        with self.assertRaises(RuntimeError):
            mel.eval('FBXExport -f "%s/no/such/dir/a.fbx"' % self.tmp)
        self.assertEqual(host.fbx_exports, [])


if __name__ == "__main__":
    unittest.main()

"""Verification of an output against its source from the two files' facts
(velmora._verify), and what script nodes do beyond configuration
(velmora.inspect's script_nodes' concerns): the real public scenes against
themselves and against copies changed in one way each, Maya Binary and FBX
outputs, hand-written script nodes."""

import glob
import os
import re
import shutil
import struct
import tempfile
import unittest

from support import ROOT
import velmora

SCENES_DIR = os.path.join(ROOT, "tests", "data", "scenes")
SCENES = sorted(glob.glob(os.path.join(SCENES_DIR, "*", "*.ma")))
BINARIES = sorted(glob.glob(os.path.join(SCENES_DIR, "*", "*.mb")))
COLOURS = os.path.join(SCENES_DIR, "maya-usd", "plugin__al__samples__colours__faceColours.ma")  # two "vert"
RIG = os.path.join(SCENES_DIR, "maya-usd", "testSamples__rhino_rig__anim_001.ma")  # a deferred reference
RIG_PATH = "/scenes/rhino_model_textured/waking_animation/rhino_rig_001.ma"
FILE_R = r'\nfile -r (?:[^;"]|"[^"]*")*;'  # its -op "v=0;" holds a ';'


def read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def drop_node(text, name, parent=None):
    """The text without the createNode of `name` (under `parent` when given)
    and the indented statements that follow it."""
    flag = r' -p "[^"]*\|?%s"' % re.escape(parent) if parent else r'(?: -p "[^"]*")?'
    pattern = r'\ncreateNode \w+(?: -s)? -n "%s"%s;\n(?:\t[^\n]*\n)*' % (re.escape(name), flag)
    changed, count = re.subn(pattern, "\n", text, count=1)
    assert count == 1, name
    return changed


def replaced(text, old, new):
    assert old in text, old
    return text.replace(old, new, 1)


def mel_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


class Files(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="velmora-verify-")
        self.addCleanup(shutil.rmtree, self.folder)

    def write(self, name, content):
        path = os.path.join(self.folder, name)
        with open(path, "wb" if isinstance(content, bytes) else "w", **({} if isinstance(content, bytes) else
                                                                          {"encoding": "utf-8", "newline": ""})) as f:
            f.write(content)
        return path

    def verify_text(self, source, output_text, **options):
        return velmora._verify(source, self.write("output.ma", output_text), **options)

    def assertOneDifference(self, verdict, *words):
        self.assertEqual(len(verdict["differences"]), 1, verdict)
        for word in words:
            self.assertIn(word, verdict["differences"][0])
        self.assertTrue(verdict["reason"].startswith(verdict["differences"][0][:40]), verdict["reason"])


class RealScenesAgainstThemselves(Files):
    def test_each_public_scene_passes_against_itself_with_nothing_left_unchecked(self):
        self.assertEqual(len(SCENES), 134)
        for path in SCENES:
            with self.subTest(scene=os.path.basename(path)):
                verdict = velmora._verify(path, path)
                self.assertEqual((verdict["differences"], verdict["notes"], verdict["not_checked"]), ([], [], []))
                self.assertTrue(verdict["reason"].startswith("verified: "), verdict["reason"])
                nodes = len(re.findall(r"^createNode ", read(path), re.M))
                self.assertIn("%s node" % format(nodes, ","), verdict["reason"])

    def test_a_maya_binary_scene_against_itself_leaves_only_its_references_unchecked(self):
        self.assertEqual(len(BINARIES), 2)
        for path in BINARIES:
            with self.subTest(scene=os.path.basename(path)):
                verdict = velmora._verify(path, path)
                self.assertEqual((verdict["differences"], verdict["notes"]), ([], []))
                self.assertEqual(len(verdict["not_checked"]), 1)
                self.assertRegex(verdict["not_checked"][0], r"^the references: the source is Maya Binary")
                self.assertIn("1 part not checked", verdict["reason"])

    def test_a_cut_maya_binary_output_is_not_verified(self):
        with open(BINARIES[0], "rb") as f:
            data = f.read()
        output = self.write("cut.mb", data[:len(data) // 2])
        verdict = velmora._verify(BINARIES[0], output)
        self.assertTrue(any(d.startswith("the output was not read whole: ") for d in verdict["differences"]),
                        verdict)
        self.assertRegex(verdict["differences"][0], r"^\d+ of 42 nodes missing: ")

    def test_references_of_a_maya_ascii_source_in_a_maya_binary_output_are_not_checked(self):
        verdict = velmora._verify(RIG, BINARIES[0])
        self.assertIn("the source's 1 reference: the output is Maya Binary with no reference in the layout velmora "
                      "knows (from Maya 2009 files)", verdict["not_checked"])
        self.assertNotIn("reference", " ".join(verdict["differences"]))


class NodesLost(Files):
    def test_a_node_dropped_is_named_with_its_type_and_parent_its_path_taken_by_its_last_part(self):
        verdict = self.verify_text(COLOURS, drop_node(read(COLOURS), "vertShape", "rgb|vert"))
        self.assertOneDifference(verdict, "1 of 39 nodes missing: vertShape (mesh) under vert")
        self.assertEqual(verdict["notes"], [])

    def test_one_of_two_nodes_of_one_name_kept_is_a_loss_under_its_parent(self):
        verdict = self.verify_text(COLOURS, drop_node(read(COLOURS), "vert", "rgba"))
        self.assertOneDifference(verdict, "1 of 39 nodes missing: vert (transform) under rgba")

    def test_a_node_moved_to_another_parent_is_lost_from_its_own(self):
        text = replaced(read(COLOURS), 'createNode transform -n "vert" -p "rgba";', 'createNode transform -n "vert" -p "rgb";')
        self.assertOneDifference(self.verify_text(COLOURS, text), "vert (transform) under rgba")

    def test_a_parent_named_by_path_or_short_name_is_the_same_parent(self):
        text = replaced(read(COLOURS), 'createNode mesh -n "vertShape" -p "|rgb|vert";',
                        'createNode mesh -n "vertShape" -p "vert";')
        self.assertEqual(self.verify_text(COLOURS, text)["differences"], [])

    def test_nodes_maya_adds_are_no_loss(self):
        text = read(COLOURS) + 'createNode transform -n "added";\ncreateNode transform -n "vert" -p "added";\n'
        verdict = self.verify_text(COLOURS, text)
        self.assertEqual((verdict["differences"], verdict["notes"]), ([], []))

    def test_the_reason_leads_with_the_counts_and_names_the_first_few(self):
        text = read(COLOURS)
        names = re.findall(r'^createNode \w+ -n "([^"]+)";', text, re.M)[:7]
        for name in names:
            text = drop_node(text, name)
        verdict = self.verify_text(COLOURS, text)
        self.assertRegex(verdict["reason"], r"^7 of 39 nodes missing: [^;]+ and 2 more")
        self.assertEqual(len(verdict["differences"]), 1)

    def test_a_default_node_shared_with_maya_missing_is_a_note(self):
        verdict = self.verify_text(COLOURS, drop_node(read(COLOURS), "perspShape"))
        self.assertEqual(verdict["differences"], [])
        self.assertEqual(len(verdict["notes"]), 1)
        self.assertIn("perspShape (camera) under persp", verdict["notes"][0])

    def test_a_type_maya_upgraded_is_a_note(self):
        text = replaced(read(COLOURS), 'createNode transform -n "rgb";', 'createNode xform -n "rgb";')
        verdict = self.verify_text(COLOURS, text)
        self.assertEqual(verdict["differences"], [])
        self.assertEqual(verdict["notes"], ["rgb: transform in the source, xform in the output"])

    def test_a_type_the_binary_reader_does_not_know_is_not_compared(self):
        text = replaced(read(COLOURS), 'createNode transform -n "rgb";', 'createNode 00115d51 -n "rgb";')
        verdict = self.verify_text(COLOURS, text)
        self.assertEqual((verdict["differences"], verdict["notes"]), ([], []))
        self.assertEqual(len(verdict["not_checked"]), 1)
        self.assertIn("rgb (transform in the source, 00115d51 in the output)", verdict["not_checked"][0])

    def test_an_output_cut_short_is_a_difference(self):
        text = read(COLOURS)
        cut = text[:text.index('createNode transform -n "vert" -p "rgba";') + 30]
        verdict = self.verify_text(COLOURS, cut)
        self.assertIn("the output was not read whole: truncated at byte", " ".join(verdict["differences"]))
        self.assertNotIn("verified", verdict["reason"])


class ReferencesUnitsRange(Files):
    def test_a_reference_removed_is_one_difference_naming_it(self):
        text, count = re.subn(FILE_R, "", read(RIG))
        self.assertEqual(count, 1)
        self.assertOneDifference(self.verify_text(RIG, text),
                                 "1 of 1 reference missing: %s (namespace rhino_rig_030)" % RIG_PATH)

    def test_a_reference_in_another_namespace_is_another_reference(self):
        text = re.sub(r'(\nfile -r -ns )"rhino_rig_030"', r'\1"other"', read(RIG))
        verdict = self.verify_text(RIG, text)
        self.assertEqual(len(verdict["differences"]), 2)
        self.assertIn("1 reference not in the source: %s (namespace other)" % RIG_PATH, verdict["differences"])

    def test_a_copy_number_is_the_same_reference_and_loading_is_a_note(self):
        statement = re.search(FILE_R, read(RIG)).group(0)
        edited = statement.replace(" -dr 1", "").replace(RIG_PATH, RIG_PATH + "{1}")
        self.assertNotEqual(edited, statement)
        text = replaced(read(RIG), statement, edited)
        verdict = self.verify_text(RIG, text)
        self.assertEqual(verdict["differences"], [])
        self.assertEqual(verdict["notes"], ["reference %s (namespace rhino_rig_030): deferred in the source, loaded "
                                            "in the output" % RIG_PATH])

    def test_the_time_unit_changed_is_one_difference(self):
        text = replaced(read(COLOURS), "-t film;", "-t ntsc;")
        self.assertOneDifference(self.verify_text(COLOURS, text), "time unit: film in the source, ntsc in the output")

    def test_a_unit_not_said_is_not_checked(self):
        text, count = re.subn(r"\ncurrentUnit [^;]*;", "", read(COLOURS))
        self.assertEqual(count, 1)
        verdict = self.verify_text(COLOURS, text)
        self.assertEqual(verdict["differences"], [])
        self.assertEqual(verdict["not_checked"], ["the %s unit: the output does not say it" % unit
                                                  for unit in ("time", "linear", "angle")])
        self.assertIn("3 parts not checked", verdict["reason"])

    def test_the_range_changed_is_one_difference(self):
        text = replaced(read(COLOURS), "playbackOptions -min 1 -max 120 ", "playbackOptions -min 1 -max 96 ")
        self.assertOneDifference(self.verify_text(COLOURS, text),
                                 "playback range: 1 to 120 (animation 1 to 200) in the source, "
                                 "1 to 96 (animation 1 to 200) in the output")

    def test_a_range_written_otherwise_is_the_same_range_but_another_text(self):
        text = replaced(read(COLOURS), "playbackOptions -min 1 -max 120 ", "playbackOptions -min 1.0000000001 -max 120.0 ")
        self.assertOneDifference(self.verify_text(COLOURS, text), "script node sceneConfigurationScriptNode: its text")

    def test_no_range_in_the_output_is_a_difference(self):
        text = replaced(read(COLOURS), "playbackOptions -min 1 -max 120 -ast 1 -aet 200 ", "print 1")
        self.assertOneDifference(self.verify_text(COLOURS, text), "in the source, none in the output")

    def test_a_source_without_range_asks_none(self):
        bare = self.write("bare.ma", '//Maya ASCII 2023 scene\ncurrentUnit -l centimeter -a degree -t film;\n'
                                     'createNode transform -n "a";\n')
        verdict = velmora._verify(bare, bare)
        self.assertEqual(verdict["reason"], "verified: 1 node, 0 references, 0 script nodes, the units as in the source")


SCRIPT = 'createNode script -n "{name}";\n\tsetAttr ".b" -type "string" {text};\n\tsetAttr ".st" 1;\n'


class ScriptNodes(Files):
    def test_a_script_nodes_text_changed_is_one_difference_naming_it(self):
        source = self.write("source.ma", read(COLOURS) + SCRIPT.format(name="greet", text=mel_string("print 1;")))
        verdict = self.verify_text(source, read(COLOURS) + SCRIPT.format(name="greet", text=mel_string("print 2;")))
        self.assertOneDifference(verdict, "script node greet: its text differs (sha256 ")

    def test_the_ui_configuration_changed_is_one_difference(self):
        text = replaced(read(COLOURS), "Top View", "Top view")
        self.assertOneDifference(self.verify_text(COLOURS, text), "script node uiConfigurationScriptNode: its text")

    def test_two_script_nodes_of_one_name_compare_as_a_multiset(self):
        one, two = SCRIPT.format(name="s", text=mel_string("a")), SCRIPT.format(name="s", text=mel_string("b"))
        source = self.write("source.ma", read(COLOURS) + one + two)
        self.assertEqual(self.verify_text(source, read(COLOURS) + two + one)["differences"], [])
        verdict = self.verify_text(source, read(COLOURS) + one + one)
        self.assertOneDifference(verdict, "script node s: its text differs")

    def test_a_script_node_lost_is_said_once_as_a_lost_node(self):
        source = self.write("source.ma", read(COLOURS) + SCRIPT.format(name="greet", text=mel_string("print 1;")))
        self.assertOneDifference(self.verify_text(source, read(COLOURS)), "1 of 40 nodes missing: greet (script)")

    def test_a_script_node_only_in_the_output_is_a_note(self):
        verdict = self.verify_text(COLOURS, read(COLOURS) + SCRIPT.format(name="extra", text=mel_string("print 1;")))
        self.assertEqual((verdict["differences"], verdict["notes"]), ([], ["script nodes only in the output: extra"]))


class FbxOutputs(Files):
    def binary(self, version):
        return b"Kaydara FBX Binary  \x00\x1a\x00" + struct.pack("<I", version) + b"\x00" * 64

    def test_the_version_is_the_one_the_exporters_choice_writes(self):
        cases = [(7500, "FBX201800", []), (7700, "FBX202000", []), (7700, "FBX201900", []), (6100, "FBX200611", []),
                 (7400, "7400", []), (7400, "FBX201800", ["FBX version 7400, where the exporter's choice writes 7500"])]
        for version, choice, differences in cases:
            with self.subTest(version=version, choice=choice):
                verdict = velmora._verify(COLOURS, self.write("out.fbx", self.binary(version)), fbx_version=choice)
                self.assertEqual((verdict["differences"], verdict["not_checked"]), (differences, []))
        text = self.write("text.fbx", "; FBX 7.5.0 project file\n; ----\n")
        self.assertEqual(velmora._verify(COLOURS, text, "FBX201600")["reason"], "verified: an FBX header, version 7500")

    def test_an_unknown_or_missing_choice_leaves_the_version_unchecked(self):
        for choice in ("FBX209900", None):
            verdict = velmora._verify(COLOURS, self.write("out.fbx", self.binary(7500)), fbx_version=choice)
            self.assertEqual(verdict["differences"], [])
            self.assertEqual(verdict["not_checked"],
                             ["the FBX version: no file version is known for the exporter's choice"])

    def test_a_cut_header_fails(self):
        verdict = velmora._verify(COLOURS, self.write("cut.fbx", self.binary(7500)[:25]), "FBX201800")
        self.assertEqual(len(verdict["differences"]), 1)
        self.assertIn("the FBX header is not whole: truncated", verdict["differences"][0])

    def test_an_fbx_output_is_no_maya_output(self):
        verdict = velmora._verify(COLOURS, COLOURS, fbx_version="FBX201800")
        self.assertEqual(verdict["differences"], [])  # a Maya output is verified as one, whatever the choice
        with self.assertRaises(TypeError):
            velmora._verify(COLOURS, COLOURS, fbx_version=7500)

    def test_files_that_cannot_be_read_raise_as_inspect_does(self):
        with self.assertRaises(FileNotFoundError):
            velmora._verify(COLOURS, os.path.join(self.folder, "none.ma"))
        with self.assertRaises(FileNotFoundError):
            velmora._verify(os.path.join(self.folder, "none.ma"), COLOURS)
        with self.assertRaises(ValueError):
            velmora._verify(COLOURS, self.write("text.ma", "not a scene\n"))


class Concerns(Files):
    def concerns(self, text, python=False):
        scene = "//Maya ASCII 2023 scene\n" + SCRIPT.format(name="s", text=mel_string(text))
        if python:
            scene += '\tsetAttr ".stp" 1;\n'
        path = self.write("script.ma", scene)
        (node,) = velmora.inspect(path)["script_nodes"]
        return node["concerns"]

    def test_the_public_scenes_configuration_nodes_give_none(self):
        seen = 0
        for path in SCENES + BINARIES:
            for node in velmora.inspect(path)["script_nodes"]:
                with self.subTest(scene=os.path.basename(path), node=node["name"]):
                    self.assertEqual(node["concerns"], [])
                    seen += 1
        self.assertGreater(seen, 240)

    def test_mel_that_does_more(self):
        cases = {
            '$f = `fopen "/tmp/x" "w"`; fprint $f "x";': ["writes files"],
            'sysFile -delete "/tmp/x";': ["writes files"],
            'python("import os");': ["imports modules"],
            'python "print(1)";': ["imports modules"],
            'loadPlugin "evil";': ["loads plug-ins"],
            'system("rm -rf /");': ["runs programs"],
            'exec "ls";': ["runs programs"],
            'eval "print 1";': ["evaluates strings"],
            'evalDeferred("print 1");': ["evaluates strings"],
            'scriptJob -e "SceneOpened" "print 1";': ["adds callbacks"],
            'source "other.mel";': ["sources MEL"],
            'if (1) { source other.mel; }': ["sources MEL"],
            '$p = `internalVar -usd` + "userSetup.mel";': ["edits user setup"],
        }
        for text, expected in cases.items():
            with self.subTest(text=text):
                self.assertEqual(self.concerns(text), expected)

    def test_python_that_does_more(self):
        cases = {
            "import os\nos.system('ls')": ["imports modules", "runs programs"],
            "open('/tmp/x', 'w').write('x')": ["writes files"],
            "open('/tmp/x', mode='a+')": ["writes files"],
            "print(open('/tmp/x').read())": [],
            "os.path.join('a')": ["uses the os module"],
            "os.remove('x')": ["writes files"],
            "subprocess.Popen(['ls'])": ["runs programs"],
            "exec('x = 1')": ["evaluates strings"],
            "urllib.request.urlopen('http://x')": ["reaches the network"],
            "om.MSceneMessage.addCallback(1, f)": ["adds callbacks"],
            "maya.mel.eval('source x.mel')": ["evaluates strings", "sources MEL"],
        }
        for text, expected in cases.items():
            with self.subTest(text=text):
                self.assertEqual(self.concerns(text, python=True), expected)

    def test_words_that_only_look_like_it_give_none(self):
        for text in ('file -import "x.ma";', 'setAttr ".coordinateSystem" 1;', "$evaluate = 1; $system = 2;",
                     'optionVar -sv "sourceType" "x";', "print $source;", "evaluationManager -mode parallel;",
                     'modelEditor -e -displayAppearance "smoothShaded" $p;'):
            with self.subTest(text=text):
                self.assertEqual(self.concerns(text), [])

    def test_each_label_once_in_a_fixed_order(self):
        text = 'userSetup; source a.mel; scriptJob -e "x" "y"; eval "z"; system("a"); python("b"); fopen "c" "w"; ' \
               'system("again"); fprint 1 "d";'
        self.assertEqual(self.concerns(text), ["writes files", "imports modules", "runs programs",
                                               "evaluates strings", "adds callbacks", "sources MEL",
                                               "edits user setup"])

    def test_a_text_longer_than_held_says_the_rest_was_not_looked_at(self):
        self.assertEqual(self.concerns("print 1;\n" * 150000), ["not read whole"])


if __name__ == "__main__":
    unittest.main()

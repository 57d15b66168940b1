"""velmora.inspect on Maya ASCII scenes: the real public scenes read whole
and agree with what their own text says; hand-made scenes reach the corners
of MEL (strings with ';', escapes, concatenation, comments); damaged copies
of real files are read as far as they go and never crash the reader."""

import errno
import glob
import hashlib
import os
import random
import re
import shutil
import tempfile
import unittest

from support import ROOT
import velmora

SCENES = sorted(glob.glob(os.path.join(ROOT, "tests", "data", "scenes", "*", "*.ma")))
RIG = os.path.join(ROOT, "tests", "data", "scenes", "maya-usd", "testSamples__rhino_rig__anim_001.ma")
LINEAR = {"centimeter": "cm", "millimeter": "mm", "meter": "m", "inch": "in", "foot": "ft"}
ANGLE = {"degree": "deg", "radian": "rad"}
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\"}
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"', re.S)


def mel_text(literal):
    """A MEL string literal's text: the escapes MEL knows read, others kept."""
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(0)), literal, flags=re.S)


def string_value(text, at):
    """The joined strings of a setAttr's value from `at` up to its ';'."""
    parts = []
    while True:
        while text[at] in " \t\r\n(+)":
            at += 1
        if text[at] == ";":
            return "".join(parts)
        match = STRING.match(text, at)
        parts.append(mel_text(match.group(1)))
        at = match.end()


def expected_scripts(text):
    """{node name: sha256 of its before and after texts}, read from the text
    by this test's own means."""
    found = {}
    pieces = re.split(r'\ncreateNode script -n "([^"]+)"', text)
    for name, body in zip(pieces[1::2], pieces[2::2]):
        body = body.split("\ncreateNode ")[0]
        texts = []
        for attribute in ("b", "a"):
            match = re.search(r'\n\tsetAttr "\.%s" -type "string" ' % attribute, body)
            texts.append(string_value(body, match.end()) if match else "")
        found[name] = hashlib.sha256("".join(texts).encode("utf-8")).hexdigest()
    return found


class RealScenes(unittest.TestCase):
    def test_the_public_scenes_say_what_their_text_says(self):
        self.assertEqual(len(SCENES), 134)
        for path in SCENES:
            with self.subTest(scene=os.path.basename(path)):
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                facts = velmora.inspect(path)
                self.assertEqual(facts["problems"], [])
                self.assertEqual(facts["other_statements"], [])
                self.assertEqual(facts["format"], "mayaAscii")
                self.assertEqual(facts["maya_version"], re.match(r"//Maya ASCII (\S+) scene", text).group(1))
                unit = re.search(r"^currentUnit -l (\w+) -a (\w+) -t (\w+);", text, re.M)
                self.assertEqual(facts["units"], {"linear": LINEAR[unit.group(1)], "angle": ANGLE[unit.group(2)],
                                                  "time": unit.group(3)})
                plugins = []
                for line in re.findall(r"^requires ([^;]*);", text, re.M):
                    words = re.findall(r'-\w+ "[^"]*"|"[^"]*"|\S+', line)
                    name, version = [w.strip('"') for w in words if not w.startswith("-")]
                    if name != "maya" and name not in [p[0] for p in plugins]:
                        plugins.append([name, version])
                self.assertEqual(facts["requires"], plugins)
                created = re.findall(r"^createNode (\w+)", text, re.M)
                self.assertEqual(facts["nodes"], len(created))
                self.assertEqual(sum(facts["node_types"].values()), len(created))
                self.assertEqual(facts["node_types"].get("script", 0), len(facts["script_nodes"]))
                scripts = expected_scripts(text)
                self.assertEqual({s["name"]: s["sha256"] for s in facts["script_nodes"]}, scripts)
                info = re.findall(r'^fileInfo "((?:[^"\\]|\\.)*)" "((?:[^"\\]|\\.)*)";', text, re.M)
                self.assertEqual({mel_text(k): mel_text(v) for k, v in info}, facts["file_info"])
                if "sceneConfigurationScriptNode" in scripts:
                    numbers = re.search(r'"playbackOptions -min (\S+) -max (\S+) -ast (\S+) -aet (\S+) "', text)
                    self.assertEqual(facts["playback"], dict(zip(("min", "max", "ast", "aet"),
                                                                 map(float, numbers.groups()))))

    def test_a_deferred_reference_counted_once_by_its_file_r(self):
        facts = velmora.inspect(RIG)
        self.assertEqual(facts["references"], [{
            "path": "/scenes/rhino_model_textured/waking_animation/rhino_rig_001.ma",
            "namespace": "rhino_rig_030", "node": "rhino_rig_029RN", "loaded": False, "exists": False}])
        runs = {s["name"]: (s["runs"], s["language"]) for s in facts["script_nodes"]}
        self.assertEqual(runs, {"uiConfigurationScriptNode": ("ui configuration", "mel"),
                                "sceneConfigurationScriptNode": ("scene configuration", "mel")})


class Written(unittest.TestCase):
    """Scenes written by hand into a temporary folder."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-scene-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path

    def scene(self, body, name="scene.ma"):
        return velmora.inspect(self.write(name, "//Maya ASCII 2023 scene\n" + body))

    def test_references_resolved_as_written_then_beside_the_scene(self):
        self.write("sub/there.ma", "//Maya ASCII 2023 scene\n")
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.mkdir(elsewhere)
        saved = os.getcwd()
        os.chdir(elsewhere)
        self.addCleanup(os.chdir, saved)
        facts = self.scene(
            'file -rdi 1 -ns "a" -rfn "aRN" -op "v=0;" -typ "mayaAscii" "missing.ma";\n'
            'file -r -ns "a" -dr 1 -rfn "aRN" -op "v=0;" -typ "mayaAscii"\n\t\t "missing.ma";\n'
            'file -r -ns "b" -rfn "bRN" "sub/there.ma";\n'
            'file -r -ns "c" -rfn "cRN" "sub/there.ma{1}";\n'
            'file -r -ns "d" -rfn "dRN" "%s";\n' % os.path.join(self.tmp, "sub", "there.ma"))
        self.assertEqual([(r["namespace"], r["node"], r["loaded"], r["exists"]) for r in facts["references"]],
                         [("a", "aRN", False, False), ("b", "bRN", True, True), ("c", "cRN", True, True),
                          ("d", "dRN", True, True)])
        self.assertEqual(facts["references"][2]["path"], "sub/there.ma{1}")
        self.assertEqual(facts["other_statements"], [])

    def test_strings_with_semicolons_escapes_comments_and_concatenation(self):
        before = 'print "a;b";\n\tsetAttr x "q\\\\";'
        literal = before.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
        half = len(literal) // 2
        while literal[half - 1] == "\\":
            half += 1
        facts = self.scene(
            '// createNode transform -n "commented";\n'
            'fileInfo "semi;colon" "say \\"hi\\" \\\\ \\q";\n'
            '/* createNode transform -n "blockComment"; */\n'
            'createNode transform -n "odd;name" -p "par\\"ent";\n'
            '\tsetAttr ".t" -type "double3" 1 2 3 ; // setAttr ".x" "unterminated\n'
            'createNode script -n "hook";\n'
            '\tsetAttr ".b" -type "string" (\n\t\t"%s"\n\t\t+ "%s");\n'
            '\tsetAttr ".a" -type "string" "after\\n";\n'
            '\tsetAttr ".st" 1;\n\tsetAttr ".stp" 1;\n' % (literal[:half], literal[half:]))
        self.assertEqual(facts["problems"], [])
        self.assertEqual(facts["file_info"], {"semi;colon": 'say "hi" \\ \\q'})
        self.assertEqual(facts["node_types"], {"transform": 1, "script": 1})
        script = facts["script_nodes"][0]
        self.assertEqual(script, {"name": "hook", "runs": "open/close", "language": "python",
                                  "bytes": len((before + "after\n").encode()),
                                  "sha256": hashlib.sha256((before + "after\n").encode()).hexdigest(),
                                  "concerns": []})

    def test_script_hashes_against_hashlib_at_every_block_edge(self):
        # Lengths around SHA-256's 64-byte blocks and past the 1 MiB held.
        lengths = [0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, (1 << 20) + 7, (3 << 20) + 1]
        rng = random.Random(5)
        body, texts = "", []
        for i, n in enumerate(lengths):
            text = "".join(rng.choice("ab;\"\\\n") for _ in range(n))
            texts.append(text)
            literal = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
            body += 'createNode script -n "s%d";\n\tsetAttr ".b" -type "string" "%s";\n' % (i, literal)
        facts = self.scene(body)
        self.assertEqual([(s["bytes"], s["sha256"]) for s in facts["script_nodes"]],
                         [(len(t), hashlib.sha256(t.encode()).hexdigest()) for t in texts])
        self.assertEqual([s["runs"] for s in facts["script_nodes"]], ["demand"] * len(lengths))

    def test_an_overlong_first_line_is_all_comment(self):
        facts = velmora.inspect(self.write("long.ma", "//Maya ASCII 2023 scene " + "x" * 5000 +
                                           ' createNode transform -n "hidden";\ncreateNode mesh -n "m";\n'))
        self.assertEqual((facts["maya_version"], facts["node_types"]), ("2023", {"mesh": 1}))

    def test_units_plugins_playback_and_other_statements(self):
        facts = self.scene(
            'requires maya "2023";\nrequires -nodeType "a" -dataType "b" "mtoa" "5.2";\n'
            'requires "mtoa" "5.3";\nrequires "other" "1";\n'
            'currentUnit -l inch -a radian -t ntsc;\n'
            'playbackOptions -min 5 -max 50;\n'
            'python("import os");\nsystem "echo hi";\npython("again");\nfile -o "x.ma";\n'
            'playbackOptions -l "once";\nif (1) { eval "x"; }\ncreateNode transform -n "t";\n'
            'createNode transform -n "u";\n\tsetAttr ".aal" -type "attributeAlias" {"a;","b"} ;\n')
        self.assertEqual(facts["requires"], [["mtoa", "5.2"], ["other", "1"]])
        self.assertEqual(facts["units"], {"linear": "in", "angle": "rad", "time": "ntsc"})
        self.assertEqual(facts["playback"], {"min": 5.0, "max": 50.0, "ast": 5.0, "aet": 50.0})
        self.assertEqual(facts["other_statements"], ["python", "system", "file", "playbackOptions", "if"])
        self.assertEqual(facts["references"], [])
        self.assertEqual((facts["nodes"], facts["problems"]), (2, []))

    def test_the_configuration_node_gives_the_range_before_a_top_level_one(self):
        facts = self.scene(
            'playbackOptions -min 5 -max 50;\ncreateNode script -n "sceneConfigurationScriptNode";\n'
            '\tsetAttr ".b" -type "string" "if (1) { doIt; }\\nplaybackOptions -minTime 1 -maxTime 24 '
            '-animationStartTime 0 -animationEndTime 100 ;\\nplaybackOptions -by 2";\n\tsetAttr ".st" 6;\n')
        self.assertEqual(facts["playback"], {"min": 1.0, "max": 24.0, "ast": 0.0, "aet": 100.0})
        self.assertEqual(facts["script_nodes"][0]["runs"], "scene configuration")

    def test_unknown_units_and_names_that_are_not_utf8(self):
        path = self.write("latin.ma", b'//Maya ASCII 2023 scene\ncurrentUnit -l furlong -a grad -t film;\n'
                                      b'createNode transform -n "caf\xe9";\ncreateNode mesh -n "ok" -p "caf\xe9";\n')
        facts = velmora.inspect(path)
        self.assertEqual(facts["units"], {"linear": "furlong", "angle": "grad", "time": "film"})
        self.assertEqual(len(facts["problems"]), 4, facts["problems"])
        self.assertIn("unknown linear unit", facts["problems"][0])
        self.assertIn("not UTF-8", facts["problems"][2])
        self.assertEqual(os.fsencode(list(facts["node_types"])[0]), b"transform")
        self.assertEqual(facts["nodes"], 2)

    def test_files_the_nodes_name(self):
        self.write("tex/wood.png", b"")
        facts = self.scene(
            'createNode camera -n "perspShape";\n\tsetAttr ".imn" -type "string" "persp";\n'
            'createNode file -n "file1";\n\tsetAttr ".ftn" -type "string" "tex/wood.png";\n'
            'createNode file -n "file2";\n\tsetAttr ".fileTextureName" -type "string" "C:/nowhere/x.png";\n'
            'createNode imagePlane -n "ip";\n\tsetAttr ".imn" -type "string" "plate.#.exr";\n'
            'createNode gpuCache -n "g";\n\tsetAttr ".cfn" -type "string" "" ;\n')
        self.assertEqual([(f["node"], f["attribute"], f["path"], f["exists"]) for f in facts["external_files"]],
                         [("file1", "ftn", "tex/wood.png", True), ("file2", "fileTextureName", "C:/nowhere/x.png", False),
                          ("ip", "imn", "plate.#.exr", False)])


class Damaged(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-scene-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        with open(RIG, "rb") as f:
            self.data = f.read()
        self.full = velmora.inspect(RIG)

    def inspect_bytes(self, data, name="damaged.ma"):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return velmora.inspect(path)

    def test_truncated_at_many_offsets(self):
        ui_string = self.data.index(b"// Maya Mel UI Configuration File")
        cuts = sorted(set(range(13, len(self.data), len(self.data) // 150)) | {ui_string, ui_string + 5000})
        for cut in cuts:
            with self.subTest(cut=cut):
                facts = self.inspect_bytes(self.data[:cut])
                self.assertLessEqual(facts["nodes"], self.full["nodes"])
                for problem in facts["problems"]:
                    self.assertTrue(problem.startswith("truncated at byte {:,}: ".format(cut)), problem)
                if cut in (ui_string, ui_string + 5000):
                    self.assertEqual(len(facts["problems"]), 1)
                    self.assertIn("has no closing quote", facts["problems"][0])
        statement = self.data.index(b"createNode camera")
        facts = self.inspect_bytes(self.data[:statement + 20])
        self.assertRegex(facts["problems"][0], r"^truncated at byte [\d,]+: the statement createNode at byte "
                                               r"{:,} has no ';'$".format(statement))

    def test_flipped_bytes_never_crash(self):
        rng = random.Random(7)
        for _ in range(60):
            data = bytearray(self.data)
            for _ in range(rng.choice((1, 10, 1000))):
                data[rng.randrange(len(data))] = rng.randrange(256)
            try:
                facts = self.inspect_bytes(bytes(data))
            except ValueError as e:  # the header was hit
                self.assertNotEqual(bytes(data[:12]), b"//Maya ASCII", e)
                continue
            self.assertIsInstance(facts["nodes"], int)
            self.assertLessEqual(len(facts["problems"]), 101)

    def test_files_that_are_no_scene(self):
        for data, reason in [(b"", "an empty file"),
                             (b"hello\nworld;\n", 'not a Maya or FBX scene: it starts with "hello\\x0aworld;\\x0a"'),
                             (b"//Maya", 'not a Maya or FBX scene: it starts with "//Maya"'),
                             (b"FOR8\0\0\0\0" + bytes(8) + b"ILBM", "not a Maya or FBX scene: an IFF file that is "
                                                                   "not of type Maya")]:
            with self.subTest(data=data), self.assertRaises(ValueError) as raised:
                self.inspect_bytes(data)
            self.assertEqual(str(raised.exception), reason)

    def test_files_that_cannot_be_read(self):
        missing = os.path.join(self.tmp, "missing.ma")
        with self.assertRaises(FileNotFoundError) as raised:
            velmora.inspect(missing)
        self.assertEqual((raised.exception.errno, raised.exception.filename), (errno.ENOENT, missing))
        with self.assertRaises(IsADirectoryError) as raised:
            velmora.inspect(self.tmp)
        self.assertEqual(raised.exception.errno, errno.EISDIR)
        with self.assertRaises(ValueError):
            velmora.inspect(missing + "\0.ma")

    def test_a_file_name_that_is_not_utf8(self):
        name = os.fsdecode(b"sc\xe8ne \xff.ma")
        facts = self.inspect_bytes(self.data, name)
        self.assertEqual(facts["path"], os.path.join(self.tmp, name))
        self.assertEqual(facts["nodes"], self.full["nodes"])
        self.assertEqual(velmora.inspect(os.fsencode(facts["path"]))["nodes"], self.full["nodes"])


if __name__ == "__main__":
    unittest.main()

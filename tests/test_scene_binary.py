"""velmora.inspect on Maya Binary and FBX files: the two real .mb scenes
against what a walk of their bytes here says, scenes built with struct.pack
for what the real ones lack (FOR4, references, script texts, plug-in
nodes), hostile copies, and FBX headers."""

import hashlib
import os
import random
import shutil
import struct
import tempfile
import unittest

import support  # noqa: F401  (puts the built module on sys.path)
import velmora

SCENES = os.path.join(support.ROOT, "tests", "data", "scenes", "maya-usd")
REAL = [os.path.join(SCENES, "testSamples__switchVariants__rig.%s.mb" % n) for n in ("anim", "layout")]


def chunk8(tag, data):
    return tag + b"\xff\x7f\0\0" + struct.pack(">Q", len(data)) + data + b"\0" * (-len(data) % 8)


def group8(kind, typ, children):
    body = typ + b"".join(children)
    return kind + b"\0\x60\0\0" + struct.pack(">Q", len(body)) + body


def chunk4(tag, data):
    return tag + struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def group4(kind, typ, children):
    body = typ + b"".join(children)
    return kind + struct.pack(">I", len(body)) + body


def attribute(name, value, flags=b" "):
    return name + b"\0" + flags + value


def walk8(data):
    """(depth, tag or group type, payload) for every chunk, as this test
    reads the layout: an independent check of the reader."""
    out, stack, at = [], [len(data)], 0
    while stack:
        if at >= stack[-1]:
            stack.pop()
            continue
        tag = data[at:at + 4]
        size = struct.unpack(">Q", data[at + 8:at + 16])[0]
        if tag in (b"FOR8", b"LIS8", b"CAT8"):
            out.append((len(stack), data[at + 16:at + 20], None))
            stack.append(at + 16 + size)
            at += 20
        else:
            out.append((len(stack), tag, data[at + 16:at + 16 + size]))
            at += 16 + size + (-size % 8)
    return out


class ScratchCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def inspect_bytes(self, data, name="scene.mb"):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return velmora.inspect(path)


class RealBinaryScenes(unittest.TestCase):
    def test_each_read_whole_and_as_its_header_says(self):
        for path in REAL:
            with self.subTest(path=os.path.basename(path)):
                with open(path, "rb") as f:
                    data = f.read()
                chunks = walk8(data)
                head = {tag: payload for depth, tag, payload in chunks if depth == 3 and payload is not None
                        and tag in (b"VERS", b"LUNI", b"TUNI", b"AUNI")}
                plugs = [p.split(b"\0")[:2] for d, t, p in chunks if t == b"PLUG"]
                names = [p[1:].split(b"\0")[0].decode() for d, t, p in chunks if t == b"CREA"]
                facts = velmora.inspect(path)
                self.assertEqual(facts["problems"], [])
                self.assertEqual(facts["format"], "mayaBinary")
                self.assertEqual(facts["maya_version"], head[b"VERS"].rstrip(b"\0").decode())
                self.assertEqual(facts["units"], {"linear": "cm", "angle": "deg", "time": "film"})
                self.assertEqual(facts["requires"], [[n.decode(), v.decode()] for n, v in plugs])
                self.assertEqual(facts["nodes"], len(names))
                self.assertEqual(sum(facts["node_types"].values()), len(names))
                self.assertEqual(facts["file_info"]["product"], "Maya 2020")
                self.assertEqual(facts["references"], [])
                self.assertNotIn("SLCT", facts["node_types"])  # selections create nothing
                scripts = {s["name"]: s for s in facts["script_nodes"]}
                self.assertEqual(set(scripts), {"uiConfigurationScriptNode", "sceneConfigurationScriptNode"})
                config = scripts["sceneConfigurationScriptNode"]
                text = b"playbackOptions -min 1 -max 120 -ast 1 -aet 200 "
                self.assertEqual((config["runs"], config["language"], config["bytes"], config["sha256"]),
                                 ("scene configuration", "mel", len(text), hashlib.sha256(text).hexdigest()))
                self.assertEqual(scripts["uiConfigurationScriptNode"]["runs"], "ui configuration")
                self.assertEqual(facts["playback"], {"min": 1.0, "max": 120.0, "ast": 1.0, "aet": 200.0})

    def test_node_types_by_tag(self):
        facts = velmora.inspect(REAL[0])
        self.assertEqual(facts["node_types"]["transform"], 11)
        self.assertEqual(facts["node_types"]["camera"], 4)
        self.assertEqual(facts["node_types"]["dagPose"], 1)
        self.assertEqual(facts["node_types"]["script"], 2)


def head8(*extra):
    return group8(b"FOR8", b"HEAD", [chunk8(b"VERS", b"2023"), chunk8(b"LUNI", b"m\0"), chunk8(b"TUNI", b"ntsc\0"),
                                     chunk8(b"AUNI", b"rad\0"), chunk8(b"FINF", b"osv\0Linux\0"),
                                     chunk8(b"PLUG", b"mtoa\x005.2.1.1\0")] + list(extra))


def node8(tag, crea, *attributes):
    return group8(b"FOR8", tag, [chunk8(b"CREA", crea)] + list(attributes))


def scene8(*children):
    return group8(b"FOR8", b"Maya", list(children))


class BuiltScenes(ScratchCase):
    def test_for8_nodes_scripts_files_and_a_second_head(self):
        before, after = b"import maya\nprint('open')\n", b"print('close')\n"
        data = scene8(
            head8(),
            node8(b"XFRM", b"\x8cgroup1\0"),
            node8(b"DMSH", b"\x04group1Shape\0group1\0" + bytes(16)),
            node8(b"\x00\x11\x5d\x51", b"\x80aiOptions\0"),
            node8(b"RTFT", b"\x80file1\0", chunk8(b"STR ", attribute(b"ftn", b"/tex/wood.png\0"))),
            node8(b"SCRP", b"\x80startup\0", chunk8(b"STR ", attribute(b"b", before + b"\0")),
                  chunk8(b"STR ", attribute(b"a", after + b"\0")),
                  chunk8(b"DBLE", attribute(b"st", struct.pack(">d", 1.0))),
                  chunk8(b"DBLE", attribute(b"stp", struct.pack(">d", 1.0)))),
            node8(b"SCRP", b"\x80sceneConfigurationScriptNode\0",
                  chunk8(b"STR ", attribute(b"b", b"playbackOptions -minTime 10 -maxTime 20.5 -ast -5 -aet 1e2 \0")),
                  chunk8(b"DBLE", attribute(b"st", struct.pack(">d", 6.0)))),
            group8(b"FOR8", b"SLCT", [chunk8(b"SLCT", b":time1\0")]),
            group8(b"FOR8", b"HEAD", [chunk8(b"OBJN", b"78\0")]))
        facts = self.inspect_bytes(data)
        self.assertEqual(facts["problems"], [])
        self.assertEqual(facts["maya_version"], "2023")
        self.assertEqual(facts["units"], {"linear": "m", "angle": "rad", "time": "ntsc"})
        self.assertEqual(facts["requires"], [["mtoa", "5.2.1.1"]])
        self.assertEqual(facts["file_info"], {"osv": "Linux"})
        self.assertEqual(facts["nodes"], 6)
        self.assertEqual(facts["node_types"]["00115d51"], 1)  # a plug-in's id, unknown here
        self.assertEqual(facts["node_types"]["script"], 2)
        self.assertEqual([(f["node"], f["attribute"], f["path"]) for f in facts["external_files"]],
                         [("file1", "ftn", "/tex/wood.png")])
        startup = facts["script_nodes"][0]
        self.assertEqual((startup["name"], startup["runs"], startup["language"], startup["bytes"], startup["sha256"]),
                         ("startup", "open/close", "python", len(before + after),
                          hashlib.sha256(before + after).hexdigest()))
        self.assertEqual(facts["playback"], {"min": 10.0, "max": 20.5, "ast": -5.0, "aet": 100.0})

    def test_a_script_longer_than_what_is_held_is_hashed_whole(self):
        before = (b"print('x')\n" * 200000)[:1500001]
        after = b"// after\n"
        data = scene8(head8(), node8(b"SCRP", b"\x80big\0", chunk8(b"STR ", attribute(b"b", before + b"\0")),
                                     chunk8(b"STR ", attribute(b"a", after + b"\0"))))
        script = self.inspect_bytes(data)["script_nodes"][0]
        self.assertEqual(script["bytes"], len(before) + len(after))
        self.assertEqual(script["sha256"], hashlib.sha256(before + after).hexdigest())

    def test_for4_with_two_references(self):
        def fref(path, ns, node):
            return group4(b"FOR4", b"FREF", [chunk4(b"FREF", path + b"\0" + ns + b"\0\x01\x01" + node + b"\0\0\0")])

        def frdi(path, ns, node):
            return group4(b"FOR4", b"FRDI", [chunk4(b"FRDI", b"\0\0\0\x01" + path + b"\0" + ns + b"\0\x01\0" +
                                                    node + b"\0")])
        here = os.path.join(self.dir, "chars")
        os.mkdir(here)
        open(os.path.join(here, "hero.ma"), "w").close()
        data = group4(b"FOR4", b"Maya", [
            group4(b"FOR4", b"HEAD", [chunk4(b"VERS", b"2009\0"), chunk4(b"LUNI", b"cm\0"),
                                      chunk4(b"TUNI", b"film\0"), chunk4(b"AUNI", b"deg\0")]),
            frdi(b"chars/hero.ma", b"hero", b"heroRN"), frdi(b"C:/props/cup.mb", b"cup", b"cupRN"),
            fref(b"chars/hero.ma", b"hero", b"heroRN"), fref(b"C:/props/cup.mb", b"cup", b"cupRN"),
            group4(b"FOR4", b"XFRM", [chunk4(b"CREA", b"\x8cworld\0")]),
            group4(b"FOR4", b"RFRN", [chunk4(b"CREA", b"\x80heroRN\0")])])
        facts = self.inspect_bytes(data)
        self.assertEqual(facts["problems"], [])
        self.assertEqual(facts["maya_version"], "2009")
        self.assertEqual([(r["path"], r["namespace"], r["node"], r["loaded"], r["exists"]) for r in facts["references"]],
                         [("chars/hero.ma", "hero", "heroRN", True, True),
                          ("C:/props/cup.mb", "cup", "cupRN", True, False)])
        self.assertEqual(facts["nodes"], 2)


class HostileBinary(ScratchCase):
    def assert_read_or_refused(self, data):
        try:
            facts = self.inspect_bytes(data)
        except ValueError as refused:
            self.assertNotIn("\n", str(refused))
            return None
        for line in facts["problems"]:
            self.assertNotIn("\n", line)
        return facts

    def test_truncations_at_many_offsets(self):
        with open(REAL[0], "rb") as f:
            data = f.read()
        for end in list(range(0, 64)) + list(range(64, len(data), 509)) + [len(data) - 1]:
            with self.subTest(end=end):
                facts = self.assert_read_or_refused(data[:end])
                if facts is not None:
                    self.assertGreaterEqual(end, 20)
                    self.assertEqual(len([p for p in facts["problems"] if p.startswith("truncated at byte")]), 1,
                                     facts["problems"])

    def test_truncation_says_where(self):
        data = scene8(head8(), node8(b"XFRM", b"\x8cgroup1\0"))
        facts = self.inspect_bytes(data[:-3])
        self.assertEqual(facts["problems"],
                         ["truncated at byte {:,}: chunk CREA at byte {:,} claims 3 bytes past the end of the file"
                          .format(len(data) - 3, len(data) - 24)])
        self.assertEqual(facts["nodes"], 0)

    def test_flipped_bytes(self):
        with open(REAL[1], "rb") as f:
            data = f.read()
        rng = random.Random(7)
        for _ in range(60):
            mutated = bytearray(data)
            for _ in range(rng.randint(1, 8)):
                mutated[rng.randrange(len(mutated))] ^= 1 << rng.randrange(8)
            self.assert_read_or_refused(bytes(mutated))

    def test_a_size_of_2_62(self):
        node = node8(b"XFRM", b"\x8cgroup1\0")
        inner = bytearray(scene8(head8(), node, node8(b"XFRM", b"\x8cgroup2\0")))
        where = inner.index(b"CREA")
        inner[where + 8:where + 16] = struct.pack(">Q", 1 << 62)
        facts = self.inspect_bytes(bytes(inner))
        self.assertEqual(len(facts["problems"]), 1)
        self.assertIn("chunk CREA claims", facts["problems"][0])
        self.assertIn("past the end of its group XFRM", facts["problems"][0])
        self.assertEqual(facts["nodes"], 1)  # the group after it is still read
        whole = bytearray(scene8(head8(), node))
        whole[8:16] = struct.pack(">Q", 1 << 62)
        facts = self.inspect_bytes(bytes(whole))
        self.assertEqual(facts["problems"], ["truncated at byte {:,}: the scene's group at byte 0 claims {:,} bytes "
                                             "past the end of the file".format(len(whole), (1 << 62) + 16 - len(whole))])
        self.assertEqual(facts["nodes"], 1)

    def test_5000_nested_groups(self):
        data = chunk8(b"CREA", b"\x80deep\0")
        for _ in range(5000):
            data = group8(b"FOR8", b"XFRM", [data])
        facts = self.inspect_bytes(scene8(head8(), data, node8(b"XFRM", b"\x8cafter\0")))
        self.assertEqual(len(facts["problems"]), 1)
        self.assertIn("nested more than 64 deep", facts["problems"][0])
        self.assertEqual(facts["nodes"], 1)

    def test_not_a_scene(self):
        for data in (b"", b"//Maya is not here\nhello\n", group8(b"FOR8", b"ILBM", [chunk8(b"BMHD", b"x")]),
                     group4(b"FOR4", b"AIFF", []), b"FOR8\0\0"):
            with self.subTest(data=data[:20]):
                with self.assertRaises(ValueError):
                    self.inspect_bytes(data)

    def test_bytes_after_the_scene_group(self):
        facts = self.inspect_bytes(scene8(head8()) + b"\0" * 12)
        self.assertEqual(len(facts["problems"]), 1)
        self.assertIn("12 bytes after the end of the scene's group", facts["problems"][0])


class FuzzFindings(ScratchCase):
    def test_a_problem_quoting_a_statement_stays_one_line(self):
        # Found by tools/fuzz: an unfinished statement whose first word is a
        # string with a line break (and NUL bytes) in it.
        data = b'//Maya ASCII 2023 scene\n"oen \n   \0\0\x80" x'
        problems = self.inspect_bytes(data, "scene.ma")["problems"]
        self.assertEqual(len(problems), 1)
        self.assertNotIn("\n", problems[0])
        self.assertNotIn("\0", problems[0])
        self.assertIn("\\x0a", problems[0])


class FbxHeaders(ScratchCase):
    def test_versions(self):
        for data, version in ((b"Kaydara FBX Binary  \0\x1a\0" + struct.pack("<I", 7400) + bytes(40), "7400"),
                              (b"Kaydara FBX Binary  \0\x1a\0" + struct.pack("<I", 7700), "7700"),
                              (b"; FBX 7.5.0 project file\n; ---\n", "7500")):
            with self.subTest(version=version):
                facts = self.inspect_bytes(data, "model.fbx")
                self.assertEqual((facts["format"], facts["maya_version"], facts["problems"]), ("fbx", version, []))

    def test_truncated_headers_are_problems(self):
        whole = b"Kaydara FBX Binary  \0\x1a\0" + struct.pack("<I", 7500)
        for end in range(20, len(whole)):
            with self.subTest(end=end):
                facts = self.inspect_bytes(whole[:end], "model.fbx")
                self.assertEqual(facts["maya_version"], None if facts["maya_version"] is None else "")
                self.assertEqual(len(facts["problems"]), 1)
        self.assertEqual(len(self.inspect_bytes(b"; FBX project file\n", "t.fbx")["problems"]), 1)


if __name__ == "__main__":
    unittest.main()

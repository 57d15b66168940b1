"""Random cases, seeded, checked against small models of what must hold:
output naming over random sets of existing files, the FBX export path
through the simulator's MEL parser for paths of arbitrary characters, and
the order of source files against a model built from os.walk."""

import ntpath
import os
import posixpath
import random
import shutil
import sys
import types
import unittest
from unittest import mock

from support import conversion_controls, HostTestCase, host
from maya import cmds
from mayasim import melparse
import velmora

CASES = int(os.environ.get("VELMORA_PROPERTY_CASES", "2000"))
SEED = 20261207
NOW = 1700000000.75
ALPHABET = ('aZ09 ._-"\\\n\r\t{}%$;`\'|&<>()[]*?!#~=+,'
            "\u00e9\u00fc\u20ac\u30b7\u30fc\u30f3\U0001f600\x0b\x1b" + os.fsdecode(b"\xff\xfe"))


def random_text(rng, low, high, alphabet=ALPHABET):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(low, high)))


def fake_os(path_module, taken):
    """The module's os binding with existence answered from a set."""
    path = types.SimpleNamespace(
        exists=lambda p: p in taken, join=path_module.join, basename=path_module.basename,
        dirname=path_module.dirname, splitext=path_module.splitext, split=path_module.split,
        sep=path_module.sep, altsep=path_module.altsep)
    return types.SimpleNamespace(path=path, sep=path_module.sep)


def model_name(path_module, filepath, taken, limit, now):
    """The free name get_incremental_filename must give."""
    if filepath not in taken:
        return filepath
    folder = path_module.dirname(filepath)
    name, ext = path_module.splitext(path_module.basename(filepath))
    for n in range(1, limit + 1):
        candidate = path_module.join(folder, "%s_%03d%s" % (name, n, ext))
        if candidate not in taken:
            return candidate
    stamp = "%s_%d" % (name, int(now))
    candidate = path_module.join(folder, stamp + ext)
    k = 0
    while candidate in taken:
        k += 1
        candidate = path_module.join(folder, "%s_%d%s" % (stamp, k, ext))
    return candidate


class NamingModel(HostTestCase):
    def test_names_never_taken_and_as_the_model_says(self):
        rng = random.Random(SEED)
        conv = self.converter()
        clock = types.SimpleNamespace(time=lambda: NOW)
        tried = 0
        for case in range(CASES):
            path_module = rng.choice((posixpath, ntpath))
            folder = rng.choice(("", "/shots", "C:\\proj", "dir with space/sub",
                                 random_text(rng, 1, 6)))
            base = rng.choice(("Scene", ".hidden", "a.b.c", "x_001", random_text(rng, 1, 8)))
            ext = rng.choice((".ma", ".MB", ".fbx", "", ".tar.gz"))
            filepath = path_module.join(folder, base + ext) if folder else base + ext
            limit = rng.randint(0, 6)
            name, real_ext = path_module.splitext(path_module.basename(filepath))
            stem = path_module.dirname(filepath)
            taken = set()
            if rng.random() < 0.9:
                taken.add(filepath)
            for n in range(1, limit + 2):
                if rng.random() < 0.7:
                    taken.add(path_module.join(stem, "%s_%03d%s" % (name, n, real_ext)))
            for k in range(0, 4):
                if rng.random() < 0.5:
                    suffix = "_%d" % k if k else ""
                    taken.add(path_module.join(stem, "%s_%d%s%s" % (name, int(NOW), suffix,
                                                                    real_ext)))
            conv.MAX_INCREMENT = limit
            with mock.patch.object(velmora, "os", fake_os(path_module, taken)), \
                    mock.patch.object(velmora, "time", clock):
                got = conv.get_incremental_filename(filepath)
            what = (case, filepath, limit, sorted(taken))
            self.assertNotIn(got, taken, what)
            self.assertEqual(got, model_name(path_module, filepath, taken, limit, NOW), what)
            self.assertEqual(path_module.dirname(got), stem, what)
            self.assertTrue(got.endswith(real_ext), what)
            tried += 1
        self.assertEqual(tried, CASES)


class MelPathModel(HostTestCase):
    """Whatever the characters of a path, the export command Maya receives
    is one FBXExport of exactly that path (with separators as MEL wants
    them on Windows), and nothing else."""

    def setUp(self):
        super(MelPathModel, self).setUp()
        self.conv = self.converter()
        conversion_controls(self.conv, "propertyWin")
        self.conv.log = lambda msg: None  # thousands of calls: keep the file out of it

    def test_any_path_is_exported_at_exactly_that_path(self):
        rng = random.Random(SEED + 1)
        sent = []
        mel = types.SimpleNamespace(eval=lambda text: sent.append(text))
        for case in range(CASES):
            path_module = rng.choice((posixpath, ntpath))
            parts = [random_text(rng, 0, 10) for _ in range(rng.randint(1, 4))]
            source = path_module.join(*parts) + rng.choice((".ma", ".mb", ".MA", ""))
            expected = path_module.splitext(source)[0] + ".fbx"
            del sent[:]
            with mock.patch.object(velmora, "os", fake_os(path_module, set())), \
                    mock.patch.object(velmora, "mel", mel):
                results = self.conv.convert_file(source, ["fbx"])
            self.assertEqual(results, [("fbx", True, expected)], repr(source))
            exports = [t for t in sent if t.startswith("FBXExport -f")]
            self.assertEqual(len(exports), 1, repr(source))
            if path_module is ntpath:
                expected = expected.replace("\\", "/")
            self.assertEqual(melparse.parse(exports[0], True), [("fbx_export", expected, False)],
                             repr(source))
        self.assertEqual(host.fbx_exports, [])


class SelectionOrderModel(HostTestCase):
    """collect_files against a model of its order: with subfolders, the
    walk's folders in its own order, each folder's matching names sorted;
    without, the folder's matching names sorted, files only."""

    NAMES = ["a.ma", "B.MA", "c.mb", "D.Mb", "e.fbx", "F.FBX", "g.ma.bak", "h_ma", "i.obj",
             ".ma", "j.ma.mb", "K.fBx", "\u30b7.ma", os.fsdecode(b"\xff.mb"), "z.MA", "0.fbx"]

    def model(self, folder, extensions, recursive):
        def match(name):
            return any(name.lower().endswith(ext) for ext in extensions)
        if recursive:
            return [os.path.join(root, name) for root, _, names in os.walk(folder)
                    for name in sorted(names) if match(name)]
        return [os.path.join(folder, name) for name in sorted(os.listdir(folder))
                if match(name) and os.path.isfile(os.path.join(folder, name))]

    def build(self, rng, folder, depth):
        os.makedirs(folder)
        for name in rng.sample(self.NAMES, rng.randint(0, 6)):
            with open(os.path.join(folder, name), "w") as f:
                f.write("x")
        if depth < 3:
            for sub in rng.sample(["sub", "Old.ma", "x.fbx", "deep", "\u00e9"], rng.randint(0, 2)):
                self.build(rng, os.path.join(folder, sub), depth + 1)

    def test_order_follows_the_model(self):
        rng = random.Random(SEED + 2)
        conv = self.converter()
        cmds.window("selectionWin")
        cmds.columnLayout()
        boxes = {}
        for attr in ("src_ma", "src_mb", "src_fbx", "recursive_check"):
            boxes[attr] = cmds.checkBox(label=attr, v=True)
            setattr(conv, attr, boxes[attr])
        trees = max(1, CASES // 40)
        checked = 0
        for case in range(trees):
            root = self.path("tree%d" % case)
            self.build(rng, root, 0)
            conv.source_folder = root
            for mask in range(1, 8):
                extensions = [ext for bit, ext in enumerate((".ma", ".mb", ".fbx"))
                              if mask & (1 << bit)]
                for bit, attr in enumerate(("src_ma", "src_mb", "src_fbx")):
                    cmds.checkBox(boxes[attr], e=True, v=bool(mask & (1 << bit)))
                for recursive in (True, False):
                    cmds.checkBox(boxes["recursive_check"], e=True, v=recursive)
                    got = conv.collect_files()
                    self.assertEqual(got, self.model(root, extensions, recursive),
                                     (case, extensions, recursive))
                    self.assertEqual(len(got), len(set(got)))
                    checked += 1
            shutil.rmtree(root)
        self.assertEqual(checked, trees * 14)


if __name__ == "__main__":
    unittest.main()

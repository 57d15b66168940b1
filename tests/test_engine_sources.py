"""Which output formats and source files a batch takes from the window."""

import itertools
import os
import types
import unittest
from unittest import mock

from support import HostTestCase, host
from windows_paths import also_under_windows_paths, to_host
from maya import cmds
import velmora

SOURCE_BOXES = (("src_ma", ".ma"), ("src_mb", ".mb"), ("src_fbx", ".fbx"))
OUTPUT_BOXES = (("out_ma", "ma"), ("out_mb", "mb"), ("out_fbx", "fbx"))


def touch(path):
    path = to_host(path)  # a Windows-form path of a twin under Windows' rules
    d = os.path.dirname(path)
    if not os.path.isdir(d):
        os.makedirs(d)
    with open(path, "w") as f:
        f.write("x")
    return path


class SourcesCase(HostTestCase):
    def make(self, folder="", types_=(".ma", ".mb", ".fbx"), outputs=(), recursive=False):
        conv = self.converter()
        cmds.window("engineTestWin")
        cmds.columnLayout()
        for attr, ext in SOURCE_BOXES:
            setattr(conv, attr, cmds.checkBox(label=ext, v=ext in types_))
        for attr, ident in OUTPUT_BOXES:
            setattr(conv, attr, cmds.checkBox(label=ident, v=ident in outputs))
        conv.recursive_check = cmds.checkBox(label="Include subdirectories", v=recursive)
        conv.source_folder = folder
        self.mark = len(host.journal)
        return conv

    def queried(self, conv):
        names = dict((getattr(conv, a), a) for a, _ in SOURCE_BOXES + OUTPUT_BOXES)
        names[conv.recursive_check] = "recursive_check"
        out = []
        for command, args, flags in self.calls(self.mark):
            if command == "checkBox":
                self.assertEqual(flags, (("q", True), ("v", True)))
                out.append(names[args[0]])
        return out


class CheckBoxListsTest(SourcesCase):
    def test_every_combination_keeps_table_order(self):
        for picked in itertools.product((False, True), repeat=3):
            exts = [e for (_, e), on in zip(SOURCE_BOXES, picked) if on]
            ids = [i for (_, i), on in zip(OUTPUT_BOXES, picked) if on]
            host.reset()
            conv = self.make(types_=exts, outputs=ids)
            self.assertEqual(conv.get_source_extensions(), exts)
            self.assertEqual(conv.get_output_formats(), ids)
            self.assertEqual(self.queried(conv), ["src_ma", "src_mb", "src_fbx",
                                                  "out_ma", "out_mb", "out_fbx"])


class UserChoiceChecksTest(SourcesCase):
    def test_no_folder_warns_before_reading_any_box(self):
        conv = self.make(folder="")
        self.assertEqual(conv.collect_files(), [])
        self.assertEqual(host.warnings, ["Select valid folder"])
        self.assertEqual(self.queried(conv), [])

    def test_vanished_folder_warns(self):
        conv = self.make(folder=self.path("gone"))
        self.assertEqual(conv.collect_files(), [])
        self.assertEqual(host.warnings, ["Select valid folder"])
        self.assertEqual(self.queried(conv), [])

    def test_no_type_warns_without_reading_the_subfolder_option(self):
        touch(self.path("a.ma"))
        conv = self.make(folder=self.tmp, types_=())
        self.assertEqual(conv.collect_files(), [])
        self.assertEqual(host.warnings, ["Select source file type"])
        self.assertEqual(self.queried(conv), ["src_ma", "src_mb", "src_fbx"])

    def test_extensions_come_through_the_object(self):
        touch(self.path("a.obj"))
        touch(self.path("a.ma"))
        conv = self.make(folder=self.tmp, types_=())
        conv.get_source_extensions = lambda: [".obj"]
        self.assertEqual(conv.collect_files(), [self.path("a.obj")])
        self.assertEqual(host.warnings, [])


@also_under_windows_paths()
class FolderOnlyTest(SourcesCase):
    def test_names_match_case_blind_at_the_end_only(self):
        for name in ("b.fbx", "a.ma", "C.ma", "SCENE.MA", "scene.ma.bak", "scene_ma",
                     "x.mb", "Old.FbX"):
            touch(self.path(name))
        touch(self.path("old.ma", "inner.ma"))
        touch(self.path("sub", "deep.ma"))
        conv = self.make(folder=self.tmp, types_=(".ma", ".fbx"))
        self.assertEqual(conv.collect_files(),
                         [self.path(n) for n in ("C.ma", "Old.FbX", "SCENE.MA", "a.ma", "b.fbx")])
        self.assertEqual(self.queried(conv), ["src_ma", "src_mb", "src_fbx", "recursive_check"])
        self.assertEqual(host.warnings, [])

    def test_file_test_only_for_matching_names(self):
        for name in ("a.ma", "notes.txt", "b.mb"):
            touch(self.path(name))
        os.mkdir(self.path("dir.ma"))
        tested = []

        real = velmora.os  # Windows' view in the twin under Windows' rules

        def isfile(p):
            tested.append(p)
            return real.path.isfile(p)

        fake = types.SimpleNamespace(listdir=real.listdir, walk=real.walk,
                                     path=types.SimpleNamespace(join=real.path.join,
                                                                exists=real.path.exists,
                                                                isfile=isfile))
        conv = self.make(folder=self.tmp, types_=(".ma",))
        with mock.patch.object(velmora, "os", fake):
            self.assertEqual(conv.collect_files(), [self.path("a.ma")])
        self.assertEqual(tested, [self.path("a.ma"), self.path("dir.ma")])

    def test_undecodable_and_foreign_names_pass_through(self):
        names = [os.fsdecode(b"bad\xff.ma"), "\u5834\u9762.ma", "{0}%s.ma"]
        for n in names:
            touch(self.path(n))
        conv = self.make(folder=self.tmp, types_=(".ma",))
        self.assertEqual(conv.collect_files(), [self.path(n) for n in sorted(names)])

    def test_folder_without_matches_gives_empty_list_silently(self):
        touch(self.path("readme.txt"))
        conv = self.make(folder=self.tmp)
        self.assertEqual(conv.collect_files(), [])
        self.assertEqual(host.warnings, [])

    def test_unlistable_folder_raises(self):
        conv = self.make(folder=self.tmp)
        with mock.patch("os.listdir", side_effect=PermissionError(13, "denied")):
            with self.assertRaises(PermissionError):
                conv.collect_files()


@also_under_windows_paths()
class SubfoldersTest(SourcesCase):
    def build_tree(self):
        for rel in (("z.ma",), ("B.mb",), ("sub1", "b.ma"), ("sub1", "A.ma"),
                    ("sub1", "deep", "c.mb"), ("sub2", "a.ma"), ("sub2", "x.txt"),
                    ("old.ma", "in.ma")):
            touch(self.path(*rel))

    def test_own_files_first_then_each_folder_sorted(self):
        self.build_tree()
        conv = self.make(folder=self.tmp, recursive=True)
        got = conv.collect_files()
        self.assertEqual(got[:2], [self.path("B.mb"), self.path("z.ma")])
        self.assertEqual(sorted(got), sorted(
            self.path(*r) for r in (("z.ma",), ("B.mb",), ("sub1", "b.ma"), ("sub1", "A.ma"),
                                    ("sub1", "deep", "c.mb"), ("sub2", "a.ma"),
                                    ("old.ma", "in.ma"))))
        # Each folder's files stay together, sorted, and a folder comes
        # after the folder holding it.
        path = velmora.os.path
        folders = [path.dirname(p) for p in got]
        order = [f for i, f in enumerate(folders) if i == 0 or folders[i - 1] != f]
        self.assertEqual(len(order), len(set(order)))
        self.assertLess(order.index(self.path("sub1")), order.index(self.path("sub1", "deep")))
        for f in order:
            names = [path.basename(p) for p in got if path.dirname(p) == f]
            self.assertEqual(names, sorted(names))

    def test_unreadable_subfolder_is_passed_over(self):
        self.build_tree()
        locked = self.path("sub1")
        real_scandir = os.scandir

        def scandir(path="."):
            if os.fspath(path) == locked:
                raise PermissionError(13, "Permission denied", path)
            return real_scandir(path)

        conv = self.make(folder=self.tmp, recursive=True)
        with mock.patch("os.scandir", scandir):
            got = conv.collect_files()
        self.assertEqual(sorted(got), sorted([self.path("B.mb"), self.path("z.ma"),
                                              self.path("sub2", "a.ma"),
                                              self.path("old.ma", "in.ma")]))

    def test_links_to_folders_are_not_followed(self):
        touch(self.path("real", "a.ma"))
        try:
            os.symlink(self.path("real"), self.path("link"))
        except (OSError, NotImplementedError):
            self.skipTest("no symbolic links here")
        conv = self.make(folder=self.tmp, recursive=True)
        self.assertEqual(conv.collect_files(), [self.path("real", "a.ma")])


if __name__ == "__main__":
    unittest.main()

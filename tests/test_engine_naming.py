"""Free names for outputs that would overwrite an existing file."""

import ntpath
import os
import types
import unittest
from unittest import mock

from support import HostTestCase
from windows_paths import also_under_windows_paths
import velmora


def touch(path):
    with open(path, "w") as f:
        f.write("x")


class CountingOs(object):
    """The module's os binding with path.exists counted (and optionally
    answered from a set of taken names) and listings forbidden."""

    def __init__(self, path_module=os.path, taken=None):
        self.exists_calls = []

        def exists(p):
            self.exists_calls.append(p)
            return p in taken if taken is not None else os.path.exists(p)

        def no_listing(*args):
            raise AssertionError("a name search must not list folders")

        self.path = types.SimpleNamespace(
            exists=exists, join=path_module.join, split=path_module.split,
            basename=path_module.basename, dirname=path_module.dirname,
            splitext=path_module.splitext, sep=path_module.sep, altsep=path_module.altsep)
        self.listdir = self.scandir = self.walk = no_listing


@also_under_windows_paths()
class NumberedNamesTest(HostTestCase):
    def name_for(self, path, limit=None):
        conv = self.converter()
        if limit is not None:
            conv.MAX_INCREMENT = limit
        return conv.get_incremental_filename(path)

    def test_free_path_comes_back_unchanged(self):
        p = self.path("Scene.mb")
        self.assertEqual(self.name_for(p), p)
        self.assertEqual(os.listdir(self.tmp), ["converter_log.txt"])

    def test_lowest_free_number_fills_gaps(self):
        conv = self.converter()
        for n in ("Scene.mb", "Scene_001.mb", "Scene_003.mb"):
            touch(self.path(n))
        before = sorted(os.listdir(self.tmp))
        self.assertEqual(conv.get_incremental_filename(self.path("Scene.mb")),
                         self.path("Scene_002.mb"))
        self.assertEqual(sorted(os.listdir(self.tmp)), before)

    def test_name_shapes(self):
        cases = [
            ("shot.final.mb", "shot.final_001.mb"),
            ("Scene", "Scene_001"),
            (".hidden", ".hidden_001"),
            ("Scene_001.mb", "Scene_001_001.mb"),
            ("{0}%s.ma", "{0}%s_001.ma"),
            (os.fsdecode(b"bad\xff.ma"), os.fsdecode(b"bad\xff_001.ma")),
        ]
        for given, expected in cases:
            touch(self.path(given))
            self.assertEqual(self.name_for(self.path(given), limit=5), self.path(expected))

    def test_bare_name_stays_bare(self):
        cwd = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, cwd)
        touch("Scene.ma")
        self.assertEqual(self.name_for("Scene.ma"), "Scene_001.ma")

    def test_windows_join_uses_the_backslash(self):
        fake = CountingOs(ntpath, taken={"C:/shots/Scene.mb"})
        with mock.patch.object(velmora, "os", fake):
            self.assertEqual(self.name_for("C:/shots/Scene.mb"), "C:/shots\\Scene_001.mb")

    def test_limit_is_read_from_the_object_at_each_test(self):
        class Counting(velmora.Velmora):
            reads = 0

            @property
            def MAX_INCREMENT(self):
                type(self).reads += 1
                return 999

        for n in ("a.ma", "a_001.ma", "a_002.ma"):
            touch(self.path(n))
        self.assertEqual(Counting().get_incremental_filename(self.path("a.ma")),
                         self.path("a_003.ma"))
        self.assertEqual(Counting.reads, 3)


@also_under_windows_paths()
class TimestampFallbackTest(HostTestCase):
    FIXED = types.SimpleNamespace(time=lambda: 1700000000.9)

    def test_all_999_taken_uses_the_time_after_exactly_1000_tests(self):
        tried = ["/s/Scene.mb"] + ["/s/Scene_%03d.mb" % i for i in range(1, 1000)]
        fake = CountingOs(taken=set(tried))
        with mock.patch.object(velmora, "os", fake), \
                mock.patch.object(velmora, "time", self.FIXED):
            got = self.converter().get_incremental_filename("/s/Scene.mb")
        self.assertEqual(got, "/s/Scene_1700000000.mb")
        self.assertEqual(fake.exists_calls, tried + ["/s/Scene_1700000000.mb"])

    def test_real_clock_gives_whole_seconds(self):
        touch(self.path("a.ma"))
        touch(self.path("a_001.ma"))
        got = self.converter()
        got.MAX_INCREMENT = 1
        name = velmora.os.path.basename(got.get_incremental_filename(self.path("a.ma")))
        self.assertRegex(name, r"^a_[1-9][0-9]*\.ma$")

    def test_taken_time_stamped_name_gets_a_further_counter(self):
        for n in ("Scene.mb", "Scene_001.mb", "Scene_002.mb", "Scene_1700000000.mb",
                  "Scene_1700000000_1.mb", "Scene_1700000000_3.mb"):
            touch(self.path(n))
        conv = self.converter()
        conv.MAX_INCREMENT = 2
        with mock.patch.object(velmora, "time", self.FIXED):
            got = conv.get_incremental_filename(self.path("Scene.mb"))
        self.assertEqual(got, self.path("Scene_1700000000_2.mb"))
        self.assertFalse(os.path.exists(got))

    def test_no_extension_fallback(self):
        touch(self.path("Scene"))
        touch(self.path("Scene_1700000000"))
        conv = self.converter()
        conv.MAX_INCREMENT = 0
        with mock.patch.object(velmora, "time", self.FIXED):
            got = conv.get_incremental_filename(self.path("Scene"))
        self.assertEqual(got, self.path("Scene_1700000000_1"))


if __name__ == "__main__":
    unittest.main()

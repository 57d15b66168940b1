"""The quick roads taken for the usual values (plain str messages, names and
extensions, positional calls) give exactly what the general road gives, and
every other value still takes the general road with its own results and
errors."""

import os
import re
import unittest

from support import HostTestCase, host
from maya import cmds
import velmora


class LogLineShapes(HostTestCase):
    def test_messages_of_every_kind_are_formatted_like_str_format(self):
        class Shouting(str):
            def __format__(self, spec):
                return self.upper()

        class Odd(object):
            def __format__(self, spec):
                return "odd{" + spec + "}"

        conv = self.converter()
        for msg in ("plain {} 100%", "", "\nnew line", 42, Shouting("quiet"), Odd(), None):
            conv.log(msg)
        self.assertEqual(self.log_messages(),
                         ["plain {} 100%", "", "", "new line", "42", "QUIET", "odd{}", "None"])

    def test_argument_forms_of_log_and_safe_open(self):
        conv = self.converter()
        conv.log(msg="by keyword")
        self.assertEqual(self.log_messages(), ["by keyword"])
        for bad in ((), ("a", "b")):
            with self.assertRaisesRegex(TypeError, r"log\(\)"):
                conv.log(*bad)
        with self.assertRaisesRegex(TypeError, r"log\(\)"):
            conv.log("x", colour="red")

        path = self.path("t.txt")
        with velmora.safe_open(path, "w") as f:
            f.write("\u00e9")
        for args, kwargs in (((path,), {}), ((path, "r"), {}), ((path, "r", "utf-8"), {}),
                             ((), {"filepath": path, "mode": "r"})):
            with velmora.safe_open(*args, **kwargs) as f:
                self.assertEqual(f.read(), "\u00e9")
        with self.assertRaisesRegex(TypeError, "safe_open"):
            velmora.safe_open()
        with self.assertRaisesRegex(TypeError, "safe_open"):
            velmora.safe_open(path, "r", "utf-8", "extra")


class SourceMatchShapes(HostTestCase):
    def converter_for(self, extensions, folder=None):
        conv = self.converter()
        if not cmds.window("shortcutWin", exists=True):
            cmds.window("shortcutWin")
        cmds.columnLayout()
        conv.recursive_check = cmds.checkBox(v=True)
        conv.source_folder = folder or self.tmp
        conv.get_source_extensions = lambda: extensions
        return conv

    def test_any_sequence_of_extensions_matches_alike(self):
        for name in ("a.ma", "B.FBX", "c.mb", "d.txt"):
            open(self.path(name), "w").close()
        want = [self.path("B.FBX"), self.path("a.ma")]

        class Ext(str):
            pass

        for extensions in ([".ma", ".fbx"], (".ma", ".fbx"), [Ext(".ma"), ".fbx"]):
            self.assertEqual(self.converter_for(extensions).collect_files(), want)
        self.assertEqual(host.warnings, [])

    def test_a_bad_extension_fails_only_when_it_is_tried(self):
        os.mkdir(self.path("one"))
        open(self.path("one", "a.ma"), "w").close()
        found = self.converter_for([".ma", 7], self.path("one")).collect_files()
        self.assertEqual(found, [self.path("one", "a.ma")])
        with self.assertRaisesRegex(TypeError, "endswith first arg must be str"):
            self.converter_for([7, ".ma"], self.path("one")).collect_files()


class NumberedNames(HostTestCase):
    def test_counter_past_three_digits_and_names_of_other_types(self):
        target = self.path("S.mb")
        for name in ["S.mb"] + ["S_%03d.mb" % n for n in range(1, 1003)]:
            open(self.path(name), "w").close()
        conv = self.converter()
        conv.MAX_INCREMENT = 1010
        self.assertEqual(conv.get_incremental_filename(target), self.path("S_1003.mb"))

        class Path(str):
            pass

        conv.MAX_INCREMENT = 999
        got = conv.get_incremental_filename(Path(self.path("S_001.mb")))
        self.assertEqual(got, self.path("S_001_001.mb"))
        self.assertTrue(re.match(r"^S_\d+\.mb$", os.path.basename(conv.get_incremental_filename(target))))


if __name__ == "__main__":
    unittest.main()

"""Writing one open scene in every requested output format."""

import ntpath
import os
import random
import types
import unittest
from unittest import mock

from support import conversion_controls, HostTestCase, host
from windows_paths import also_under_windows_paths
from maya import cmds
import mayasim
from mayasim import melparse
import velmora

START, END = "  [DEBUG] convert_file START", "  [DEBUG] convert_file END"
QUERY_SKIP = ("q", True), ("v", True)


class ConversionCase(HostTestCase):
    def setUp(self):
        super(ConversionCase, self).setUp()
        self.conv = self.converter()
        conversion_controls(self.conv, "engineTestWin")

    def skip_existing(self, on):
        cmds.checkBox(self.conv.skip_existing_check, e=True, v=on)

    def open_source(self, name, nodes=("pCube1",), unit="film"):
        path = self.path(name)
        mayasim.write_scene(path, unit=unit, nodes=nodes)
        cmds.file(path, open=True, force=True)
        self.mark = len(host.journal)
        self.log_mark = len(self.log_messages())
        return path

    def convert(self, source, formats, fps=None):
        return self.conv.convert_file(source, formats, fps)

    def maya_calls(self):
        return [c for c in self.calls(self.mark) if c[0] != "refresh"]

    def messages(self):
        return self.log_messages()[self.log_mark:]

    def fbx_commands(self):
        return [c[1][0] for c in self.maya_calls()
                if c[0] == "mel.eval" and c[1][0].startswith("FBXExport ")]


@also_under_windows_paths()
class FormatsTest(ConversionCase):
    def test_no_formats(self):
        src = self.open_source("a.ma")
        for fps in (None, ""):
            self.mark = len(host.journal)
            self.log_mark = len(self.log_messages())
            self.assertEqual(self.convert(src, [], fps), [])
            self.assertEqual(self.messages(), [START, END])
            self.assertEqual(self.maya_calls(),
                             [("checkBox", (self.conv.skip_existing_check,), QUERY_SKIP)])
        self.mark = len(host.journal)
        self.log_mark = len(self.log_messages())
        self.assertEqual(self.convert(src, (), "pal"), [])
        self.assertEqual(self.messages(), [START, "  [DEBUG] Applied FPS: pal", END])
        self.assertEqual(self.maya_calls()[0], ("currentUnit", (), (("time", "pal"),)))

    def test_same_format_by_lower_cased_source_extension(self):
        src = self.open_source("Scene.MA")
        out = self.path("Scene.mb")
        self.assertEqual(self.conv.convert_file(source_file=src, output_formats=["ma", "mb"],
                                                source_fps="ntsc"),
                         [("mb", True, out)])
        self.assertEqual(self.maya_calls(), [
            ("currentUnit", (), (("time", "ntsc"),)),
            ("checkBox", (self.conv.skip_existing_check,), QUERY_SKIP),
            ("file", (), (("rename", out),)),
            ("file", (), (("save", True), ("type", "mayaBinary")))])
        self.assertEqual(self.messages(), [
            START, "  [DEBUG] Applied FPS: ntsc",
            "  [DEBUG] Processing format: ma", "  [DEBUG] Skipping same format",
            "  [DEBUG] Processing format: mb", "  [DEBUG] Output file: " + out,
            "  [DEBUG] Saving file...", "  [DEBUG] Renaming file...",
            "  [DEBUG] Saving as mb...", "  [DEBUG] Save complete",
            "  Saved MB: Scene.mb", END])
        written = mayasim.read_scene(out)
        self.assertEqual((written["format"], written["unit"]), ("mayaBinary", "ntsc"))
        self.assertFalse(os.path.exists(self.path("Scene.ma")))

    def test_only_the_last_extension_is_replaced(self):
        src = self.open_source("shot.final.ma")
        self.assertEqual(self.convert(src, ["mb"]), [("mb", True, self.path("shot.final.mb"))])

    def test_no_extension_never_counts_as_the_same_format(self):
        src = self.open_source("scene")
        got = self.convert(src, iter(["ma", "mb", "fbx"]))
        self.assertEqual(got, [(f, True, src + "." + f) for f in ("ma", "mb", "fbx")])
        self.assertEqual([c[2] for c in self.maya_calls() if c[0] == "file"],
                         [(("rename", src + ".ma"),), (("save", True), ("type", "mayaAscii")),
                          (("rename", src + ".mb"),), (("save", True), ("type", "mayaBinary"))])
        # The FBX export leaves the scene under its last saved name.
        self.assertEqual(cmds.file(q=True, sceneName=True), src + ".mb")
        self.assertEqual(mayasim.read_scene(src + ".ma")["format"], "mayaAscii")


@also_under_windows_paths()
class ExistingOutputsTest(ConversionCase):
    def test_skip_on(self):
        src = self.open_source("Scene.ma")
        existing = self.path("Scene.mb")
        with open(existing, "w") as f:
            f.write("keep")
        self.skip_existing(True)
        self.mark = len(host.journal)
        self.assertEqual(self.convert(src, ["mb", "fbx"]),
                         [("fbx", True, self.path("Scene.fbx"))])
        self.assertEqual(self.conv.skipped_files, [existing])
        self.assertIn("  Skipped (exists): Scene.mb", self.messages())
        self.assertEqual(len([c for c in self.maya_calls() if c[0] == "checkBox"]), 1)
        self.assertEqual(self.convert(src, ["mb", "fbx"]), [])
        self.assertEqual(self.conv.skipped_files, [existing, existing, self.path("Scene.fbx")])
        with open(existing) as f:
            self.assertEqual(f.read(), "keep")

    def test_skip_off_takes_a_numbered_name(self):
        src = self.open_source("Scene.ma")
        with open(self.path("Scene.mb"), "w") as f:
            f.write("keep")
        out = self.path("Scene_001.mb")
        self.assertEqual(self.convert(src, ["mb"]), [("mb", True, out)])
        msgs = self.messages()
        i = msgs.index("  [DEBUG] Output file: " + self.path("Scene.mb"))
        self.assertEqual(msgs[i + 1:i + 4], ["  [DEBUG] Getting incremental filename...",
                                             "  [DEBUG] Incremental: " + out,
                                             "  [DEBUG] Saving file..."])
        self.assertIn("  Saved MB: Scene_001.mb", msgs)
        self.assertEqual(self.conv.skipped_files, [])
        with open(self.path("Scene.mb")) as f:
            self.assertEqual(f.read(), "keep")

    def test_helpers_are_called_through_the_object(self):
        src = self.open_source("Scene.ma")
        with open(self.path("Scene.fbx"), "w") as f:
            f.write("keep")
        host.plugins_loaded.add("fbxmaya")
        seen = []
        self.conv.get_incremental_filename = lambda p: seen.append(p) or p + ".alt.fbx"
        self.conv.setup_fbx_export = lambda: seen.append("setup")
        self.assertEqual(self.convert(src, ["fbx"]),
                         [("fbx", True, self.path("Scene.fbx.alt.fbx"))])
        self.assertEqual(seen, [self.path("Scene.fbx"), "setup"])
        self.assertNotIn("optionMenu", [c[0] for c in self.maya_calls()])


@also_under_windows_paths()
class FailuresTest(ConversionCase):
    def test_every_write_failing(self):
        src = self.open_source("shot.v1")
        host.fail("file", nth=1, error=RuntimeError("disk full"))
        host.fail("file", nth=2, error=RuntimeError("read only {0} 50%"))
        host.fail("mel.eval", match="FBXExport", error=RuntimeError(""))
        got = self.convert(src, ["ma", "mb", "fbx"])
        self.assertEqual(got, [("ma", False, "disk full"), ("mb", False, "read only {0} 50%"),
                               ("fbx", False, "")])
        msgs = self.messages()
        self.assertEqual([m for m in msgs if m.startswith("  ERROR") or m.startswith("  Saved")],
                         ["  ERROR MA: disk full", "  ERROR MB: read only {0} 50%",
                          "  ERROR FBX: "])
        self.assertNotIn("  [DEBUG] FBX export complete", msgs)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["converter_log.txt", "shot.v1"])

    def test_unreadable_preset_fails_only_the_fbx_output(self):
        src = self.open_source("a.ma")
        host.fail("optionMenu", error=RuntimeError("menu gone"))
        self.assertEqual(self.convert(src, ["mb", "fbx"]),
                         [("mb", True, self.path("a.mb")), ("fbx", False, "menu gone")])
        self.assertEqual(self.fbx_commands(), [])

    def test_failures_outside_the_writes_reach_the_caller(self):
        src = self.open_source("a.ma")
        host.fail("checkBox", error=RuntimeError("box gone"))
        with self.assertRaisesRegex(RuntimeError, "box gone"):
            self.convert(src, ["mb"])
        with open(self.path("a.mb"), "w") as f:
            f.write("x")
        self.conv.get_incremental_filename = mock.Mock(side_effect=OSError("no names"))
        with self.assertRaisesRegex(OSError, "no names"):
            self.convert(src, ["mb"])
        host.fail("currentUnit", error=RuntimeError("bad unit"))
        with self.assertRaisesRegex(RuntimeError, "bad unit"):
            self.convert(src, ["fbx"], "nonsense")

    def test_interruption_is_not_caught(self):
        src = self.open_source("a.ma")
        host.fail("file", error=KeyboardInterrupt)
        with self.assertRaises(KeyboardInterrupt):
            self.convert(src, ["mb", "fbx"])
        self.assertNotIn("  [DEBUG] Processing format: fbx", self.messages())


@also_under_windows_paths("test_windows_paths_use_forward_slashes_in_mel",
                          reason="sets Windows' rules of its own")
class FbxExportTest(ConversionCase):
    def test_whole_scene_is_exported_not_the_selection(self):
        src = self.open_source("a.ma", nodes=("n1", "n2", "n3"))
        cmds.select("n1")
        out = self.path("a.fbx")
        self.assertEqual(self.convert(src, ["fbx"]), [("fbx", True, out)])
        self.assertEqual(self.fbx_commands(), ['FBXExport -f "{}"'.format(self.mel_path(out))])
        written = mayasim.read_scene(out)
        self.assertEqual(written["format"], "FBX")
        self.assertEqual([n[0] for n in written["nodes"]], ["n1", "n2", "n3"])
        self.assertFalse(host.fbx_exports[-1]["selected_only"])

    def test_messages_around_the_export(self):
        src = self.open_source("a.ma")
        self.convert(src, ["fbx"])
        msgs = self.messages()
        i = msgs.index("  [DEBUG] Saving file...")
        self.assertEqual(msgs[i:i + 4], ["  [DEBUG] Saving file...",
                                         "  [DEBUG] FBX export starting...",
                                         "  [DEBUG] FBX export complete", "  Saved FBX: a.fbx"])

    def test_windows_paths_use_forward_slashes_in_mel(self):
        cwd = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, cwd)
        os.makedirs(os.path.join("C:", "proj"))
        windows = types.SimpleNamespace(path=ntpath, sep="\\", altsep="/")
        for name in ("Scene", 'we"ird'):
            src = "C:\\proj\\" + name + ".ma"
            mayasim.write_scene(src.replace("\\", "/"))
            cmds.file(src.replace("\\", "/"), open=True, force=True)
            self.mark = len(host.journal)
            with mock.patch.object(velmora, "os", windows):
                got = self.convert(src, ["fbx"])
            self.assertEqual(got, [("fbx", True, "C:\\proj\\" + name + ".fbx")])
            literal = "C:/proj/" + name.replace('"', '\\"') + ".fbx"
            self.assertEqual(self.fbx_commands(), ['FBXExport -f "{}"'.format(literal)])
            self.assertTrue(os.path.isfile(os.path.join("C:", "proj", name + ".fbx")))


@also_under_windows_paths()
class HostileNamesTest(ConversionCase):
    NAMES = [
        'quote"d', "back\\slash", "trailing\\", "line\nbreak", "cr\rand\ttab",
        "{0} {name} }{", "100% %s %d", "\u00fcn\u00efc\u00f6de \u20ac \u5834\u9762",
        os.fsdecode(b"bad\xff\xfe"), "$gMainPane;`ls`",
        'x"; system("touch pwned"); "y',
        'x\\"; system("touch pwned2"); "',
        '" -s; FBXExport -f "elsewhere',
    ]

    def check_export(self, name):
        src = self.open_source(name + ".ma")
        base = self.path(name)
        got = self.convert(src, ["mb", "fbx"])
        self.assertEqual(got, [("mb", True, base + ".mb"), ("fbx", True, base + ".fbx")],
                         repr(name))
        commands = self.fbx_commands()
        self.assertEqual(len(commands), 1)
        # The text Maya receives is one export of exactly that path, nothing else.
        self.assertEqual(melparse.parse(commands[0], True),
                         [("fbx_export", self.mel_path(base + ".fbx"), False)])
        self.assertEqual(host.fbx_exports[-1]["path"], self.mel_path(base + ".fbx"))
        self.assertEqual(mayasim.read_scene(base + ".fbx")["format"], "FBX")

    def test_names_end_to_end(self):
        names = self.only_posix(self.NAMES)
        for name in names:
            self.check_export(name)
        expected = set(["converter_log.txt"])
        for name in names:
            expected.update(name + ext for ext in (".ma", ".mb", ".fbx"))
        self.assertEqual(set(os.listdir(self.tmp)), expected)
        self.assertEqual(len(host.fbx_exports), len(names))

    def test_ordinary_paths_are_pasted_unchanged(self):
        for name in ("plain", "with space", "{braces}", "50%", "\u00e9t\u00e9"):
            self.open_source(name + ".ma")
            self.convert(self.path(name + ".ma"), ["fbx"])
            self.assertEqual(self.fbx_commands(),
                             ['FBXExport -f "{}"'.format(self.mel_path(self.path(name + ".fbx")))])

    def test_random_names_round_trip(self):
        rng = random.Random(20240601)
        alphabet = 'ab"\\\n\r\t{}%$;`\' -.\u00fc\u20ac' + os.fsdecode(b"\xff")
        if self.windows_paths:
            alphabet = alphabet.replace("\\", "")  # a separator there
        seen = set()
        while len(seen) < 40:
            name = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12)))
            if name in seen or name.strip(".") == "":
                continue
            seen.add(name)
            src = self.open_source(name + ".ma")
            base = self.path(name)
            self.assertEqual(self.convert(src, ["fbx"]), [("fbx", True, base + ".fbx")],
                             repr(name))
            self.assertEqual(melparse.parse(self.fbx_commands()[0], True),
                             [("fbx_export", self.mel_path(base + ".fbx"), False)])
            self.assertTrue(os.path.isfile(base + ".fbx"), repr(name))


if __name__ == "__main__":
    unittest.main()

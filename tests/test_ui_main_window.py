"""The main window: its command sequence, initial control states, rebuilding,
the folder dialog, and the status and progress updates."""
import gc
import weakref

from support import HostTestCase, host, velmora

import maya.cmds as cmds  # noqa: E402  (on the path through support)

BOLD = "boldLabelFont"
UP = ("setParent", ("..",), ())
SEP = ("separator", (), (("h", 3),))
FRAME = ("frameLayout", (), (("lv", False), ("mw", 3), ("mh", 2)))


def heading(label):
    return ("text", (), (("label", label), ("align", "left"), ("font", BOLD)))


def column(spacing):
    return ("columnLayout", (), (("adj", True), ("rs", spacing)))


def check(label, value):
    return ("checkBox", (), (("label", label), ("v", value)))


def expected_create_ui(conv):
    """create_ui's commands, one entry per row of the window's table."""
    return [
        ("window", ("velmoraWin",), (("exists", True),)),
        ("window", ("velmoraWin",), (("title", "Velmora"), ("widthHeight", (240, 470)),
                                     ("sizeable", True))),
        ("columnLayout", (), (("adj", True), ("rs", 3), ("cat", ("both", 3)))),
        ("rowLayout", (), (("nc", 2), ("adj", 1), ("cat", [(1, "left", 0), (2, "right", 0)]))),
        ("text", (), (("label", "Velmora"), ("font", BOLD), ("h", 20))),
        ("button", (), (("label", "About"), ("w", 50), ("c", conv.show_about))),
        UP,
        ("separator", (), (("h", 3), ("st", "in"))),
        heading("Source Folder:"),
        ("rowLayout", (), (("nc", 2), ("cw2", (170, 55)), ("adj", 1),
                           ("cat", [(1, "both", 1), (2, "both", 1)]))),
        ("textField", (), (("ed", False), ("pht", "Select..."))),
        ("button", (), (("label", "..."), ("c", conv.browse_folder))),
        UP, SEP,
        heading("Options:"), FRAME, column(1),
        check("Include subdirectories", True), check("Skip existing files", False),
        UP, UP, SEP,
        heading("Source File Types:"), FRAME, column(1),
        check(".ma", True), check(".mb", True), check(".fbx", True),
        UP, UP, SEP,
        heading("Convert To:"), FRAME, column(1),
        check(".ma", True), check(".mb", False), check(".fbx", False),
        UP, UP, SEP,
        heading("FBX Settings:"), FRAME,
        ("optionMenu", (), (("label", "Preset:"),)),
        ("menuItem", (), (("label", "Default"),)),
        ("menuItem", (), (("label", "Animation"),)),
        ("menuItem", (), (("label", "Models Only"),)),
        UP, SEP,
        heading("Progress:"), FRAME, column(2),
        ("text", (), (("label", "Ready"), ("align", "left"))),
        ("progressBar", (), (("maxValue", 100), ("w", 210))),
        UP, UP, SEP,
        ("button", (), (("label", "Start Conversion"), ("c", conv.start_conversion), ("h", 30),
                        ("bgc", (0.3, 0.6, 0.3)))),
        ("showWindow", ("velmoraWin",), ()),
    ]


CONTROL_ATTRIBUTES = [
    # attribute, kind, label
    ("folder_text", "textField", None),
    ("recursive_check", "checkBox", "Include subdirectories"),
    ("skip_existing_check", "checkBox", "Skip existing files"),
    ("src_ma", "checkBox", ".ma"),
    ("src_mb", "checkBox", ".mb"),
    ("src_fbx", "checkBox", ".fbx"),
    ("out_ma", "checkBox", ".ma"),
    ("out_mb", "checkBox", ".mb"),
    ("out_fbx", "checkBox", ".fbx"),
    ("fbx_preset", "optionMenu", "Preset:"),
    ("status_text", "text", "Ready"),
    ("progress_bar", "progressBar", None),
    ("convert_btn", "button", "Start Conversion"),
]


class BuildTest(HostTestCase):
    def test_commands_are_exactly_the_table(self):
        conv = self.converter()
        since = len(host.journal)
        conv.create_ui()
        self.assertEqual(self.calls(since), expected_create_ui(conv))

    def test_control_attributes_name_the_controls(self):
        conv = self.converter()
        conv.create_ui()
        self.assertEqual(conv.window_name, "velmoraWin")
        names = set()
        for attribute, kind, label in CONTROL_ATTRIBUTES:
            control = host.ui.control(getattr(conv, attribute))
            self.assertIsNotNone(control, attribute)
            self.assertEqual((control.kind, control.window.short), (kind, "velmoraWin"), attribute)
            if label is not None:
                self.assertEqual(control.state["label"], label, attribute)
            names.add(control.name)
        self.assertEqual(len(names), len(CONTROL_ATTRIBUTES))
        # the source and output ".ma" boxes sit in different frames
        src = host.ui.control(conv.src_ma).parent.parent
        out = host.ui.control(conv.out_ma).parent.parent
        self.assertIsNot(src, out)
        # the option menu sits directly in its frame, which sits in the main column
        preset = host.ui.control(conv.fbx_preset)
        self.assertEqual(preset.parent.kind, "frameLayout")
        self.assertEqual(preset.parent.parent.parent.kind, "window")

    def test_initial_states(self):
        conv = self.converter()
        conv.create_ui()
        values = [cmds.checkBox(getattr(conv, a), q=True, v=True)
                  for a in ("recursive_check", "skip_existing_check", "src_ma", "src_mb",
                            "src_fbx", "out_ma", "out_mb", "out_fbx")]
        self.assertEqual(values, [True, False, True, True, True, True, False, False])
        self.assertEqual(cmds.optionMenu(conv.fbx_preset, q=True, v=True), "Default")
        self.assertEqual(cmds.text(conv.status_text, q=True, label=True), "Ready")
        self.assertEqual(cmds.progressBar(conv.progress_bar, q=True, pr=True), 0)
        self.assertEqual(cmds.textField(conv.folder_text, q=True, text=True), "")
        self.assertFalse(cmds.textField(conv.folder_text, q=True, ed=True))
        self.assertEqual(cmds.textField(conv.folder_text, q=True, pht=True), "Select...")
        self.assertTrue(cmds.button(conv.convert_btn, q=True, en=True))
        self.assertTrue(host.ui.window("velmoraWin").state["visible"])

    def test_rebuilding_replaces_the_window(self):
        first = self.converter()
        first.create_ui()
        old = [getattr(first, a) for a, _, _ in CONTROL_ATTRIBUTES]
        old_paths = [host.ui.control(n).name for n in old]
        since = len(host.journal)
        first.create_ui()
        self.assertEqual(self.calls(since)[:2], [
            ("window", ("velmoraWin",), (("exists", True),)),
            ("deleteUI", ("velmoraWin",), ()),
        ])
        second = self.converter()
        second.create_ui()
        self.assertEqual(host.ui.windows().count("velmoraWin"), 1)
        for attribute, _, _ in CONTROL_ATTRIBUTES:
            self.assertIsNotNone(host.ui.control(getattr(second, attribute)), attribute)
        for path in old_paths:
            self.assertIsNone(host.ui.control(path), path)

    def test_failing_step_leaves_window_unshown(self):
        conv = self.converter()
        host.fail("optionMenu")
        with self.assertRaises(RuntimeError):
            conv.create_ui()
        self.assertFalse(host.ui.window("velmoraWin").state["visible"])
        self.assertTrue(hasattr(conv, "out_fbx"))
        self.assertFalse(hasattr(conv, "fbx_preset"))

    def test_window_keeps_the_converter_alive_and_only_the_window(self):
        velmora.show()
        about = host.ui.control(host.ui.find(kind="button", label="About")[0])
        conv = weakref.ref(about.state["command"].__self__)
        del about
        gc.collect()
        self.assertIsNotNone(conv())
        cmds.deleteUI("velmoraWin")
        del host.journal[:]  # the journal holds the commands too
        gc.collect()
        self.assertIsNone(conv())


class FolderTest(HostTestCase):
    def folder_button(self):
        return host.ui.find(kind="button", label="...", window="velmoraWin")[0]

    def test_cancel_changes_nothing(self):
        conv = self.converter()
        conv.create_ui()
        host.file_dialog_answers.append(None)
        since = len(host.journal)
        host.press(self.folder_button())
        self.assertEqual(self.calls(since), [
            ("fileDialog2", (), (("fm", 3), ("cap", "Select Source Folder"))),
        ])
        self.assertEqual(conv.source_folder, "")
        self.assertEqual(cmds.textField(conv.folder_text, q=True, text=True), "")
        self.assertFalse([m for m in self.log_messages() if m.startswith("Selected")])

    def test_choose_then_choose_again(self):
        conv = self.converter()
        conv.create_ui()
        first = self.path("scenes {0} 100%")
        second = self.path("other")
        host.file_dialog_answers.extend([[first], [second, self.path("ignored")]])
        host.press(self.folder_button())
        self.assertEqual(conv.source_folder, first)
        self.assertEqual(cmds.textField(conv.folder_text, q=True, text=True), first)
        conv.browse_folder()  # also callable with no argument, or several
        conv.browse_folder(1, 2)  # no answer left: a cancelled dialog
        self.assertEqual(conv.source_folder, second)
        self.assertEqual(cmds.textField(conv.folder_text, q=True, text=True), second)
        selected = [m for m in self.log_messages() if m.startswith("Selected")]
        self.assertEqual(selected, ["Selected: " + first, "Selected: " + second])


class StatusProgressTest(HostTestCase):
    def test_each_update_is_followed_by_one_refresh(self):
        conv = self.converter()
        conv.create_ui()
        since = len(host.journal)
        conv.update_status("Processing 1/3: {x}")
        conv.update_progress(100)
        conv.update_progress(val=40)
        self.assertEqual(self.calls(since), [
            ("text", (conv.status_text,), (("e", True), ("label", "Processing 1/3: {x}"))),
            ("refresh", (), ()),
            ("progressBar", (conv.progress_bar,), (("e", True), ("pr", 100))),
            ("refresh", (), ()),
            ("progressBar", (conv.progress_bar,), (("e", True), ("pr", 40))),
            ("refresh", (), ()),
        ])
        self.assertEqual(cmds.text(conv.status_text, q=True, label=True), "Processing 1/3: {x}")
        self.assertEqual(cmds.progressBar(conv.progress_bar, q=True, pr=True), 40)

    def test_updates_need_the_window(self):
        conv = self.converter()
        with self.assertRaises(AttributeError):
            conv.update_status("x")
        with self.assertRaises(AttributeError):
            conv.update_progress(1)
        with self.assertRaises(TypeError):
            conv.update_status()

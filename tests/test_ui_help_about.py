"""The quick-help and about windows and their close buttons."""
from support import HostTestCase, host

import maya.cmds as cmds  # noqa: E402  (on the path through support)

HELP_LINES = [
    "VELMORA - QUICK GUIDE",
    "",
    "BASIC USAGE:",
    '1. Click "Browse" to select a folder containing Maya scenes',
    "2. Choose source file types to process (.ma, .mb, .fbx)",
    "3. Select output formats for conversion",
    '4. Click "Start Conversion" to begin',
    "",
    "OPTIONS:",
    "- Include subdirectories - Process all files in nested folders",
    "- Skip existing files - Don't overwrite existing converted files",
    "",
    "OUTPUT FORMATS:",
    "- .ma - Maya ASCII (text-based, version control friendly)",
    "- .mb - Maya Binary (compact, faster to load)",
    "- .fbx - Standard interchange format",
    "",
    "FBX SETTINGS:",
    "- Default - Exports geometry and animation as-is",
    "- Animation - Exports baked animation only (no geometry)",
    "- Models Only - Exports geometry without animation",
    "",
    "NOTES:",
    "- Original files are never modified",
    "- FPS is preserved from source files",
    "- If a converted file exists, an incremental suffix is added (_001, _002, etc.)",
    "- Statistics can be saved to a text file after conversion",
    "- All operations are logged to D:/converter_log.txt",
    "",
    # line 30: the contact line, checked separately
]
DESCRIPTION = ("A professional tool for batch conversion of Maya scene files\n"
               "between .ma, .mb, and .fbx formats.")
ANY = object()  # a value the test takes from the journal and checks separately


def matches(actual, expected):
    if expected is ANY:
        return True
    if isinstance(expected, tuple) and isinstance(actual, tuple):
        return len(actual) == len(expected) and all(map(matches, actual, expected))
    return actual == expected


def help_table():
    return [
        ("window", ("helpWin",), (("exists", True),)),
        ("window", ("helpWin",), (("title", "Quick Help"), ("widthHeight", (520, 500)))),
        ("columnLayout", (), (("adj", True), ("rs", 8), ("cat", ("both", 10)))),
        ("scrollField", (), (("text", ANY), ("ed", False), ("ww", True), ("h", 430),
                             ("fn", "plainLabelFont"))),
        ("button", (), (("label", "Close"), ("c", ANY), ("h", 30))),
        ("showWindow", ("helpWin",), ()),
    ]


def about_table():
    def space(h):
        return ("separator", (), (("h", h), ("st", "none")))

    line = ("separator", (), (("h", 5), ("st", "in")))
    centred = ("text", (), (("label", ANY), ("align", "center")))
    link = ("text", (), (("label", ANY), ("hyperlink", True), ("align", "center")))
    return [
        ("window", ("aboutWin",), (("exists", True),)),
        ("window", ("aboutWin",), (("title", "About Velmora"), ("widthHeight", (320, 320)),
                                   ("sizeable", False))),
        ("columnLayout", (), (("adj", True), ("rs", 8), ("cat", ("both", 15)))),
        space(10),
        ("text", (), (("label", "Velmora"), ("font", "boldLabelFont"), ("h", 25))),
        ("text", (), (("label", "Version 1.0"), ("h", 20))),
        line,
        ("text", (), (("label", DESCRIPTION), ("align", "center"), ("ww", True))),
        line,
        centred, link, link,
        line,
        centred,
        space(15),
        ("button", (), (("label", "OK"), ("c", ANY), ("h", 28))),
        space(5),
        ("showWindow", ("aboutWin",), ()),
    ]


class WindowsTest(HostTestCase):
    def run_and_check(self, method, table):
        conv = self.converter()
        since = len(host.journal)
        method(conv)
        calls = self.calls(since)
        self.assertEqual(len(calls), len(table), calls)
        for call, expected in zip(calls, table):
            self.assertTrue(matches(call, expected), (call, expected))
        return calls

    def test_help_window(self):
        calls = self.run_and_check(lambda c: c.show_help(), help_table())
        text = calls[3][2][0][1]
        lines = text.split("\n")
        self.assertEqual(len(lines), 30)
        self.assertEqual(lines[:29], HELP_LINES)
        self.assertTrue(lines[29].strip())
        field = host.ui.control(host.ui.find(kind="scrollField", window="helpWin")[0])
        self.assertEqual(field.state["text"], text)
        self.assertFalse(field.state["editable"])
        self.assertNotIn("sizeable", host.ui.window("helpWin").state)

    def test_about_window(self):
        calls = self.run_and_check(lambda c: c.show_about(False), about_table())
        labels = [c[2][0][1] for c in calls if c[0] == "text"]
        attribution, home, issues, notice = labels[3:]
        for anchor in (home, issues):
            self.assertRegex(anchor, r'^<a href="https://velmora\.example/[^"]*" '
                                     r'style="color:#6CB4EE;">[^<]+</a>$')
        self.assertNotEqual(home, issues)
        self.assertTrue(attribution.strip() and notice.strip())
        self.assertFalse(cmds.window("aboutWin", q=True, sizeable=True))
        self.assertTrue(host.ui.window("aboutWin").state["visible"])

    def test_repeated_calls_leave_one_window_each(self):
        conv = self.converter()
        conv.create_ui()
        for _ in range(3):
            conv.show_help()
            conv.show_about(1, 2)
        host.press(host.ui.find(kind="button", label="About", window="velmoraWin")[0])
        self.assertEqual(sorted(host.ui.windows()), ["aboutWin", "helpWin", "velmoraWin"])
        self.assertEqual(len(host.ui.find(kind="button", label="OK")), 1)
        self.assertEqual(len(host.ui.find(kind="scrollField", window="helpWin")), 1)


class CloseTest(HostTestCase):
    def command(self, label, window):
        return host.ui.control(host.ui.find(kind="button", label=label,
                                            window=window)[0]).state["command"]

    def test_close_commands_take_one_argument_and_delete_their_window(self):
        conv = self.converter()
        conv.create_ui()
        conv.show_help()
        conv.show_about()
        for label, window in [("OK", "aboutWin"), ("Close", "helpWin")]:
            close = self.command(label, window)
            for args, kwargs in [((), {}), ((False, False), {}), ((), {"state": False})]:
                with self.assertRaises(TypeError):
                    close(*args, **kwargs)
            self.assertIn(window, host.ui.windows())
            close(True)
            self.assertNotIn(window, host.ui.windows())
        self.assertEqual(host.ui.windows(), ["velmoraWin"])

    def test_close_after_replacement_fails_like_maya(self):
        # an old window's button command names a window that is gone
        conv = self.converter()
        conv.show_about()
        stale = self.command("OK", "aboutWin")
        cmds.deleteUI("aboutWin")
        with self.assertRaises(RuntimeError):
            stale(False)

"""The statistics report: its text, the window, and saving it to a file."""
import functools
import os
import time
from unittest import mock

from support import HostTestCase, host, velmora
from windows_paths import also_under_windows_paths

import maya.cmds as cmds  # noqa: E402  (on the path through support)

RULE = "=" * 50
START = 1700000000.25
STAMP = "%Y-%m-%d %H:%M:%S"


def stamp(seconds):
    return time.strftime(STAMP, time.localtime(seconds))


class ReportCase(HostTestCase):
    def report(self, elapsed=10.0, total=0, success=0, failed=(), skipped=()):
        """Runs show_statistics at START + elapsed; returns the converter."""
        conv = self.converter()
        conv.start_time = START
        conv.total_files = total
        conv.successful_files = success
        conv.failed_files = list(failed)
        conv.skipped_files = list(skipped)
        self.since = len(host.journal)
        with mock.patch.object(velmora.time, "time", return_value=START + elapsed):
            conv.show_statistics()
        return conv

    def window_text(self):
        field = host.ui.control(host.ui.find(kind="scrollField", window="statsWin")[0])
        return field.state["text"]

    def head(self, elapsed, time_line):
        return [RULE, "STATISTICS", RULE, "Start: " + stamp(START),
                "End: " + stamp(START + elapsed), time_line, ""]


@also_under_windows_paths()
class ReportTextTest(ReportCase):
    def test_no_failures(self):
        self.report(elapsed=0.4, total=3, success=3, skipped=["a.mb", "b.mb"])
        self.assertEqual(self.window_text(), "\n".join(self.head(0.4, "Time: 0m 0s") + [
            "Total: 3", "Success: 3", "Failed: 0", "Skipped: 2", RULE]))

    def test_failed_files_listed_by_name(self):
        failed = [(os.path.join(self.tmp, "sub", "a.ma"), "Open failed: {0}"),
                  ("BATCH PROCESS", "simulated failure")]
        self.report(elapsed=125.7, total=4, success=2, failed=failed)
        self.assertEqual(self.window_text(), "\n".join(self.head(125.7, "Time: 2m 5s") + [
            "Total: 4", "Success: 2", "Failed: 2", "Skipped: 0",
            "", "FAILED FILES:",
            "  - a.ma", "    Open failed: {0}",
            "  - BATCH PROCESS", "    simulated failure",
            RULE]))

    def test_durations(self):
        cases = [(0.4, "Time: 0m 0s"), (59.99, "Time: 0m 59s"), (60.0, "Time: 1m 0s"),
                 (125.7, "Time: 2m 5s"), (3725.9, "Time: 62m 5s"),
                 # the clock was set back during the run: no negative or
                 # wrapped-around duration
                 (-5.5, "Time: 0m 0s"), (-3725.9, "Time: 0m 0s")]
        for elapsed, line in cases:
            self.report(elapsed=elapsed)
            self.assertEqual(self.window_text().split("\n")[5], line, elapsed)

    def test_logged_once_before_any_window_command(self):
        host.fail("window")
        with self.assertRaises(RuntimeError):
            self.report(elapsed=3.0, total=1, success=1)
        log = self.read_log()
        self.assertEqual(log.count("STATISTICS"), 1)
        # the message starts with a line feed, so the rule begins its own line
        self.assertIn("] \n" + RULE + "\nSTATISTICS\n", log)
        self.assertIn("Skipped: 0\n" + RULE + "\n", log)
        self.assertEqual(host.ui.windows(), [])


class ReportWindowTest(ReportCase):
    def test_window_commands(self):
        conv = self.report(total=1, success=1)
        calls = self.calls(self.since)
        text = self.window_text()
        save, close = calls[8][2][1][1], calls[9][2][1][1]
        self.assertEqual(calls, [
            ("refresh", (), ()),  # the log's redraw: the report is logged first
            ("window", ("statsWin",), (("exists", True),)),
            ("window", ("statsWin",), (("title", "Statistics"), ("widthHeight", (550, 380)))),
            ("columnLayout", (), (("adj", True), ("rs", 8), ("cat", ("both", 8)))),
            ("text", (), (("label", "Conversion Complete!"), ("font", "boldLabelFont"),
                          ("h", 25))),
            ("separator", (), (("h", 8),)),
            ("scrollField", (), (("text", text), ("ed", False), ("ww", False), ("h", 260),
                                 ("fn", "fixedWidthFont"))),
            ("rowLayout", (), (("nc", 2), ("cw2", (260, 260)))),
            ("button", (), (("label", "Save to File"), ("c", save))),
            ("button", (), (("label", "Close"), ("c", close))),
            ("showWindow", ("statsWin",), ()),
        ])
        self.assertIsInstance(save, functools.partial)
        self.assertEqual((save.func, save.args, save.keywords), (conv.save_stats, (text,), {}))
        self.assertTrue(host.ui.window("statsWin").state["visible"])

    def test_one_window_after_two_reports(self):
        self.report(total=1)
        self.report(total=2)
        self.assertEqual(self.calls(self.since)[1:3], [
            ("window", ("statsWin",), (("exists", True),)),
            ("deleteUI", ("statsWin",), ()),
        ])
        self.assertEqual(host.ui.windows(), ["statsWin"])
        self.assertIn("Total: 2", self.window_text())

    def test_close_takes_exactly_one_argument(self):
        self.report()
        cmds.window("velmoraWin")
        close = host.ui.control(host.ui.find(kind="button", label="Close",
                                             window="statsWin")[0]).state["command"]
        for args, kwargs in [((), {}), ((False, False), {}), ((), {"state": False})]:
            with self.assertRaises(TypeError):
                close(*args, **kwargs)
        self.assertEqual(host.ui.windows(), ["statsWin", "velmoraWin"])
        close(False)
        self.assertEqual(host.ui.windows(), ["velmoraWin"])


@also_under_windows_paths()
class SaveTest(ReportCase):
    def press_save(self, answer):
        host.file_dialog_answers.append(answer)
        since = len(host.journal)
        host.press(host.ui.find(kind="button", label="Save to File")[0])
        return self.calls(since)

    def test_cancel_does_nothing(self):
        self.report()
        before = self.read_log()
        calls = self.press_save(None)
        self.assertEqual(calls, [("fileDialog2", (), (("fm", 0), ("cap", "Save Statistics"),
                                                      ("ff", "Text Files (*.txt)")))])
        self.assertEqual(self.read_log(), before)
        self.assertEqual((host.warnings, host.confirm_dialogs), ([], []))

    def test_saved_file_holds_the_window_text(self):
        self.report(elapsed=61.0, total=2, success=1, failed=[("/x/é.ma", "bad")])
        path = self.path("stats.txt")
        calls = self.press_save([path])
        with open(path, encoding="utf-8", newline="") as f:
            self.assertEqual(f.read().replace(os.linesep, "\n"), self.window_text())
        self.assertEqual(calls[-1], ("confirmDialog", (), (("title", "Success"),
                                                           ("message", "Saved!"),
                                                           ("button", ["OK"]))))
        self.assertEqual(self.log_messages()[-1], "Stats saved: " + path)
        self.assertEqual(host.warnings, [])

    def test_undecodable_file_name_is_saved_escaped(self):
        name = os.fsdecode(b"/x/bad\xff.ma")
        self.report(total=1, failed=[(name, "could not open")])
        path = self.path("stats.txt")
        self.press_save([path])
        with open(path, "rb") as f:
            self.assertIn(b"  - bad\\udcff.ma\n", f.read())
        self.assertEqual(host.warnings, [])

    def test_extension_added_only_when_missing(self):
        self.report()
        self.press_save([self.path("report")])
        self.press_save([self.path("report.log")])
        self.assertEqual(sorted(os.listdir(self.tmp)),
                         ["converter_log.txt", "report.log", "report.txt"])
        self.assertEqual(self.log_messages()[-2], "Stats saved: " + self.path("report.txt"))

    def test_unwritable_path_warns(self):
        self.report()
        path = self.path("missing", "stats.txt")
        self.press_save([path])
        self.assertEqual(len(host.warnings), 1)
        self.assertTrue(host.warnings[0].startswith("Save failed: [Errno 2]"), host.warnings)
        self.assertIn(repr(path), host.warnings[0])  # as OSError names it
        self.assertEqual(host.confirm_dialogs, [])
        self.assertFalse([m for m in self.log_messages() if m.startswith("Stats saved")])

    def test_failing_confirmation_warns_and_interruptions_go_up(self):
        conv = self.report()
        host.fail("confirmDialog", error=RuntimeError("no dialogs today"))
        self.press_save([self.path("a.txt")])
        self.assertEqual(host.warnings, ["Save failed: no dialogs today"])
        host.fail("confirmDialog", error=KeyboardInterrupt)
        host.file_dialog_answers.append([self.path("b.txt")])
        with self.assertRaises(KeyboardInterrupt):
            conv.save_stats("text", False)
        self.assertEqual(len(host.warnings), 1)

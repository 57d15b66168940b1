"""The converter object's state and its diagnostic log: header, line format,
and the log's silent failures."""

import io
import os
import sys
import time
import unittest
from unittest import mock

from support import HostTestCase, host, velmora

FIXED = time.struct_time((2026, 3, 14, 14, 5, 9, 5, 73, 0))


_strftime = time.strftime


def fixed_strftime(fmt, t=None):
    return _strftime(fmt, FIXED if t is None else t)


class Attributes(HostTestCase):
    def test_nine_attributes_in_order_with_initial_values(self):
        conv = self.converter()
        self.assertEqual(list(vars(conv).items()), [
            ("window_name", "velmoraWin"), ("source_folder", ""), ("total_files", 0),
            ("processed_files", 0), ("successful_files", 0), ("failed_files", []),
            ("skipped_files", []), ("start_time", None), ("viewport_disabled", False)])
        other = self.converter()
        self.assertIsNot(conv.failed_files, other.failed_files)

    def test_instance_constants_override_the_class(self):
        conv = self.converter()
        conv.LOG_FILE = self.path("own.txt")
        conv.log("to own file")
        with open(conv.LOG_FILE, encoding="utf-8") as f:
            self.assertTrue(f.read().endswith("] to own file\n"))


class Header(HostTestCase):
    def test_header_lines(self):
        host.about_version = "2025.3"
        with mock.patch.object(velmora.time, "strftime", fixed_strftime):
            self.converter()
        self.assertEqual(self.read_log(), "=== Velmora Log ===\nStarted: 2026-03-14 14:05:09\n"
                         "Python: {}\nMaya: 2025.3\n\n".format(sys.version.split()[0]))
        self.assertEqual(self.calls(), [("about", (), (("version", True),))])

    def test_second_converter_truncates_the_log(self):
        self.converter().log("first run")
        self.converter()
        log = self.read_log()
        self.assertEqual(log.count("=== Velmora Log ==="), 1)
        self.assertNotIn("first run", log)

    def test_failures_are_silent_and_keep_what_was_written(self):
        host.fail("about", error=KeyboardInterrupt())
        out = io.StringIO()
        with mock.patch.object(sys, "stdout", out), mock.patch.object(sys, "stderr", out):
            conv = self.converter()
        self.assertEqual(out.getvalue(), "")
        self.assertEqual(conv.start_time, None)
        self.assertTrue(self.read_log().startswith("=== Velmora Log ===\nStarted: "))
        self.assertNotIn("Maya:", self.read_log())

    def test_unwritable_log_path_raises_nothing(self):
        velmora.Velmora.LOG_FILE = self.path("no", "such", "dir", "log.txt")
        out = io.StringIO()
        with mock.patch.object(sys, "stdout", out):
            conv = self.converter()
            conv.log("still printed")
        self.assertTrue(out.getvalue().endswith("] still printed\n"))


class LogLines(HostTestCase):
    def log(self, conv, msg):
        out = io.StringIO()
        with mock.patch.object(velmora.time, "strftime", fixed_strftime), \
                mock.patch.object(sys, "stdout", out):
            self.assertIsNone(conv.log(msg))
        return out.getvalue()

    def test_line_is_printed_appended_and_followed_by_one_refresh(self):
        conv = self.converter()
        start = len(host.journal)
        printed = self.log(conv, "No files found")
        self.assertEqual(printed, "[14:05:09] No files found\n")
        self.assertTrue(self.read_log().endswith("\n\n[14:05:09] No files found\n"))
        self.assertEqual(self.calls(start), [("refresh", (), ())])

    def test_message_is_inserted_literally(self):
        conv = self.converter()
        for msg in ("name {} {0} %s %d.ma", "\n[1/3] a.ma", 42):
            printed = self.log(conv, msg)
            self.assertEqual(printed, "[14:05:09] {}\n".format(msg))
        self.assertTrue(self.read_log().endswith(
            "[14:05:09] name {} {0} %s %d.ma\n[14:05:09] \n[1/3] a.ma\n[14:05:09] 42\n"))

    def test_file_and_refresh_fail_independently_and_silently(self):
        conv = self.converter()
        host.fail("refresh", error=RuntimeError("no redraw"))
        self.log(conv, "written despite refresh")
        self.assertIn("] written despite refresh\n", self.read_log())
        conv.LOG_FILE = self.path("missing-drive", "log.txt")
        start = len(host.journal)
        self.assertEqual(self.log(conv, "printed only"), "[14:05:09] printed only\n")
        self.assertEqual(self.calls(start), [("refresh", (), ())])

    def test_unencodable_characters_are_replaced_on_the_console_only(self):
        conv = self.converter()
        raw = io.BytesIO()
        ascii_out = io.TextIOWrapper(raw, encoding="ascii", errors="strict")
        name = "\n[1/1] \u30b7\u30fc\u30f3.ma"
        with mock.patch.object(sys, "stdout", ascii_out):
            conv.log(name)
            ascii_out.flush()
        self.assertTrue(raw.getvalue().endswith(b"] \n[1/1] ???.ma\n"))
        self.assertIn("[1/1] \u30b7\u30fc\u30f3.ma\n", self.read_log())

    def test_errors_from_the_message_itself_propagate(self):
        class Unprintable(object):
            def __format__(self, spec):
                raise ValueError("cannot format")
        with self.assertRaises(ValueError):
            self.converter().log(Unprintable())


class UndecodablePaths(HostTestCase):
    def test_log_file_name_with_non_utf8_bytes_round_trips(self):
        name = os.fsdecode(b"log-\xff\xfe.txt")
        velmora.Velmora.LOG_FILE = self.path(name)
        conv = self.converter()
        conv.log(os.fsdecode(b"scene-\xff.ma"))
        with open(os.path.join(os.fsencode(self.tmp), b"log-\xff\xfe.txt"), "rb") as f:
            content = f.read()
        self.assertTrue(content.startswith(b"=== Velmora Log ==="))
        # The undecodable byte is kept visible in the file rather than dropping the line.
        self.assertIn(b"scene-\\udcff.ma\n", content)


class Guards(HostTestCase):
    """Steps guarded for Maya's failures catch Exception, never interruptions."""

    def test_exception_is_logged_and_interruption_passes(self):
        conv = self.converter()
        host.fail("mel.eval", error=RuntimeError("pane gone"))
        conv.disable_viewport()
        self.assertIn("  [DEBUG] Failed to disable viewport: pane gone", self.log_messages())
        host.fail("mel.eval", error=KeyboardInterrupt())
        with self.assertRaises(KeyboardInterrupt):
            conv.disable_viewport()
        host.fail("mel.eval", error=SystemExit(3))
        with self.assertRaises(SystemExit):
            conv.enable_viewport()


if __name__ == "__main__":
    unittest.main()

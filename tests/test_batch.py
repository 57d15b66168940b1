"""A whole batch through the Start button: guards, statistics, progress,
per-file failures, viewport suspension and the finalisation that always
brings Maya and the window back."""

import os
import unittest
from unittest import mock

from support import HostTestCase, host, velmora
import mayasim

RULE = "=" * 50
Q = (("q", True), ("v", True))


class BatchTestCase(HostTestCase):
    def window(self, folder=None, outputs=("ma",), sources=("ma", "mb", "fbx"), recursive=True,
               skip=False, preset=None):
        """A converter with its window built and the controls set as a user would."""
        conv = self.converter()
        conv.create_ui()
        cmds = velmora.cmds
        for fmt in ("ma", "mb", "fbx"):
            cmds.checkBox(getattr(conv, "out_" + fmt), e=True, v=fmt in outputs)
            cmds.checkBox(getattr(conv, "src_" + fmt), e=True, v=fmt in sources)
        cmds.checkBox(conv.recursive_check, e=True, v=recursive)
        cmds.checkBox(conv.skip_existing_check, e=True, v=skip)
        if preset:
            cmds.optionMenu(conv.fbx_preset, e=True, v=preset)
        if folder is not None:
            conv.source_folder = folder
        return conv

    def scenes(self, *names, **kw):
        for name in names:
            path = self.path("src", name)
            if not os.path.isdir(os.path.dirname(path)):
                os.makedirs(os.path.dirname(path))
            mayasim.write_scene(path, **kw)
        return self.path("src")

    def press_start(self, conv):
        host.press(conv.convert_btn)

    def assertRestored(self, conv):
        scene = host.scene
        self.assertEqual((scene.path, scene.modified), ("", False))
        self.assertTrue(host.main_pane_managed)
        self.assertFalse(host.wait_cursor)
        self.assertFalse(conv.viewport_disabled)
        self.assertEqual(velmora.cmds.button(conv.convert_btn, q=True, en=True), True)
        self.assertEqual(velmora.cmds.button(conv.convert_btn, q=True, label=True), "Start Conversion")
        self.assertEqual(velmora.cmds.text(conv.status_text, q=True, label=True), "Complete")

    def edits(self, command, flag, since=0):
        return [dict(flags)[flag] for name, args, flags in self.calls(since)
                if name == command and ("e", True) in flags]


class RoadOfOneFile(BatchTestCase):
    """a.ma converted to mb and fbx: every Maya call and every log line, in order."""

    def test_every_call_and_log_line_in_order(self):
        folder = self.scenes("a.ma", unit="ntsc")
        conv = self.window(folder, outputs=("mb", "fbx"))
        start = len(host.journal)
        conv.start_conversion(False)
        a = os.path.join(folder, "a.ma")
        mb, fbx = os.path.join(folder, "a.mb"), os.path.join(folder, "a.fbx")
        calls = [c for c in self.calls(start) if c != ("refresh", (), ())]
        self.assertEqual(calls, [
            ("checkBox", (conv.out_ma,), Q), ("checkBox", (conv.out_mb,), Q),
            ("checkBox", (conv.out_fbx,), Q),
            ("checkBox", (conv.src_ma,), Q), ("checkBox", (conv.src_mb,), Q),
            ("checkBox", (conv.src_fbx,), Q), ("checkBox", (conv.recursive_check,), Q),
            ("button", (conv.convert_btn,), (("e", True), ("en", False), ("label", "Processing..."))),
            ("waitCursor", (), (("state", True),)),
            ("progressBar", (conv.progress_bar,), (("e", True), ("pr", 100))),
            ("text", (conv.status_text,), (("e", True), ("label", "Processing 1/1"))),
            ("file", (), (("new", True), ("force", True))),
            ("mel.eval", ("paneLayout -e -manage false $gMainPane",), ()),
            ("file", (a,), (("open", True), ("force", True))),
            ("currentUnit", (), (("q", True), ("time", True))),
            ("currentUnit", (), (("time", "ntsc"),)),
            ("checkBox", (conv.skip_existing_check,), Q),
            ("file", (), (("rename", mb),)),
            ("file", (), (("save", True), ("type", "mayaBinary"))),
            ("optionMenu", (conv.fbx_preset,), Q),
            ("pluginInfo", ("fbxmaya",), (("q", True), ("loaded", True))),
            ("loadPlugin", ("fbxmaya",), ()),
            ("mel.eval", ('FBXExport -f "{}"'.format(fbx),), ()),
            ("mel.eval", ("paneLayout -e -manage true $gMainPane",), ()),
            ("refresh", (), (("force", True),)),
            ("select", (), (("clear", True),)),
            ("file", (), (("new", True), ("force", True))),
            ("flushUndo", (), ()),
            ("refresh", (), (("force", True),)),
            ("file", (), (("modified", False),)),
            ("mel.eval", ("paneLayout -e -manage true $gMainPane",), ()),
            ("refresh", (), (("force", True),)),
            ("waitCursor", (), (("state", False),)),
            ("button", (conv.convert_btn,), (("e", True), ("en", True), ("label", "Start Conversion"))),
            ("text", (conv.status_text,), (("e", True), ("label", "Complete"))),
            ("evalDeferred", calls[-1][1], ()),
        ])
        self.assertEqual(self.log_messages(), [
            RULE, "Starting batch conversion...", "Files: 1 | Formats: mb, fbx", RULE,
            ">>> process_files STARTED, 1 files",
            "", "[1/1] a.ma",
            "  [DEBUG] Creating new scene...",
            "  [DEBUG] Viewport disabled",
            "  [DEBUG] Opening file...",
            "  [DEBUG] File opened successfully",
            "  [DEBUG] Source FPS: ntsc",
            "  [DEBUG] convert_file START",
            "  [DEBUG] Applied FPS: ntsc",
            "  [DEBUG] Processing format: mb",
            "  [DEBUG] Output file: " + mb,
            "  [DEBUG] Saving file...",
            "  [DEBUG] Renaming file...",
            "  [DEBUG] Saving as mb...",
            "  [DEBUG] Save complete",
            "  Saved MB: a.mb",
            "  [DEBUG] Processing format: fbx",
            "  [DEBUG] Output file: " + fbx,
            "  [DEBUG] Saving file...",
            "  [DEBUG] FBX export starting...",
            "  [DEBUG] FBX export complete",
            "  Saved FBX: a.fbx",
            "  [DEBUG] convert_file END",
            "  [DEBUG] Viewport enabled",
            ">>> process_files COMPLETED",
            ">>> process_files returned normally",
            ">>> Entering finally block, calling finalize_conversion",
            ">>> finalize_conversion STARTED",
            ">>> Step 1: select clear", ">>> Step 2: file new", ">>> Step 3: flushUndo",
            ">>> Step 4: refresh instead of flushIdleQueue", ">>> Step 5: file modified false",
            ">>> Step 6: enable_viewport", "  [DEBUG] Viewport enabled",
            ">>> Step 7: waitCursor false", ">>> Step 8: button restore", ">>> Step 9: update_status",
            ">>> finalize_conversion COMPLETED",
            ">>> Scheduling show_statistics via evalDeferred",
            ">>> Exited finally block",
        ])
        self.assertEqual((conv.total_files, conv.processed_files, conv.successful_files,
                          conv.failed_files, conv.skipped_files), (1, 1, 1, [], []))
        self.assertEqual(mayasim.read_scene(mb)["unit"], "ntsc")
        self.assertRestored(conv)
        # The report opens only once Maya is idle, on the same converter.
        self.assertEqual(host.ui.windows(), ["velmoraWin"])
        conv.show_statistics = mock.Mock()
        self.assertEqual(host.run_idle(), 1)
        conv.show_statistics.assert_called_once_with()


class StartGuards(BatchTestCase):
    def test_output_check_comes_first_and_changes_nothing(self):
        conv = self.window(outputs=())
        start = len(host.journal)
        conv.start_conversion()
        self.assertEqual(host.warnings, ["Select output format"])
        self.assertEqual([c[0] for c in self.calls(start)], ["checkBox"] * 3 + ["warning"])
        self.assertEqual(self.log_messages(), [])

    def test_no_folder_warns_logs_and_keeps_previous_statistics(self):
        conv = self.window()
        conv.total_files, conv.failed_files = 7, [("x", "y")]
        conv.start_conversion(1, 2)
        self.assertEqual(host.warnings, ["Select valid folder"])
        self.assertEqual(self.log_messages(), ["No files found"])
        self.assertEqual((conv.total_files, conv.failed_files, conv.start_time), (7, [("x", "y")], None))
        host.run_idle()
        self.assertEqual(host.ui.windows(), ["velmoraWin"])

    def test_unlistable_folder_reaches_the_caller_before_any_change(self):
        folder = self.scenes("a.ma")
        conv = self.window(folder, recursive=False)
        with mock.patch.object(velmora.os, "listdir", side_effect=PermissionError("denied")):
            with self.assertRaises(PermissionError):
                conv.start_conversion()
        self.assertIsNone(conv.start_time)
        self.assertFalse(host.wait_cursor)


class Progress(BatchTestCase):
    def test_three_files(self):
        folder = self.scenes("a.ma", "b.ma", "c.ma")
        conv = self.window(folder, outputs=("mb",))
        self.press_start(conv)
        self.assertEqual(self.edits("progressBar", "pr"), [33, 66, 100])
        self.assertEqual(self.edits("text", "label"),
                         ["Processing 1/3", "Processing 2/3", "Processing 3/3", "Complete"])
        messages = self.log_messages()
        for n, name in enumerate("abc", 1):
            heading = messages.index("[{}/3] {}.ma".format(n, name))
            self.assertEqual(messages[heading - 1], "")
        self.assertEqual(conv.successful_files, 3)

    def test_progress_is_truncated_after_dividing(self):
        conv = self.window()
        conv.total_files = 100
        files = [self.path("missing%03d.ma" % i) for i in range(100)]
        conv.process_files(files, ["mb"])
        shown = self.edits("progressBar", "pr")
        self.assertEqual(shown[28], 28)
        self.assertEqual(shown[99], 100)
        self.assertEqual(shown, [int((i + 1) / 100.0 * 100) for i in range(100)])
        self.assertEqual(conv.processed_files, 100)
        self.assertEqual(len(conv.failed_files), 100)


class PerFileOutcomes(BatchTestCase):
    def test_unopenable_file_is_recorded_and_the_next_converted(self):
        folder = self.scenes("b.ma")
        with open(os.path.join(folder, "a.ma"), "w") as f:
            f.write("not a scene")
        conv = self.window(folder, outputs=("mb",))
        self.press_start(conv)
        (path, reason), = conv.failed_files
        self.assertEqual(path, os.path.join(folder, "a.ma"))
        self.assertIn("  ERROR opening: " + reason, self.log_messages())
        self.assertTrue(reason)
        self.assertEqual((conv.total_files, conv.processed_files, conv.successful_files), (2, 2, 1))
        self.assertTrue(os.path.exists(os.path.join(folder, "b.mb")))
        # The pane came back after the failed file, before the next one.
        messages = self.log_messages()
        error_at = messages.index("  ERROR opening: " + reason)
        self.assertEqual(messages[error_at + 1], "  [DEBUG] Viewport enabled")
        self.assertRestored(conv)

    def test_all_outputs_skipped_counts_as_failed(self):
        folder = self.scenes("a.ma", "a.mb")
        conv = self.window(folder, outputs=("ma", "mb"), sources=("ma",), skip=True)
        self.press_start(conv)
        self.assertEqual(conv.failed_files, [(os.path.join(folder, "a.ma"), "All conversions failed")])
        self.assertEqual(conv.skipped_files, [os.path.join(folder, "a.mb")])
        self.assertEqual(conv.successful_files, 0)

    def test_second_batch_starts_from_zero(self):
        folder = self.scenes("a.ma")
        conv = self.window(folder, outputs=("mb",), sources=("ma",))
        self.press_start(conv)
        first_start = conv.start_time
        with open(os.path.join(folder, "z.ma"), "w") as f:
            f.write("broken")
        self.press_start(conv)
        self.assertEqual((conv.total_files, conv.processed_files, conv.successful_files), (2, 2, 1))
        self.assertEqual(len(conv.failed_files), 1)
        self.assertGreaterEqual(conv.start_time, first_start)
        self.assertTrue(os.path.exists(os.path.join(folder, "a_001.mb")))

    def test_bookkeeping_failure_abandons_the_rest_and_still_finalises(self):
        folder = self.scenes("1.ma", "2.ma", "3.ma", "4.ma", "5.ma")
        conv = self.window(folder, outputs=("mb",))
        host.fail("progressBar", nth=3, error=RuntimeError("bar gone"))
        self.press_start(conv)
        self.assertEqual(conv.processed_files, 3)
        self.assertEqual(conv.successful_files, 2)
        self.assertEqual(conv.failed_files, [("BATCH PROCESS", "bar gone")])
        self.assertIn("CRITICAL ERROR in process_files: bar gone", self.log_messages())
        self.assertFalse(os.path.exists(os.path.join(folder, "3.mb")))
        self.assertRestored(conv)

    def test_interruption_finalises_then_reaches_the_caller(self):
        folder = self.scenes("a.ma", "b.ma")
        conv = self.window(folder, outputs=("mb",))
        host.fail("currentUnit", error=KeyboardInterrupt())
        with self.assertRaises(KeyboardInterrupt):
            self.press_start(conv)
        messages = self.log_messages()
        self.assertEqual(messages[-3:], [">>> finalize_conversion COMPLETED",
                                         ">>> Scheduling show_statistics via evalDeferred",
                                         ">>> Exited finally block"])
        self.assertNotIn(">>> process_files returned normally", messages)
        self.assertEqual(conv.processed_files, 1)
        self.assertRestored(conv)


class Finalisation(BatchTestCase):
    STEPS = [
        ("select", (("clear", True),), ">>> select clear FAILED: {}"),
        ("file", (("new", True), ("force", True)), ">>> file new FAILED: {}"),
        ("flushUndo", (), ">>> flushUndo FAILED: {}"),
        ("refresh", (("force", True),), ">>> refresh FAILED: {}"),
        ("file", (("modified", False),), ">>> file modified FAILED: {}"),
        ("waitCursor", (("state", False),), ">>> waitCursor FAILED: {}"),
        ("button", (("e", True), ("en", True), ("label", "Start Conversion")),
         ">>> button restore FAILED: {}"),
    ]

    def run_finalisation(self, fail_at=None, error=None):
        mayasim.reset()
        conv = self.window()
        conv.start_time = 1.0
        start = len(host.journal)
        if fail_at is not None:
            host.fail_at(start + fail_at, error)
        conv.finalize_conversion()
        return conv, start

    def test_each_guarded_step_fails_on_its_own(self):
        conv, start = self.run_finalisation()
        clean = self.calls(start)
        for command, flags, message in self.STEPS:
            index = next(i for i, c in enumerate(clean) if c[0] == command and c[2] == flags)
            conv, _ = self.run_finalisation(index, RuntimeError("boom " + command))
            messages = self.log_messages()
            self.assertIn(message.format("boom " + command), messages, command)
            # Every later step still ran, up to the scheduling of the report.
            self.assertIn(">>> Step 9: update_status", messages)
            self.assertEqual(messages[-1], ">>> Scheduling show_statistics via evalDeferred")
            self.assertEqual(len(host.idle_queue), 1)
            failures = [m for m in messages if "FAILED" in m]
            self.assertEqual(len(failures), 1, failures)

    def test_unguarded_status_step_ends_finalisation(self):
        conv = self.window()
        conv.start_time = 1.0
        host.fail("text", error=RuntimeError("status gone"))
        with self.assertRaises(RuntimeError):
            conv.finalize_conversion()
        self.assertEqual(self.log_messages()[-1], ">>> Step 9: update_status")
        self.assertEqual(host.idle_queue, [])

    def test_no_report_without_a_start_time(self):
        conv = self.window()
        conv.finalize_conversion()
        self.assertEqual(self.log_messages()[-1], ">>> Scheduling show_statistics via evalDeferred")
        self.assertEqual(host.idle_queue, [])
        self.assertNotIn("evalDeferred", [c[0] for c in self.calls()])

    def test_deferred_call_takes_no_arguments(self):
        conv = self.window()
        conv.start_time = 1.0
        conv.finalize_conversion()
        deferred, = host.idle_queue
        with self.assertRaises(TypeError):
            deferred(1)
        with self.assertRaises(TypeError):  # only C++ makes them, with a body
            type(deferred)()


class Viewport(BatchTestCase):
    HIDE = ("mel.eval", ("paneLayout -e -manage false $gMainPane",), ())
    SHOW = ("mel.eval", ("paneLayout -e -manage true $gMainPane",), ())
    REDRAW = ("refresh", (), (("force", True),))

    def viewport_calls(self, since):
        return [c for c in self.calls(since) if c != ("refresh", (), ())]

    def test_disable_once_enable_always(self):
        conv = self.converter()
        start = len(host.journal)
        conv.disable_viewport()
        conv.disable_viewport()
        conv.enable_viewport()
        conv.enable_viewport()
        self.assertEqual(self.viewport_calls(start), [self.HIDE, self.SHOW, self.REDRAW,
                                                      self.SHOW, self.REDRAW])
        self.assertEqual(self.log_messages(), ["  [DEBUG] Viewport disabled",
                                               "  [DEBUG] Viewport enabled",
                                               "  [DEBUG] Viewport enabled"])

    def test_failed_disable_is_retried(self):
        conv = self.converter()
        host.fail("mel.eval", error=RuntimeError("no pane"))
        conv.disable_viewport()
        self.assertFalse(conv.viewport_disabled)
        conv.disable_viewport()
        self.assertTrue(conv.viewport_disabled)
        self.assertFalse(host.main_pane_managed)

    def test_failed_enable_keeps_state_and_redraws_once_more(self):
        conv = self.converter()
        conv.disable_viewport()
        start = len(host.journal)
        host.fail("mel.eval", error=RuntimeError("pane busy"))
        host.fail("refresh", nth=2, error=KeyboardInterrupt())  # the second redraw: swallowed
        conv.enable_viewport()
        self.assertTrue(conv.viewport_disabled)
        self.assertEqual(self.viewport_calls(start), [self.SHOW, self.REDRAW])
        self.assertIn("  [DEBUG] Failed to enable viewport: pane busy", self.log_messages())
        conv.disable_viewport()  # still remembered as hidden: nothing happens
        self.assertEqual(self.viewport_calls(start), [self.SHOW, self.REDRAW])
        conv.enable_viewport()
        self.assertTrue(host.main_pane_managed)
        self.assertFalse(conv.viewport_disabled)


if __name__ == "__main__":
    unittest.main()


class FbxSources(BatchTestCase):
    """Opening an FBX scene needs the FBX plug-in, which Maya does not always
    load at start-up."""

    def test_the_plug_in_is_loaded_right_before_an_fbx_source_is_opened(self):
        self.scenes("a.ma")
        folder = self.scenes("b.fbx", "c.fbx", fmt="fbx")
        conv = self.window(folder=folder, outputs=("mb",))
        self.press_start(conv)
        self.assertEqual(conv.successful_files, 3)
        opened = [i for i, c in enumerate(host.journal)
                  if c.command == "file" and ("open", True) in c.flags]
        b_open = opened[1]
        self.assertEqual([(c.command, c.args) for c in host.journal[b_open - 2:b_open]],
                         [("pluginInfo", ("fbxmaya",)), ("loadPlugin", ("fbxmaya",))])
        # Once loaded, later FBX sources only ask; Maya ASCII sources not even that.
        self.assertEqual(host.journal[opened[2] - 1].command, "pluginInfo")
        self.assertNotEqual(host.journal[opened[0] - 1].command, "pluginInfo")
        self.assertEqual(len(host.calls("loadPlugin")), 1)

    def test_a_plug_in_that_cannot_load_fails_that_file_with_its_error(self):
        self.scenes("b.ma")
        folder = self.scenes("a.fbx", fmt="fbx")
        host.available_plugins.discard("fbxmaya")
        conv = self.window(folder=folder, outputs=("mb",))
        self.press_start(conv)
        (source, reason), = conv.failed_files
        self.assertEqual(os.path.basename(source), "a.fbx")
        self.assertIn('Plug-in, "fbxmaya", was not found', reason)
        self.assertEqual(conv.successful_files, 1)

"""Simulated host: flag checking and the call journal."""
import os
import sys
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds
import maya.mel as mel


class FlagCheckTest(SimTestCase):
    def test_unknown_flag_raises_type_error_naming_it(self):
        with self.assertRaises(TypeError) as cm:
            cmds.file(new=True, frce=True)
        self.assertEqual(str(cm.exception), "Invalid flag 'frce'")

    def test_dfe_is_not_a_file_dialog_flag(self):
        host.file_dialog_answers.append(["/x"])
        with self.assertRaises(TypeError):
            cmds.fileDialog2(fm=3, cap="Pick", dfe=True)
        # the scripted answer was not consumed by the failed call
        self.assertEqual(host.file_dialog_answers, [["/x"]])

    def test_short_and_long_names_are_equivalent(self):
        w = cmds.window("w1", t="A", wh=(10, 20))
        cmds.window("w2", title="A", widthHeight=(10, 20))
        self.assertTrue(cmds.window("w1", ex=True))
        self.assertTrue(cmds.window("w2", exists=True))
        self.assertEqual(host.ui.window(w).state["widthHeight"], (10, 20))
        cmds.columnLayout()
        cb = cmds.checkBox(l="a", v=True)
        self.assertIs(cmds.checkBox(cb, query=True, value=True), True)
        cmds.checkBox(cb, edit=True, value=False)
        self.assertIs(cmds.checkBox(cb, q=True, v=True), False)
        cmds.file(newFile=True, f=True)
        cmds.file(new=True, force=True)

    def test_create_only_flag_rejected_in_edit_mode(self):
        cmds.window("w")
        cmds.columnLayout()
        t = cmds.text(label="x", ww=True)
        with self.assertRaises(RuntimeError):
            cmds.text(t, e=True, ww=False)

    def test_wrongly_typed_values_raise_type_error(self):
        cmds.window("w")
        cmds.columnLayout()
        with self.assertRaises(TypeError):
            cmds.button(label=b"bytes")
        with self.assertRaises(TypeError):
            cmds.button(label="x", w=50.5)
        with self.assertRaises(TypeError):
            cmds.rowLayout(nc=2, cw2=(170,))
        cmds.rowLayout(nc=2, cw2=(170, 55), adj=1, cat=[(1, "left", 0), (2, "right", 0)])


class JournalTest(SimTestCase):
    def test_flags_recorded_in_caller_order_with_caller_names(self):
        cmds.currentUnit(q=True, time=True)
        cmds.currentUnit(t="pal")
        cmds.pluginInfo("fbxmaya", loaded=True, q=True)
        self.assertEqual(host.journal, [
            mayasim.Call("currentUnit", (), (("q", True), ("time", True))),
            mayasim.Call("currentUnit", (), (("t", "pal"),)),
            mayasim.Call("pluginInfo", ("fbxmaya",), (("loaded", True), ("q", True))),
        ])

    def test_failing_calls_are_journaled(self):
        with self.assertRaises(TypeError):
            cmds.refresh(bogus=1)
        with self.assertRaises(RuntimeError):
            cmds.currentUnit(time="25fps_nope")
        with self.assertRaises(RuntimeError):
            mel.eval("polyCube")
        self.assertEqual([c.command for c in host.journal],
                         ["refresh", "currentUnit", "mel.eval"])
        self.assertEqual(host.journal[2].args, ("polyCube",))
        self.assertEqual(host.journal[2].flags, ())

    def test_reset_empties_journal_in_place(self):
        journal = host.journal
        cmds.flushUndo()
        h = mayasim.reset()
        self.assertIs(h, mayasim.host)
        self.assertEqual(host.journal, [])
        cmds.flushUndo()
        self.assertEqual(len(host.journal), 1)
        self.assertEqual(journal, [mayasim.Call("flushUndo", (), ())])


class MiscCommandTest(SimTestCase):
    def test_about_version_settable_and_reset(self):
        self.assertEqual(cmds.about(version=True), "2024")
        host.about_version = "2025"
        self.assertEqual(cmds.about(version=True), "2025")
        mayasim.reset()
        self.assertEqual(cmds.about(version=True), "2024")

    def test_plugin_loading(self):
        self.assertFalse(cmds.pluginInfo("fbxmaya", q=True, loaded=True))
        cmds.loadPlugin("fbxmaya")
        self.assertTrue(cmds.pluginInfo("fbxmaya", q=True, loaded=True))
        with self.assertRaises(RuntimeError):
            cmds.loadPlugin("noSuchPlugin")
        mayasim.reset()
        host.available_plugins.discard("fbxmaya")
        with self.assertRaises(RuntimeError):
            cmds.loadPlugin("fbxmaya")
        self.assertEqual(host.plugins_loaded, set())

    def test_idle_queue_runs_in_order_and_survives_errors(self):
        seen = []

        def boom():
            raise ValueError("deferred boom")

        def first():
            seen.append(1)
            cmds.evalDeferred(lambda: seen.append(3))

        cmds.evalDeferred(first)
        cmds.evalDeferred(boom)
        cmds.evalDeferred(lambda: seen.append(2))
        self.assertEqual(seen, [])
        devnull = open(os.devnull, "w")
        self.addCleanup(devnull.close)
        saved, sys.stderr = sys.stderr, devnull
        try:
            self.assertEqual(host.run_idle(), 4)
        finally:
            sys.stderr = saved
        self.assertEqual(seen, [1, 2, 3])
        self.assertEqual([str(e) for e in host.deferred_errors], ["deferred boom"])
        self.assertEqual(host.run_idle(), 0)

    def test_dialogs_scripted_answers(self):
        self.assertIsNone(cmds.fileDialog2(fm=3, cap="Select Source Folder"))
        host.file_dialog_answers.extend([["/src"], None])
        self.assertEqual(cmds.fileDialog2(fm=3, cap="Select Source Folder"), ["/src"])
        self.assertIsNone(cmds.fileDialog2(fm=0, cap="Save Statistics", ff="Text Files (*.txt)"))
        self.assertEqual(host.file_dialogs[2]["fileFilter"], "Text Files (*.txt)")
        self.assertEqual(cmds.confirmDialog(title="Success", message="Saved!", button=["OK"]), "OK")
        self.assertEqual(host.confirm_dialogs,
                         [{"title": "Success", "message": "Saved!", "button": ["OK"]}])


if __name__ == "__main__":
    unittest.main()

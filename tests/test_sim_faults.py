"""Simulated host: fault injection."""
import os
import sys
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds
import maya.mel as mel


class FaultTest(SimTestCase):
    def test_nth_call_fails_once_with_default_error(self):
        host.fail("refresh", nth=2)
        cmds.refresh()
        with self.assertRaises(RuntimeError) as cm:
            cmds.refresh(force=True)
        self.assertEqual(str(cm.exception), "simulated failure of refresh")
        cmds.refresh()
        # the failing call is journaled, its effect did not happen
        self.assertEqual(len(host.calls("refresh")), 3)
        self.assertEqual(host.refresh_count, 2)

    def test_counting_starts_when_armed_and_ignores_other_commands(self):
        cmds.refresh()
        host.fail("refresh", nth=2)
        cmds.refresh()
        cmds.flushUndo()
        cmds.waitCursor(state=True)
        with self.assertRaises(RuntimeError):
            cmds.refresh()

    def test_match_on_first_positional_and_mel_text(self):
        host.fail("file", match="bad", error=RuntimeError("disk gone"))
        host.fail("mel.eval", match="FBXExport -f")
        cmds.file(new=True, force=True)          # no positional: never matches
        with self.assertRaises(RuntimeError) as cm:
            cmds.file("/x/bad.ma", open=True, force=True)
        self.assertEqual(str(cm.exception), "disk gone")
        mel.eval("paneLayout -e -manage false $gMainPane")
        self.assertFalse(host.main_pane_managed)
        with self.assertRaises(RuntimeError):
            mel.eval('FBXExport -f "/x/a.fbx"')

    def test_fault_fires_before_execution(self):
        host.fail("mel.eval")
        with self.assertRaises(RuntimeError):
            mel.eval("paneLayout -e -manage false $gMainPane")
        self.assertTrue(host.main_pane_managed)

    def test_keyboard_interrupt_passes_through(self):
        host.fail("currentUnit", error=KeyboardInterrupt())
        with self.assertRaises(KeyboardInterrupt):
            cmds.currentUnit(q=True, time=True)
        self.assertEqual(cmds.currentUnit(q=True, time=True), "film")

    def test_several_faults_armed(self):
        host.fail("refresh", nth=1, error=ValueError("a"))
        host.fail("refresh", nth=3, error=ValueError("b"))
        msgs = []
        for _ in range(4):
            try:
                cmds.refresh()
                msgs.append(None)
            except ValueError as e:
                msgs.append(str(e))
        self.assertEqual(msgs, ["a", None, "b", None])

    def test_fail_at_journal_position(self):
        cmds.flushUndo()                     # index 0
        host.fail_at(2, ValueError("at 2"))
        cmds.refresh()                       # 1
        with self.assertRaises(ValueError):
            mel.eval("paneLayout -e -manage false $gMainPane")   # 2
        cmds.refresh()                       # 3
        self.assertEqual(len(host.journal), 4)
        self.assertTrue(host.main_pane_managed)

    def test_fail_at_sweep_visits_every_call(self):
        def batch():
            cmds.file(new=True, force=True)
            cmds.currentUnit(time="pal")
            cmds.refresh()
        mayasim.reset()
        batch()
        n = len(host.journal)
        failed_at = []
        for i in range(n):
            mayasim.reset()
            host.fail_at(i)
            try:
                batch()
            except RuntimeError:
                failed_at.append(len(host.journal) - 1)
        self.assertEqual(failed_at, list(range(n)))

    def test_reset_clears_faults(self):
        host.fail("refresh")
        host.fail_at(0)
        mayasim.reset()
        cmds.refresh()


if __name__ == "__main__":
    unittest.main()

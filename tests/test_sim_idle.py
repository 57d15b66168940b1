"""Simulated host: the main thread, maya.utils.executeDeferred, script jobs
on deleted UI, and the commands of the batches window (intField,
scrollLayout, inViewMessage, launch)."""
import threading
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds
import maya.utils


def in_thread(fn):
    """Runs fn in another thread; returns what it returned or raised."""
    out = {}

    def run():
        try:
            out["value"] = fn()
        except Exception as e:  # handed back to the test
            out["error"] = e
    t = threading.Thread(target=run)
    t.start()
    t.join()
    return out


class MainThreadTest(SimTestCase):
    def test_commands_from_another_thread_raise_and_are_not_journaled(self):
        cmds.window("w")
        out = in_thread(lambda: cmds.window("w", exists=True))
        self.assertIsInstance(out["error"], RuntimeError)
        self.assertIn("main thread", str(out["error"]))
        self.assertEqual(host.thread_violations, ["window"])
        self.assertEqual([c.command for c in host.journal], ["window"])

    def test_execute_deferred_hands_work_to_the_main_thread_at_idle_time(self):
        ran = []

        def work(a, b=None):
            ran.append((a, b, threading.current_thread() is threading.main_thread()))
            cmds.window("fromIdle")
        out = in_thread(lambda: maya.utils.executeDeferred(work, 1, b=2))
        self.assertEqual(out, {"value": None})
        self.assertEqual(ran, [])  # queued, not run
        self.assertEqual(host.run_idle(), 1)
        self.assertEqual(ran, [(1, 2, True)])
        self.assertTrue(cmds.window("fromIdle", exists=True))
        with self.assertRaises(TypeError):
            maya.utils.executeDeferred(42)

    def test_execute_deferred_never_runs_in_batch_mode(self):
        host.batch = True
        ran = []
        maya.utils.executeDeferred(ran.append, 1)
        self.assertEqual((host.run_idle(), ran), (0, []))


class ScriptJobTest(SimTestCase):
    def window(self, name="w", **flags):
        cmds.window(name, **flags)
        col = cmds.columnLayout()
        return cmds.button(label="b"), col

    def test_ui_deleted_runs_at_idle_time_when_the_ui_or_a_parent_goes(self):
        button, col = self.window()
        ran = []
        on_button = cmds.scriptJob(uiDeleted=[button, lambda: ran.append("button")])
        on_window = cmds.scriptJob(uiDeleted=("w", lambda: ran.append("window")))
        self.assertNotEqual(on_button, on_window)
        self.assertTrue(cmds.scriptJob(exists=on_button))
        cmds.deleteUI(col)  # takes the button with it
        self.assertEqual(ran, [])
        self.assertFalse(cmds.scriptJob(exists=on_button))
        host.run_idle()
        self.assertEqual(ran, ["button"])
        host.close_window("w")  # the user closes it
        self.assertIsNone(host.ui.window("w"))
        host.run_idle()
        self.assertEqual(ran, ["button", "window"])

    def test_kill_retain_parent_and_batch_mode(self):
        button, _ = self.window(retain=True)
        ran = []
        job = cmds.scriptJob(uiDeleted=[button, lambda: ran.append(1)])
        cmds.scriptJob(kill=job)
        self.assertFalse(cmds.scriptJob(exists=job))
        cmds.scriptJob(uiDeleted=[button, lambda: ran.append(2)], parent="w")
        host.close_window("w")  # a retained window is only hidden
        self.assertFalse(host.ui.window("w").state["visible"])
        cmds.deleteUI("w")
        host.run_idle()
        self.assertEqual(ran, [2])
        with self.assertRaises(TypeError):
            cmds.scriptJob(uiDeleted=["w"])
        host.batch = True
        self.assertIsNone(cmds.scriptJob(uiDeleted=["nothing", print]))
        self.assertEqual(host.script_jobs, {})


class WindowCommandsTest(SimTestCase):
    def test_int_field_holds_no_value_below_its_minimum(self):
        cmds.window("w")
        scroll = cmds.scrollLayout(h=100, cr=True)
        col = cmds.columnLayout()
        self.assertTrue(col.startswith(scroll + "|"))
        field = cmds.intField(v=3, min=0, w=60)
        self.assertEqual(cmds.intField(field, q=True, v=True), 3)
        cmds.intField(field, e=True, v=-4)
        self.assertEqual(cmds.intField(field, q=True, value=True), 0)
        host.ui.set(field, value=-1)  # typed by the user
        self.assertEqual(cmds.intField(field, q=True, v=True), 0)
        with self.assertRaises(TypeError):
            cmds.intField(field, e=True, v=2.5)
        host.batch = True
        with self.assertRaises(RuntimeError):
            cmds.intField(field, q=True, v=True)

    def test_in_view_message_and_launch_are_recorded(self):
        cmds.inViewMessage(amg="done", fade=True, fst=4000)
        cmds.launch(dir="/scenes")
        self.assertEqual(host.in_view_messages,
                         [{"assistMessage": "done", "fade": True, "fadeStayTime": 4000}])
        self.assertEqual(host.launched, [{"directory": "/scenes"}])
        with self.assertRaises(TypeError):
            cmds.inViewMessage(text="x")
        with self.assertRaises(TypeError):
            cmds.inViewMessage(q=True, amg=True)


if __name__ == "__main__":
    unittest.main()

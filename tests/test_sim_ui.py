"""Simulated host: windows, layouts, controls and their names."""
import os
import sys
import unittest

from sim_support import SimTestCase, host, mayasim  # noqa: F401

import maya.cmds as cmds


class WindowTest(SimTestCase):
    def test_exists_create_delete(self):
        self.assertFalse(cmds.window("velmoraWin", exists=True))
        self.assertEqual(cmds.window("velmoraWin", title="V", widthHeight=(300, 200)), "velmoraWin")
        self.assertTrue(cmds.window("velmoraWin", exists=True))
        with self.assertRaises(RuntimeError):
            cmds.window("velmoraWin", title="again")
        cmds.deleteUI("velmoraWin")
        self.assertFalse(cmds.window("velmoraWin", exists=True))
        self.assertIsNone(host.ui.window("velmoraWin"))
        with self.assertRaises(RuntimeError):
            cmds.deleteUI("velmoraWin")

    def test_delete_removes_children(self):
        cmds.window("w")
        cmds.columnLayout()
        cb = cmds.checkBox(label="a")
        cmds.deleteUI("w")
        with self.assertRaises(RuntimeError):
            cmds.checkBox(cb, q=True, v=True)
        self.assertEqual(host.ui.find(), [])
        # a control made after the delete has no window to go to
        with self.assertRaises(RuntimeError):
            cmds.button(label="orphan")


class ParentTest(SimTestCase):
    def test_layouts_nest_and_set_parent_goes_up(self):
        cmds.window("w")
        col = cmds.columnLayout(adj=True)
        row = cmds.rowLayout(nc=2)
        a = cmds.text(label="a")
        cmds.setParent("..")
        b = cmds.text(label="b")
        self.assertEqual(a, row + "|" + a.split("|")[-1])
        self.assertTrue(row.startswith(col + "|"))
        self.assertEqual(b.rsplit("|", 1)[0], col)
        tree = host.ui.tree("w")
        kinds = [tree["kind"], tree["children"][0]["kind"],
                 [c["kind"] for c in tree["children"][0]["children"]]]
        self.assertEqual(kinds, ["window", "columnLayout", ["rowLayout", "text"]])

    def test_new_window_resets_parent(self):
        cmds.window("w1")
        cmds.columnLayout()
        cmds.window("w2")
        with self.assertRaises(RuntimeError):
            cmds.button(label="needs a layout")
        lay = cmds.columnLayout()
        self.assertTrue(lay.startswith("w2|"))

    def test_row_layout_column_count_enforced(self):
        cmds.window("w")
        cmds.columnLayout()
        cmds.rowLayout(nc=2)
        cmds.text()
        cmds.text()
        with self.assertRaises(RuntimeError):
            cmds.text()

    def test_frame_layout_takes_one_child(self):
        cmds.window("w")
        cmds.frameLayout(lv=False, mw=3, mh=2)
        cmds.scrollField(text="x")
        with self.assertRaises(RuntimeError):
            cmds.text(label="second")

    def test_menu_items_go_to_latest_option_menu(self):
        cmds.window("w")
        cmds.columnLayout()
        m1 = cmds.optionMenu(label="A:")
        cmds.menuItem(label="one")
        m2 = cmds.optionMenu(label="Preset:")
        cmds.menuItem(label="Default")
        cmds.menuItem(label="Animation")
        self.assertEqual(cmds.optionMenu(m1, q=True, numberOfItems=True), 1)
        self.assertEqual(cmds.optionMenu(m2, q=True, v=True), "Default")
        cmds.optionMenu(m2, e=True, v="Animation")
        self.assertEqual(cmds.optionMenu(m2, q=True, v=True), "Animation")
        with self.assertRaises(RuntimeError):
            cmds.optionMenu(m2, e=True, v="Nope")
        self.assertEqual(cmds.optionMenu(m2, q=True, v=True), "Animation")


class ControlTest(SimTestCase):
    def setUp(self):
        super(ControlTest, self).setUp()
        cmds.window("w")
        cmds.columnLayout()

    def test_names_are_unique_strings_usable_by_short_name(self):
        names = [cmds.text(label="t") for _ in range(3)] + [cmds.button(label="b")]
        self.assertEqual(len(set(names)), 4)
        short = names[0].split("|")[-1]
        cmds.text(short, e=True, label="edited")
        self.assertEqual(cmds.text(names[0], q=True, label=True), "edited")

    def test_query_edit_of_controls(self):
        t = cmds.text(label="status", align="center", ww=True)
        tf = cmds.textField(ed=False, pht="Select...")
        pb = cmds.progressBar(maxValue=100, w=210)
        sf = cmds.scrollField(text="log", ed=False, ww=True, h=430, fn="plainLabelFont")
        cmds.text(t, e=True, label="done")
        cmds.textField(tf, e=True, text="/src")
        cmds.progressBar(pb, e=True, pr=42)
        cmds.scrollField(sf, e=True, text="more")
        self.assertEqual(cmds.text(t, q=True, label=True), "done")
        self.assertEqual(cmds.textField(tf, q=True, text=True), "/src")
        self.assertEqual(cmds.progressBar(pb, q=True, pr=True), 42)
        self.assertEqual(cmds.scrollField(sf, q=True, text=True), "more")
        self.assertEqual(host.ui.control(tf).flags["placeholderText"], "Select...")
        self.assertEqual(host.ui.control(sf).flags["font"], "plainLabelFont")

    def test_missing_or_wrong_kind_control(self):
        cb = cmds.checkBox(label="x")
        with self.assertRaises(RuntimeError):
            cmds.checkBox("noSuchBox", q=True, v=True)
        with self.assertRaises(RuntimeError):
            cmds.text(cb, e=True, label="x")

    def test_press_calls_command_with_false(self):
        got = []
        b = cmds.button(label="Go", c=lambda *a: got.append(a), h=30, bgc=(0.3, 0.6, 0.3))
        host.press(b)
        self.assertEqual(got, [(False,)])
        cmds.button(b, e=True, en=False, label="Processing...")
        with self.assertRaises(RuntimeError):
            host.press(b)
        self.assertEqual(cmds.button(b, q=True, label=True), "Processing...")
        self.assertEqual(host.ui.find(kind="button", label="Processing..."), [b])

    def test_user_side_changes_and_tree(self):
        cb = cmds.checkBox(label="Bake", v=True)
        om = cmds.optionMenu(label="Preset:")
        cmds.menuItem(label="Default")
        cmds.menuItem(label="Animation")
        before = len(host.journal)
        host.ui.set(cb, value=False)
        host.ui.set(om, value="Animation")
        self.assertEqual(len(host.journal), before)
        self.assertIs(cmds.checkBox(cb, q=True, v=True), False)
        kids = host.ui.tree("w")["children"][0]["children"]
        self.assertEqual(kids[0]["flags"], {"label": "Bake", "value": True})
        self.assertIs(kids[0]["state"]["value"], False)
        self.assertEqual((kids[1]["items"], kids[1]["state"]["value"]),
                         (["Default", "Animation"], "Animation"))

    def test_find_in_creation_order_by_window(self):
        a = cmds.button(label="A")
        cmds.window("other")
        cmds.columnLayout()
        b = cmds.button(label="A")
        self.assertEqual(host.ui.find(label="A"), [a, b])
        self.assertEqual(host.ui.find(kind="button", window="other"), [b])


if __name__ == "__main__":
    unittest.main()

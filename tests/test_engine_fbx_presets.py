"""The FBX exporter's options for the preset chosen in the window."""

import unittest

from support import HostTestCase, host
from maya import cmds

ANIMATION = ["FBXExportBakeComplexAnimation -v true", "FBXExportBakeComplexStart -v 1",
             "FBXExportBakeComplexEnd -v 120", "FBXExportAnimationOnly -v true"]
MODELS = ["FBXExportAnimationOnly -v false", "FBXExportBakeComplexAnimation -v false"]


class PresetCase(HostTestCase):
    LABELS = ("Default", "Animation", "Models Only")

    def make(self, preset, labels=LABELS):
        conv = self.converter()
        cmds.window("engineTestWin")
        cmds.columnLayout()
        conv.fbx_preset = cmds.optionMenu(label="FBX Preset")
        for label in labels:
            cmds.menuItem(label=label)
        cmds.optionMenu(conv.fbx_preset, e=True, v=preset)
        self.conv = conv
        self.mark = len(host.journal)
        return conv

    def run_setup(self):
        self.mark = len(host.journal)
        self.assertIsNone(self.conv.setup_fbx_export())

    def maya_calls(self):
        return [c for c in self.calls(self.mark) if c[0] != "refresh"]

    def mel(self):
        return [c[1][0] for c in self.maya_calls() if c[0] == "mel.eval"]

    def head(self, load=True):
        calls = [("optionMenu", (self.conv.fbx_preset,), (("q", True), ("v", True))),
                 ("pluginInfo", ("fbxmaya",), (("q", True), ("loaded", True)))]
        if load:
            calls.append(("loadPlugin", ("fbxmaya",), ()))
        return calls


class PresetCommandsTest(PresetCase):
    def test_default_only_makes_sure_of_the_plugin(self):
        self.make("Default")
        self.run_setup()
        self.assertEqual(self.maya_calls(), self.head(load=True))
        self.run_setup()
        self.assertEqual(self.maya_calls(), self.head(load=False))
        self.assertEqual(host.fbx_settings, {})
        self.assertEqual(self.log_messages(), [])

    def test_animation_bakes_the_playback_range(self):
        self.make("Animation")
        self.run_setup()
        pb = ("playbackOptions", (), (("q", True), ("min", True)))
        pe = ("playbackOptions", (), (("q", True), ("max", True)))
        mel = [("mel.eval", (t,), ()) for t in ANIMATION]
        self.assertEqual(self.maya_calls(),
                         self.head() + [mel[0], pb, mel[1], pe, mel[2], mel[3]])
        self.assertEqual(host.fbx_settings, {"BakeComplexAnimation": True, "BakeComplexStart": 1,
                                             "BakeComplexEnd": 120, "AnimationOnly": True})
        self.assertEqual(self.log_messages(), [])

    def test_frames_truncate_toward_zero(self):
        self.make("Animation")
        for lo, hi, start, end in ((0.5, 119.9, "0", "119"), (-2.5, -0.5, "-2", "0"),
                                   (-10.0, 1e6, "-10", "1000000")):
            host.scene.playback_min, host.scene.playback_max = lo, hi
            self.run_setup()
            self.assertEqual(self.mel()[1:3], ["FBXExportBakeComplexStart -v " + start,
                                               "FBXExportBakeComplexEnd -v " + end])

    def test_models_only(self):
        self.make("Models Only")
        self.run_setup()
        self.assertEqual(self.mel(), MODELS)
        self.assertEqual(host.fbx_settings, {"AnimationOnly": False,
                                             "BakeComplexAnimation": False})

    def test_labels_compare_exactly(self):
        self.make("animation", labels=("animation", "Models only", "Animation "))
        for label in ("animation", "Models only", "Animation "):
            cmds.optionMenu(self.conv.fbx_preset, e=True, v=label)
            self.run_setup()
            self.assertEqual(self.mel(), [])

    def test_earlier_options_stay_in_force(self):
        self.make("Models Only")
        self.run_setup()
        cmds.optionMenu(self.conv.fbx_preset, e=True, v="Default")
        self.run_setup()
        self.assertEqual(host.fbx_settings["AnimationOnly"], False)


class PresetFailuresTest(PresetCase):
    def test_plugin_that_cannot_load_is_a_warning(self):
        self.make("Animation")
        host.available_plugins.discard("fbxmaya")
        self.run_setup()
        self.assertEqual(self.mel(), [])
        self.assertEqual(self.log_messages(), [
            '  Warning: FBX settings - Plug-in, "fbxmaya", was not found on MAYA_PLUG_IN_PATH.'])

    def test_failing_step_stops_the_rest(self):
        for command, nth, applied in (("mel.eval", 2, ANIMATION[:2]),
                                      ("playbackOptions", 2, ANIMATION[:2]),
                                      ("pluginInfo", 1, [])):
            host.reset()
            self.make("Animation")
            host.fail(command, nth=nth, error=RuntimeError("boom {0} 100%"))
            self.run_setup()
            self.assertEqual(self.mel(), applied)
            self.assertEqual(self.log_messages(), ["  Warning: FBX settings - boom {0} 100%"])

    def test_unreadable_menu_raises_to_the_caller(self):
        self.make("Animation")
        host.fail("optionMenu", error=RuntimeError("no such menu"))
        with self.assertRaisesRegex(RuntimeError, "no such menu"):
            self.conv.setup_fbx_export()
        self.assertEqual([c[0] for c in self.maya_calls()], ["optionMenu"])

    def test_interruption_is_not_caught(self):
        self.make("Models Only")
        host.fail("mel.eval", error=KeyboardInterrupt)
        with self.assertRaises(KeyboardInterrupt):
            self.conv.setup_fbx_export()
        self.assertEqual(self.log_messages(), [])


if __name__ == "__main__":
    unittest.main()

"""Simulated host: a scene's code (script nodes, top-level MEL, script jobs,
scene-message callbacks) and what it leaves in the session; script nodes
written back untouched; the test-only save misbehaviours."""
import os
import shutil
import sys
import tempfile
import unittest

from sim_support import SimTestCase, host, mayasim

import maya.cmds as cmds
from maya.api import OpenMaya as om

import test_sim_standalone as standalone

# A scene's Python: a marker in the home folder, a script job and a callback
# that renames pCube1 in whatever scene is saved later in the session.
LEAVES_BEHIND = """import os
import maya.cmds as cmds
from maya.api import OpenMaya as om
open(os.path.expanduser("~/marker"), "w").close()
def _before_save(data):
    if "pCube1" in (mayasim_nodes() or []):
        cmds.rename("pCube1", "stolen_pCube1")
def mayasim_nodes():
    import mayasim
    return mayasim.host.scene.nodes
om.MSceneMessage.addCallback(om.MSceneMessage.kBeforeSave, _before_save)
cmds.scriptJob(event=["SceneSaved", "print('saved')"])
"""
# Text a script node must keep byte for byte.
AWKWARD = ('print("a;b // c")\n\tx = \'\\\\n\' + "\\"" ; y = "\u00e9\u4e2d"\r\n'
           + "z = '\udcff'\n// not a comment\n")


class _Scenes(SimTestCase):
    def setUp(self):
        super(_Scenes, self).setUp()
        self.tmp = tempfile.mkdtemp(prefix="mayasim-scripts-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        home = os.environ.get("HOME")
        os.environ["HOME"] = self.tmp
        self.addCleanup(self._restore_home, home)

    @staticmethod
    def _restore_home(home):
        if home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = home

    def path(self, name):
        return os.path.join(self.tmp, name)

    def save_as(self, name, ftype="mayaAscii"):
        cmds.file(rename=self.path(name))
        cmds.file(save=True, type=ftype)
        return mayasim.read_scene(self.path(name))

    def ran(self):
        """Python nodes below append their name to `ran` in the session."""
        return host.python_namespace.setdefault("ran", [])


class ScriptNodesOnOpenTest(_Scenes):
    def leaving_scene(self, fmt="ma"):
        return mayasim.write_scene(self.path("leaves." + fmt), fmt=fmt, nodes=["a"],
                                   scripts={"setup": {"before": LEAVES_BEHIND, "type": 1,
                                                      "python": True}})

    def test_a_scene_changes_the_save_of_a_later_scene_unless_its_nodes_are_off(self):
        for fmt in ("ma", "mb"):
            mayasim.reset()
            os.path.exists(self.path("marker")) and os.remove(self.path("marker"))
            victim = mayasim.write_scene(self.path("victim.ma"), nodes=["pCube1", "b"])
            cmds.file(self.leaving_scene(fmt), open=True, force=True)
            self.assertTrue(os.path.exists(self.path("marker")))
            self.assertEqual(len(cmds.scriptJob(listJobs=True)), 1)
            self.assertIn('"SceneSaved"', cmds.scriptJob(listJobs=True)[0])
            cmds.file(new=True, force=True)          # neither goes with the scene
            cmds.file(victim, open=True, force=True)
            self.assertEqual(self.save_as("out.ma")["nodes"],
                             [["stolen_pCube1", "transform"], ["b", "transform"]])
            self.assertEqual(host.idle_queue, ["print('saved')"])

            mayasim.reset()
            os.remove(self.path("marker"))
            cmds.file(self.leaving_scene(fmt), open=True, force=True, executeScriptNodes=False)
            self.assertFalse(os.path.exists(self.path("marker")))
            self.assertEqual(cmds.scriptJob(listJobs=True), [])
            self.assertEqual(len(host.scene_callbacks), 0)
            cmds.file(victim, open=True, force=True, esn=False)
            self.assertEqual(self.save_as("out.ma")["nodes"],
                             [["pCube1", "transform"], ["b", "transform"]])

    def test_which_types_run_on_open_in_the_gui_and_in_batch_mode(self):
        scripts = dict(("st%d" % t, {"before": "ran.append('st%d')" % t, "type": t,
                                     "python": True}) for t in range(8))
        scene = mayasim.write_scene(self.path("types.mb"), fmt="mb", scripts=scripts)
        for batch, expected in ((False, ["st1", "st2", "st6"]), (True, ["st1", "st6"])):
            mayasim.reset()
            host.batch = batch
            self.ran()
            cmds.file(scene, open=True, force=True)
            self.assertEqual(self.ran(), expected)
            cmds.file(scene, open=True, force=True, executeScriptNodes=False)
            self.assertEqual(self.ran(), expected)

    def test_a_failing_script_is_reported_and_the_open_goes_on(self):
        scene = mayasim.write_scene(self.path("bad.ma"), scripts={
            "mel": {"before": "unknownProcedure 1;", "type": 1},
            "py": {"before": "raise ValueError('broken')", "type": 1, "python": True},
            "ok": {"before": "ran.append('ok')", "type": 1, "python": True}}, pmin=3, pmax=9)
        self.ran()
        self.assertEqual(cmds.file(scene, open=True, force=True), scene)
        self.assertEqual(self.ran(), ["ok"])
        self.assertEqual(cmds.playbackOptions(q=True, max=True), 9.0)
        self.assertTrue(cmds.file(q=True, errorStatus=True))
        self.assertEqual(len(host.script_errors), 2)
        self.assertIn('Cannot find procedure "unknownProcedure"', host.script_errors[0])
        self.assertIn("ValueError: broken", host.script_errors[1])
        cmds.file(mayasim.write_scene(self.path("fine.ma")), open=True, force=True)
        self.assertFalse(cmds.file(q=True, errorStatus=True))

    def test_the_range_comes_from_running_the_configuration_node(self):
        for fmt in ("ma", "mb"):
            mayasim.reset()
            scene = mayasim.write_scene(self.path("r." + fmt), fmt=fmt, pmin=10, pmax=20)
            other = mayasim.write_scene(self.path("o." + fmt), fmt=fmt, pmin=30, pmax=40)
            cmds.file(scene, open=True, force=True)
            self.assertEqual((cmds.playbackOptions(q=True, min=True),
                              cmds.playbackOptions(q=True, max=True)), (10.0, 20.0))
            self.assertFalse(cmds.file(q=True, modified=True))
            # Scripts off: a new scene's range, not the last scene's.
            cmds.file(other, open=True, force=True, executeScriptNodes=False)
            self.assertEqual([cmds.playbackOptions(q=True, **{f: True}) for f in
                              ("min", "max", "ast", "aet")], [1.0, 120.0, 1.0, 200.0])
            # The reader still sees the file's range; a save writes the session's.
            self.assertEqual((mayasim.read_scene(other)["min"], mayasim.read_scene(other)["max"]),
                             (30.0, 40.0))
            self.assertEqual(self.save_as("s.ma")["max"], 120.0)

    def test_top_level_mel_of_a_maya_ascii_file_runs_with_script_nodes_off(self):
        scene = mayasim.write_scene(self.path("top.ma"), pmin=1, pmax=24, statements=[
            'python "import os; open(os.path.expanduser(\\"~/top\\"), \\"w\\").close()"',
            "playbackOptions -min 5 -max 15"])
        cmds.file(scene, open=True, force=True, executeScriptNodes=False)
        self.assertTrue(os.path.exists(self.path("top")))
        self.assertEqual((cmds.playbackOptions(q=True, min=True),
                          cmds.playbackOptions(q=True, max=True)), (5.0, 15.0))
        # With the nodes on, the configuration node runs after the file is read.
        cmds.file(scene, open=True, force=True)
        self.assertEqual(cmds.playbackOptions(q=True, max=True), 24.0)
        with self.assertRaises(ValueError):
            mayasim.write_scene(self.path("top.mb"), fmt="mb", statements=["python \"1\""])

    def test_mel_script_jobs_and_their_lifetimes(self):
        scene = mayasim.write_scene(self.path("jobs.ma"), scripts={"mel": {"type": 1, "before": (
            'scriptJob -e "SceneOpened" "python \\"ran.append(1)\\"";'
            'scriptJob -kws -e "SceneSaved" "python \\"ran.append(2)\\"";')}})
        self.ran()
        cmds.file(scene, open=True, force=True)
        self.assertEqual(len(cmds.scriptJob(lj=True)), 2)
        host.run_idle()
        self.assertEqual(self.ran(), [1])          # SceneOpened, queued at the open
        cmds.file(new=True, force=True)            # the killWithScene job ends
        self.assertEqual(len(cmds.scriptJob(lj=True)), 1)
        cmds.file(scene, open=True, force=True, esn=False)
        host.run_idle()
        self.assertEqual(self.ran(), [1, 1])
        protected = cmds.scriptJob(event=["SceneSaved", "x"], protected=True)
        permanent = cmds.scriptJob(event=["SceneSaved", "x"], permanent=True)
        with self.assertRaises(RuntimeError):
            cmds.scriptJob(kill=protected)
        with self.assertRaises(RuntimeError):
            cmds.scriptJob(kill=permanent, force=True)
        cmds.scriptJob(killAll=True)
        self.assertEqual(sorted(host.script_jobs), [protected, permanent])
        cmds.scriptJob(killAll=True, force=True)
        self.assertEqual(list(host.script_jobs), [permanent])
        once = cmds.scriptJob(event=["SceneSaved", "x"], runOnce=True)
        self.save_as("once.ma")
        self.assertFalse(cmds.scriptJob(exists=once))

    def test_batch_mode_has_no_script_jobs_but_callbacks_stay_until_removed(self):
        host.batch = True
        self.assertIsNone(cmds.scriptJob(event=["SceneSaved", "x"]))
        calls = []
        cid = om.MSceneMessage.addCallback(om.MSceneMessage.kBeforeSave,
                                           lambda data: calls.append(
                                               (data, om.MMessage.currentCallbackId())),
                                           "client")
        cmds.file(mayasim.write_scene(self.path("a.ma")), open=True, force=True)
        self.save_as("a2.ma")
        cmds.file(new=True, force=True)
        cmds.file(rename=self.path("n.ma"))
        cmds.file(save=True)
        self.assertEqual(calls, [("client", cid), ("client", cid)])
        om.MMessage.removeCallback(cid)
        self.save_as("a3.ma")
        self.assertEqual(len(calls), 2)
        with self.assertRaises(RuntimeError):
            om.MMessage.removeCallback(cid)
        cmds.loadPlugin("fbxmaya")
        cmds.file(new=True, force=True)
        self.assertEqual(cmds.pluginInfo(q=True, listPlugins=True), ["fbxmaya"])
        self.assertEqual(cmds.pluginInfo(q=True, ls=True), ["fbxmaya"])

    def test_flags_are_checked_against_maya_tables(self):
        with self.assertRaises(TypeError):
            cmds.file(self.path("x.ma"), open=True, executeScriptNode=False)
        with self.assertRaises(TypeError):
            cmds.scriptJob(event=["SceneSaved", "x"], killWithScenes=True)
        with self.assertRaises(TypeError):
            cmds.rename("a", "b", shortName=True)
        cmds.file(mayasim.write_scene(self.path("r.ma"), nodes=["a", "b"],
                                      parents={"b": "a"}), open=True, force=True)
        self.assertEqual(cmds.rename("a", "c"), "c")
        self.assertEqual(host.scene.parents, {"b": "c"})
        with self.assertRaises(RuntimeError):
            cmds.rename("a", "d")


class ScriptNodeRoundTripTest(_Scenes):
    def test_script_node_texts_survive_open_and_save_in_both_formats(self):
        scripts = {"awkward": {"before": AWKWARD, "after": AWKWARD[::-1], "type": 0,
                               "python": True},
                   "melNode": {"before": 'print "x";', "type": 2}}
        want = dict((n, dict({"after": "", "python": False}, **s)) for n, s in scripts.items())
        for src_fmt in ("ma", "mb"):
            source = mayasim.write_scene(self.path("src." + src_fmt), fmt=src_fmt,
                                         scripts=scripts)
            self.assertEqual(mayasim.read_scene(source)["script_nodes"], want)
            cmds.file(source, open=True, force=True)
            for ftype in ("mayaAscii", "mayaBinary"):
                out = self.save_as("out-%s-%s" % (src_fmt, ftype), ftype)
                self.assertEqual(out["script_nodes"], want, (src_fmt, ftype))
                cmds.file(self.path("out-%s-%s" % (src_fmt, ftype)), open=True, force=True)
        with open(self.path("src.ma"), "rb") as f:
            source_lines = [l for l in f.read().splitlines() if l.startswith(b'\tsetAttr ".')]
        with open(self.path("out-mb-mayaAscii"), "rb") as f:
            saved = f.read()
        for line in source_lines:
            self.assertIn(line, saved)

    def test_a_real_scenes_ui_configuration_node_is_written_back(self):
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "scenes",
                              "maya-usd")
        name = sorted(n for n in os.listdir(folder) if n.endswith(".ma"))[0]
        source = mayasim.read_scene(os.path.join(folder, name))
        ui = source["script_nodes"]["uiConfigurationScriptNode"]
        self.assertEqual(ui["type"], 3)
        self.assertIn("sceneUIReplacement", ui["before"])
        cmds.file(os.path.join(folder, name), open=True, force=True)
        self.assertEqual(host.script_errors, [])      # type 3 never runs here
        self.assertEqual(self.save_as("real.mb", "mayaBinary")["script_nodes"],
                         source["script_nodes"])


class SaveMisbehaviourTest(_Scenes):
    REFS = [{"path": "/r/a.ma", "namespace": "a", "node": "aRN", "loaded": True},
            {"path": "/r/b.mb", "namespace": "b", "node": "bRN", "loaded": False}]

    def source(self, name, behaviour=None):
        return mayasim.write_scene(self.path(name), nodes=["persp", "pCube1", "pSphere1",
                                                           "top"],
                                   parents={"pSphere1": "pCube1"}, references=self.REFS,
                                   behaviour=behaviour, unit="pal")

    def saved(self, source, name):
        cmds.file(source, open=True, force=True)
        return self.save_as(name)

    def test_each_misbehaviour_changes_only_what_it_says(self):
        intact = self.saved(self.source("plain.ma"), "plain-out.ma")
        expect = {
            "node-lost-on-save": ("nodes", [["persp", "transform"], ["pCube1", "transform"],
                                            ["top", "transform"]]),
            "reference-dropped-on-save": ("references", self.REFS[:1]),
            "linear-unit-changed-on-save": ("linear", "millimeter"),
            "time-unit-lost-on-save": ("unit", "film"),
        }
        for name, (key, value) in sorted(expect.items()):
            for how in ("session", "marker"):
                mayasim.reset()
                if how == "session":
                    host.misbehaviours.add(name)
                    out = self.saved(self.source("s.ma"), "o.ma")
                else:
                    out = self.saved(self.source("m.ma", behaviour=name), "o.ma")
                self.assertEqual(out[key], value, (name, how))
                changed = dict(intact, **{key: value})
                if name == "node-lost-on-save":
                    changed["parents"] = {}
                for field in ("nodes", "parents", "references", "unit", "linear", "min",
                              "max", "file_info", "requires", "behaviour"):
                    self.assertEqual(out[field], changed[field], (name, how, field))

    def test_a_marked_source_misbehaves_alone_in_its_session(self):
        marked = self.source("marked.ma", behaviour="node-lost-on-save")
        plain = self.source("plain.ma")
        self.assertEqual(len(self.saved(marked, "m-out.ma")["nodes"]), 3)
        self.assertEqual(len(self.saved(plain, "p-out.ma")["nodes"]), 4)
        self.assertEqual(len(self.saved(marked, "m-out2.mb")["nodes"]), 3)
        with open(self.path("m-out.ma"), "rb") as f:
            self.assertNotIn(b"mayasim", f.read())
        self.assertIsNone(mayasim.read_scene(self.path("m-out2.mb"))["behaviour"])


class ScriptNodesAlwaysRunTest(_Scenes):
    def test_open_runs_what_it_would_with_script_nodes_on_by_session_or_marker(self):
        scripts = dict(("st%d" % t, {"before": "ran.append('st%d')" % t, "type": t,
                                     "python": True}) for t in range(8))
        plain = mayasim.write_scene(self.path("plain.ma"), scripts=scripts)
        marked = mayasim.write_scene(self.path("marked.mb"), fmt="mb", scripts=scripts,
                                     behaviour="script-nodes-always-run")
        for how, scene, expected in (("session", plain, ["st1", "st6"]),
                                     ("marker", marked, ["st1", "st6"]),
                                     ("neither", plain, [])):
            mayasim.reset()
            host.batch = True
            if how == "session":
                host.misbehaviours.add("script-nodes-always-run")
            self.ran()
            cmds.file(scene, open=True, force=True, executeScriptNodes=False)
            self.assertEqual(self.ran(), expected, how)
        mayasim.reset()
        cmds.file(marked, open=True, force=True)
        self.assertIsNone(self.save_as("out.mb", "mayaBinary")["behaviour"])


class BatchWorkerTest(standalone.WorkerTestCase):
    """In a mayapy worker (batch mode): what one scene's code leaves behind
    changes the next scene's output; executeScriptNodes=False stops it."""

    CODE = standalone.PROLOGUE + """esn = sys.argv[3] == "on"
for source, target in ((sys.argv[1], None), (sys.argv[2], sys.argv[4])):
    cmds.file(source, open=True, force=True, executeScriptNodes=esn)
    if target:
        cmds.file(rename=target)
        cmds.file(save=True, type="mayaAscii")
result([os.path.exists(os.path.expanduser("~/marker")),
        mayasim.read_scene(sys.argv[4])["nodes"], cmds.scriptJob(listJobs=True)])
"""

    def test_a_callback_left_by_one_scene_renames_the_next_scenes_output(self):
        first = mayasim.write_scene(self.path("first.mb"), fmt="mb", scripts={
            "setup": {"before": LEAVES_BEHIND, "type": 1, "python": True}})
        second = mayasim.write_scene(self.path("second.ma"), nodes=["pCube1"])
        for esn, marker, node in (("on", True, "stolen_pCube1"), ("off", False, "pCube1")):
            home = self.path("home-" + esn)
            os.mkdir(home)
            code, out, err = standalone.run(self.CODE, first, second, esn,
                                            self.path("out-%s.ma" % esn), HOME=home)
            self.assertEqual(code, 0, err)
            self.assertEqual(standalone.result_of(out), [marker, [[node, "transform"]], None])

    def test_misbehave_variable_takes_the_save_misbehaviours(self):
        source = mayasim.write_scene(self.path("s.ma"), nodes=["pCube1", "pSphere1"],
                                     references=SaveMisbehaviourTest.REFS[:1])
        code, out, err = standalone.run(standalone.SAVE, source, self.path("o.ma"),
                                        MAYASIM_MISBEHAVE="node-lost-on-save,"
                                                          "reference-dropped-on-save")
        self.assertEqual(code, 0, err)
        out = mayasim.read_scene(self.path("o.ma"))
        self.assertEqual((out["nodes"], out["references"]), ([["pCube1", "transform"]], []))


if __name__ == "__main__":
    unittest.main()

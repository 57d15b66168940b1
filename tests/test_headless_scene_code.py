"""A batch runs no scene's code unless asked, keeps the playback range that
code would have set, cannot let one scene change another's output, and
publishes only outputs that it read back and found to hold what their
sources held."""

import os

from headless_support import HeadlessTestCase, mayasim

# A scene's own Python, run when Maya opens it: a marker in the user's home,
# and a callback that renames pCube1 in every scene saved later in the same
# Maya.
LEAVES_BEHIND = """import os
import maya.cmds as cmds
from maya.api import OpenMaya as om
open(os.path.expanduser("~/marker"), "w").close()
def _before_save(data):
    import mayasim
    if "pCube1" in mayasim.host.scene.nodes:
        cmds.rename("pCube1", "stolen_pCube1")
om.MSceneMessage.addCallback(om.MSceneMessage.kBeforeSave, _before_save)
"""


class SceneCode(HeadlessTestCase):
    def setUp(self):
        super().setUp()
        self.home = self.path("home")
        os.makedirs(self.home)
        self.setenv("HOME", self.home)

    def outputs(self, results):
        return {os.path.basename(p): mayasim.read_scene(p) for p in results["outputs"]}

    def test_a_scene_with_code_in_a_batch_of_twenty(self):
        names = ["s%02d.ma" % i for i in range(20)]
        for name in names:
            self.scenes(name, pmin=5, pmax=50)
        plain = self.outputs(self.batch(outputs=("mb",), jobs=2))
        for name in names:
            os.remove(os.path.join(self.folder, name[:-3] + ".mb"))
        self.scenes("s03.ma", pmin=5, pmax=50,
                    scripts={"evil": {"before": LEAVES_BEHIND, "type": 1, "python": True}})

        # Off, as by default: nothing of the scene runs, the range is the
        # scene's all the same, and every output is what it is without it.
        results = self.batch(outputs=("mb",), jobs=2)
        self.assertEqual(results["converted"], 20, results["failed"])
        self.assertFalse(os.path.exists(os.path.join(self.home, "marker")))
        written = self.outputs(results)
        for name, scene in written.items():
            self.assertEqual((scene["min"], scene["max"], scene["ast"], scene["aet"]), (5, 50, 5, 50), name)
            if name != "s03.mb":
                self.assertEqual(scene["nodes"], plain[name]["nodes"], name)
        self.assertIn("evil", [n for n, _ in written["s03.mb"]["nodes"]])  # kept, untouched
        notes = dict(results["notes"])
        self.assertEqual(list(notes), [os.path.join(self.folder, "s03.ma")])
        self.assertRegex(notes[os.path.join(self.folder, "s03.ma")][0],
                         r"^script node not run: evil \(open/close; writes files, imports modules, .*adds callbacks\)$")

        # Run, when chosen: the marker appears; the worker whose Maya the
        # scene changed is replaced, so the other outputs are intact.
        for name in names:
            os.remove(os.path.join(self.folder, name[:-3] + ".mb"))
        results = self.batch(outputs=("mb",), jobs=2, scene_scripts="run", journal=self.path("run.journal"))
        self.assertTrue(os.path.exists(os.path.join(self.home, "marker")))
        # Its own callback renamed a node of its own output, which is found.
        self.assertEqual(results["failed"], [(os.path.join(self.folder, "s03.ma"), "could not write s03.mb: not "
                                              "what its source was: 1 of 3 nodes missing: pCube1 (transform)")])
        for name, scene in self.outputs(results).items():
            if name != "s03.mb":
                self.assertEqual(scene["nodes"], plain[name]["nodes"], name)

    def test_top_level_code_of_a_maya_ascii_file_keeps_it_closed_unless_chosen(self):
        self.scenes("a.ma")
        self.scenes("b.ma", statements=['python("import os; open(os.path.expanduser(\'~/marker\'), \'w\')")'])
        results = self.batch(outputs=("mb",))
        self.assertEqual(results["converted"], 1)
        (source, why), = results["failed"]
        self.assertEqual(os.path.basename(source), "b.ma")
        self.assertRegex(why, r"^not opened: its top level runs MEL that Maya does not write into scenes \(python\)")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "b.mb")))
        self.assertFalse(os.path.exists(os.path.join(self.home, "marker")))

    def test_what_maya_lost_on_save_fails_that_output_and_nothing_is_published(self):
        references = [{"path": os.path.join(self.folder, "ref.ma"), "namespace": ns, "node": ns + "RN"}
                      for ns in ("left", "right")]
        self.scenes("ref.ma")
        self.scenes("a.ma", "b.ma", nodes=("pCube1", "pSphere1"))
        self.scenes("lost.ma", nodes=("pCube1", "pSphere1"), behaviour="node-lost-on-save")
        self.scenes("dropped.ma", references=references, behaviour="reference-dropped-on-save")
        self.scenes("unit.ma", behaviour="linear-unit-changed-on-save")
        results = self.batch(outputs=("mb", "fbx"), exclude=["ref.ma"])
        failed = {os.path.basename(s): why for s, why in results["failed"]}
        self.assertEqual(sorted(failed), ["dropped.ma", "lost.ma", "unit.ma"])
        self.assertRegex(failed["lost.ma"], r"^could not write lost\.mb: not what its source was: 1 of \d+ nodes "
                                            r"missing: pSphere1 \(transform\)")
        self.assertIn("reference", failed["dropped.ma"])
        self.assertIn("linear unit", failed["unit.ma"])
        for name in ("lost", "dropped", "unit"):
            self.assertFalse(os.path.exists(os.path.join(self.folder, name + ".mb")), name)
        self.assertEqual(results["converted"], 2)

        # Unchecked, as chosen: Maya's word is taken.
        for name in ("a", "b", "lost", "dropped", "unit"):
            for ext in (".mb", ".fbx"):
                path = os.path.join(self.folder, name + ext)
                if os.path.exists(path):
                    os.remove(path)
        results = self.batch(outputs=("mb",), exclude=["ref.ma"], verify=False, journal=self.path("unchecked.journal"))
        self.assertEqual(results["converted"], 5, results["failed"])

"""Simulated host: mayapy processes, standalone sessions, batch mode, the file
prompt state, costs and scenes that make Maya misbehave."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from sim_support import SIM, host, mayasim

import maya.cmds as cmds
import maya.mel as mel
import maya.standalone
from mayasim import misbehave

MAYAPY = os.path.join(SIM, "bin", "mayapy")
# RESULT: marks the worker's own last line (noise may leave a line unfinished).
PROLOGUE = """import json, os, sys, time
import maya.standalone
maya.standalone.initialize(name="python")
import maya.cmds as cmds, maya.mel as mel, mayasim
def say(text):
    sys.stdout.write(text + "\\n")
    sys.stdout.flush()
def result(value):
    say("\\nRESULT:" + json.dumps(value))
"""
OPEN = PROLOGUE + """say("before")
cmds.file(sys.argv[1], open=True, force=True)
result(mayasim.host.scene.nodes)
"""
SAVE = PROLOGUE + """cmds.file(sys.argv[1], open=True, force=True)
say("saving")
if sys.argv[2].endswith(".fbx"):
    cmds.loadPlugin("fbxmaya")
    mel.eval('FBXExport -f "%s"' % sys.argv[2])
else:
    cmds.file(rename=sys.argv[2])
    cmds.file(save=True, type="mayaAscii")
"""


def start(code, *args, **env):
    full = dict((k, v) for k, v in os.environ.items() if not k.startswith("MAYASIM_"))
    full.update(env, MAYASIM_PYTHON=sys.executable)
    return subprocess.Popen([MAYAPY, "-c", code] + list(args), env=full,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run(code, *args, **env):
    """(returncode, stdout, stderr) of a finished worker."""
    proc = start(code, *args, **env)
    out, err = proc.communicate(timeout=20)
    return proc.returncode, out, err


def result_of(out):
    return json.loads(out.rsplit(b"RESULT:", 1)[1].decode())


@unittest.skipUnless(os.name == "posix", "sim/bin/mayapy is a POSIX shell script")
class WorkerTestCase(unittest.TestCase):
    def setUp(self):
        mayasim.reset()
        self.tmp = tempfile.mkdtemp(prefix="mayasim-standalone-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def scene(self, name, behaviour=None, fmt="ma"):
        return mayasim.write_scene(self.path(name), nodes=("pCube1", "pSphere1"),
                                   fmt=fmt, behaviour=behaviour)

    def assert_partial_save(self, target):
        """The file is a true beginning of what a full save writes."""
        os.mkdir(self.path("full"))
        cmds.file(self.scene("plain.ma"), open=True, force=True)
        cmds.file(rename=os.path.join(self.tmp, "full", os.path.basename(target)))
        cmds.file(save=True, type="mayaAscii")
        with open(cmds.file(q=True, sceneName=True), "rb") as f:
            full = f.read()
        with open(target, "rb") as f:
            partial = f.read()
        self.assertTrue(0 < len(partial) < len(full) and full.startswith(partial))


class SessionTest(WorkerTestCase):
    def test_launcher_passes_everything_through(self):
        code = "import os, sys; print(sys.argv, os.getpid(), os.environ['MAYASIM_STANDALONE']); sys.exit(7)"
        proc = start(code, "a", "b c", "")
        out, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 7, err)
        self.assertEqual(out.decode().split(), ["['-c',", "'a',", "'b", "c',", "'']",
                                                str(proc.pid), "1"])   # exec: one process
        with open(self.path("job.py"), "w") as f:
            f.write("import sys, maya.standalone\nprint(sys.argv[1:], __name__)\n")
        os.symlink(MAYAPY, self.path("mayapy"))     # a link, the caller's PYTHONPATH, -m
        env = dict(os.environ, MAYASIM_PYTHON=sys.executable, PYTHONPATH=self.tmp)
        out = subprocess.check_output([self.path("mayapy"), "-m", "job", "x"], env=env,
                                      cwd=SIM, timeout=20)
        self.assertEqual(out.decode(), "['x'] __main__\n")

    def test_commands_exist_only_between_initialize_and_uninitialize(self):
        code = """import json, maya.cmds as cmds, maya.mel as mel, maya.standalone as sa
seen = [hasattr(cmds, "file"), hasattr(mel, "eval"), cmds.__all__]
try:
    cmds.file
except AttributeError as e:
    seen.append(str(e))
sa.initialize(name="python"); sa.initialize()
seen.append(cmds.file(q=True, sceneName=True))
kept = cmds.file
sa.uninitialize(); sa.uninitialize()
seen += [hasattr(cmds, "file"), hasattr(mel, "eval")]
for call in (lambda: kept(q=True, sceneName=True), sa.initialize):
    try:
        call()
    except RuntimeError as e:
        seen.append(str(e))
print(json.dumps(seen))
"""
        status, out, err = run(code)
        self.assertEqual(status, 0, err)
        seen = json.loads(out.decode())
        self.assertEqual(seen[:4], [False, False, [],
                                    "module 'maya.cmds' has no attribute 'file'"])
        self.assertEqual(seen[4:7], ["", False, False])
        self.assertIn("not initialized", seen[7])
        self.assertIn("cannot be initialized again", seen[8])
        # in process nothing changes
        maya.standalone.initialize()
        maya.standalone.uninitialize()
        self.assertFalse(cmds.about(batch=True))
        self.assertEqual(cmds.file(q=True, sceneName=True), "")

    def test_batch_mode_and_journal_file(self):
        journal = self.path("calls.jsonl")
        code = PROLOGUE + """seen = [cmds.about(batch=True)]
for call in (lambda: cmds.window("w", title="T"), cmds.progressBar,
             lambda: mel.eval("paneLayout -e -manage false $gMainPane")):
    try:
        call()
    except RuntimeError as e:
        seen.append(str(e))
cmds.refresh()
cmds.warning("careful now")
cmds.evalDeferred(lambda: None)
result(seen)
"""
        status, out, err = run(code, MAYASIM_JOURNAL_FILE=journal)
        self.assertEqual(status, 0, err)
        seen = result_of(out)
        self.assertIs(seen[0], True)
        self.assertIn("window: This command is not available in batch mode", seen[1])
        self.assertIn("progressBar", seen[2])
        self.assertIn('"$gMainPane" is an undeclared variable.', seen[3])
        self.assertIn(b"Warning: careful now\n", err)
        with open(journal) as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual([c["command"] for c in lines],
                         ["about", "window", "progressBar", "mel.eval", "refresh",
                          "warning", "evalDeferred"])
        self.assertEqual((lines[1]["args"], lines[1]["flags"]), (["w"], [["title", "T"]]))
        self.assertIn("lambda", lines[-1]["args"][0])

    def test_in_process_batch_mode_refuses_every_ui_command(self):
        host.batch = True
        for name in sorted(mayasim.commands.UI_COMMANDS):
            with self.assertRaisesRegex(RuntimeError, "batch mode", msg=name):
                getattr(cmds, name)("w")
        with self.assertRaises(TypeError):          # flags are still checked first
            cmds.window("w", dfe=True)
        with self.assertRaisesRegex(RuntimeError, "gShelfTopLev"):
            mel.eval("$t = $gShelfTopLevel")
        mayasim.reset()
        cmds.window("w")


class PromptTest(WorkerTestCase):
    def test_prompt_state_is_sticky_alone_and_per_call_with_an_action(self):
        source = self.scene("a.ma")
        self.assertIs(cmds.file(q=True, prompt=True), True)
        cmds.file(prompt=False)
        cmds.file(new=True, force=True)
        cmds.file(source, open=True, force=True, prompt=True)
        self.assertIs(cmds.file(q=True, pmt=True), False)
        mayasim.reset()
        self.assertIs(cmds.file(q=True, prompt=True), True)

    def test_hang_and_unanswered_dialog_block_until_killed(self):
        source = self.scene("dialog.ma", "dialog-on-open")
        cmds.file(source, open=True, force=True)     # with a user to answer it
        quiet = OPEN.replace('say("before")', "cmds.file(prompt=False)")
        status, out, err = run(quiet, source)
        self.assertEqual((status, result_of(out)), (0, ["pCube1", "pSphere1"]))
        procs = [start(OPEN, source), start(OPEN, self.scene("hang.ma", "hang-on-open"))]
        time.sleep(0.5)
        for proc in procs:
            self.assertIsNone(proc.poll())
            proc.kill()
            self.assertEqual(proc.communicate()[0], b"before\n")


class BehaviourTest(WorkerTestCase):
    def test_crash_abort_and_exit_end_the_process_at_the_open(self):
        journal = self.path("journal.jsonl")
        for behaviour, fmt, status in (("crash-on-open", "ma", -signal.SIGSEGV),
                                       ("abort-on-open", "ma", -signal.SIGABRT),
                                       ("exit-on-open", "mb", 3)):
            source = self.scene(behaviour + "." + fmt, behaviour, fmt)
            self.assertEqual(run(OPEN, source, MAYASIM_JOURNAL_FILE=journal)[:2],
                             (status, b"before\n"), behaviour)
            with open(journal) as f:
                last = json.loads(f.readlines()[-1])
            self.assertEqual(last, {"command": "file", "args": [source],
                                    "flags": [["open", True], ["force", True]]})

    def test_noise_reaches_both_streams_and_the_scene_still_opens(self):
        status, out, err = run(OPEN, self.scene("noise.ma", "noise-on-open"))
        self.assertEqual((status, result_of(out)), (0, ["pCube1", "pSphere1"]))
        for stream in (out, err):
            lines = stream.split(b"\n")
            for line in (misbehave.NOISE_JSON.encode(), misbehave.NOISE_BYTES + b" (python)",
                         misbehave.NOISE_BYTES + b" (fd)"):
                self.assertIn(line, lines)
            self.assertEqual(sum(len(x) > misbehave.NOISE_LONG for x in lines), 2)
        self.assertIn(misbehave.NOISE_PARTIAL.encode() + b"\nRESULT:", out)

    def test_crash_on_save_leaves_part_of_the_file(self):
        source = self.scene("a.ma", "crash-on-save")
        for target in (self.path("out.ma"), self.path("out.fbx")):
            self.assertEqual(run(SAVE, source, target)[:2], (-signal.SIGSEGV, b"saving\n"))
        with open(self.path("out.fbx"), "rb") as f:
            self.assertTrue(f.read().startswith(b"Kaydara FBX Binary  \x00\x1a\x00"))
        self.assert_partial_save(self.path("out.ma"))

    def test_in_process_host_refuses_to_crash_and_checks_markers(self):
        for behaviour in ("crash-on-open", "hang-on-open", "exit-on-open"):
            with self.assertRaises(mayasim.NotModelledError):
                cmds.file(self.scene(behaviour + ".ma", behaviour), open=True, force=True)
            self.assertEqual(host.scene.path, "")
        cmds.file(self.scene("s.mb", "crash-on-save", "mb"), open=True, force=True)
        cmds.file(rename=self.path("out.mb"))
        with self.assertRaises(mayasim.NotModelledError):
            cmds.file(save=True)
        self.assertFalse(os.path.exists(self.path("out.mb")))
        with self.assertRaises(ValueError):
            mayasim.write_scene(self.path("x.ma"), behaviour="crash-on-close")
        with open(self.path("typo.ma"), "w") as f:
            f.write("//Maya ASCII 2024 scene\n//mayasim: crash-on-opne\n")
        with self.assertRaises(mayasim.NotModelledError):
            cmds.file(self.path("typo.ma"), open=True, force=True)


class CostTest(WorkerTestCase):
    def test_a_worker_killed_while_saving_leaves_a_partial_file(self):
        proc = start(SAVE, self.scene("a.ma"), self.path("out.ma"), MAYASIM_COST_SAVE="0.3")
        self.addCleanup(proc.communicate)
        self.addCleanup(proc.kill)
        self.assertEqual(proc.stdout.readline(), b"saving\n")
        time.sleep(0.15)
        proc.kill()
        proc.wait()
        self.assert_partial_save(self.path("out.ma"))

    def test_costs_from_the_environment_are_waited_out_side_by_side(self):
        timed = PROLOGUE.replace("maya.standalone.initialize(", "t0 = time.monotonic()\n"
                                 "maya.standalone.initialize(") + """took = [time.monotonic() - t0]
for step in ("cmds.file(sys.argv[1], open=True, force=True)", "cmds.file(rename=sys.argv[2])",
             "cmds.file(save=True)", "cmds.loadPlugin('fbxmaya')",
             "mel.eval('FBXExport -f \\"%s\\"' % sys.argv[3])"):
    t0 = time.monotonic()
    exec(step)
    took.append(time.monotonic() - t0)
result([took, mayasim.host.costs])
"""
        costs = {"initialize": 0.1, "open": 0.15, "save": 0.2, "export": 0.25, "per_mb": 0.0}
        env = dict(("MAYASIM_COST_" + k.upper(), str(v)) for k, v in costs.items())
        t0 = time.monotonic()
        procs = [start(timed, self.scene("a.ma"), self.path("o%d.ma" % i),
                       self.path("o%d.fbx" % i), **env) for i in range(4)]
        for proc in procs:
            out, err = proc.communicate(timeout=20)
            self.assertEqual(proc.returncode, 0, err)
            took, seen = result_of(out)
            self.assertEqual(seen, costs)
            for spent, cost in zip([took[i] for i in (0, 1, 3, 5)], (0.1, 0.15, 0.2, 0.25)):
                self.assertTrue(cost * 0.95 <= spent < cost + 0.5, (spent, cost))
        self.assertLess(time.monotonic() - t0, 2.0)   # one after another: 2.8 s

    def test_open_save_and_export_cost_more_for_a_bigger_scene(self):
        host.costs["per_mb"] = 1.0
        big = self.path("big.ma")
        mayasim.write_scene(big, pad=200 * 1024)   # about 0.2 s a step
        t0 = time.monotonic()
        cmds.file(big, open=True, force=True)
        opened = time.monotonic()
        cmds.file(rename=self.path("big.mb"))
        cmds.file(save=True, type="mayaBinary")
        self.assertGreaterEqual(opened - t0, 0.19)
        self.assertGreaterEqual(time.monotonic() - opened, 0.19)
        self.assertEqual(mayasim.read_scene(self.path("big.mb"))["nodes"], [["pCube1", "transform"]])

    def test_in_process_costs_come_from_the_host_only(self):
        host.costs["open"] = 0.1
        t0 = time.monotonic()
        cmds.file(self.scene("a.ma"), open=True, force=True)
        self.assertGreaterEqual(time.monotonic() - t0, 0.095)
        os.environ["MAYASIM_COST_OPEN"] = "5"
        self.addCleanup(os.environ.pop, "MAYASIM_COST_OPEN", None)
        mayasim.reset()
        self.assertEqual(set(host.costs.values()), {0.0})


if __name__ == "__main__":
    unittest.main()


class ArrangementTest(WorkerTestCase):
    """What a test sets up, through the environment, in a session it cannot
    reach: plug-ins missing, armed faults, and the test-only misbehaviours."""

    CODE = PROLOGUE + """out = {}
for name, call in (("load", lambda: cmds.loadPlugin("fbxmaya")),
                   ("about", lambda: cmds.about(version=True)),
                   ("about again", lambda: cmds.about(version=True))):
    try:
        out[name] = call()
    except RuntimeError as e:
        out[name] = "error: %s" % e
cmds.loadPlugin("objExport")
out["version"] = cmds.pluginInfo("objExport", q=True, version=True)
cmds.file(sys.argv[1], open=True, force=True)
cmds.file(rename=sys.argv[2])
cmds.file(save=True, type="mayaBinary")
out["saved"] = mayasim.read_scene(sys.argv[2])["unit"]
result(out)
"""

    def test_missing_plugins_faults_and_a_lost_time_unit(self):
        source = mayasim.write_scene(self.path("a.ma"), unit="ntsc")
        env = dict(MAYASIM_MISSING_PLUGINS="fbxmaya",
                   MAYASIM_FAULTS=json.dumps([{"command": "about", "message": "no about"}]))
        status, out, err = run(self.CODE, source, self.path("b.mb"), **env)
        self.assertEqual(status, 0, err)
        self.assertEqual(result_of(out), {
            "load": 'error: Plug-in, "fbxmaya", was not found on MAYA_PLUG_IN_PATH.',
            "about": "error: no about", "about again": "2024", "version": "1.0", "saved": "ntsc"})
        status, out, err = run(self.CODE, source, self.path("c.mb"),
                               MAYASIM_MISBEHAVE="time-unit-lost-on-save")
        self.assertEqual(result_of(out)["saved"], "film")
        status, out, err = run(self.CODE, source, self.path("d.mb"), MAYASIM_MISBEHAVE="lose-it-all")
        self.assertNotEqual(status, 0)
        self.assertIn(b"MAYASIM_MISBEHAVE: unknown lose-it-all", err)

    def test_in_process_the_version_of_a_loaded_plugin_only(self):
        with self.assertRaises(mayasim.NotModelledError):
            cmds.pluginInfo("fbxmaya", q=True, version=True)
        cmds.loadPlugin("fbxmaya")
        self.assertEqual(cmds.pluginInfo("fbxmaya", q=True, v=True), "1.0")
        host.misbehaviours.add("time-unit-lost-on-export")
        cmds.currentUnit(time="pal")
        mel.eval('FBXExport -f "%s"' % self.path("x.fbx"))
        self.assertEqual(mayasim.read_scene(self.path("x.fbx"))["unit"], "film")
        mayasim.reset()
        self.assertEqual(host.misbehaviours, set())

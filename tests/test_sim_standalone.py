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

from sim_support import SIM, SimTestCase, host, mayasim

import maya.cmds as cmds
import maya.mel as mel
import maya.standalone
from mayasim import misbehave, standalone

MAYAPY = os.path.join(SIM, "bin", "mayapy")

# What every worker starts with; RESULT marks the worker's own last line,
# since a scene's noise may have left a line without its newline before it.
PROLOGUE = """\
import json, os, sys, time
import maya.standalone
maya.standalone.initialize(name="python")
import maya.cmds as cmds, maya.mel as mel, mayasim
def result(value):
    sys.stdout.write("\\nRESULT:" + json.dumps(value) + "\\n")
    sys.stdout.flush()
def say(text):
    sys.stdout.write(text + "\\n")
    sys.stdout.flush()
"""


def worker_env(**extra):
    env = dict((k, v) for k, v in os.environ.items() if not k.startswith("MAYASIM_"))
    env["MAYASIM_PYTHON"] = sys.executable
    env.update(extra)
    return env


def start(code, *args, **extra_env):
    return subprocess.Popen([MAYAPY, "-c", code] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=worker_env(**extra_env))


def run(code, *args, **extra_env):
    """(returncode, stdout bytes, stderr bytes) of a finished worker."""
    proc = start(code, *args, **extra_env)
    out, err = proc.communicate(timeout=20)
    return proc.returncode, out, err


def result_of(out):
    return json.loads(out.rsplit(b"RESULT:", 1)[1].decode())


def run_until_killed(proc, wait):
    """Lets a worker run `wait` seconds, checks it is still running, kills it."""
    try:
        proc.communicate(timeout=wait)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.communicate()
    raise AssertionError("the worker ended by itself (status %r)" % proc.returncode)


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

    def saved_in_process(self, source, name):
        """The bytes a complete save of `source` as <tmp>/full/<name> writes."""
        os.mkdir(self.path("full"))
        target = os.path.join(self.tmp, "full", name)
        cmds.file(source, open=True, force=True)
        cmds.file(rename=target)
        cmds.file(save=True, type="mayaAscii")
        with open(target, "rb") as f:
            return f.read()


class LauncherTest(WorkerTestCase):
    def test_arguments_status_and_process_pass_through(self):
        code = ("import json, os, sys, maya.cmds\n"
                "print(json.dumps([sys.argv, os.getpid(), os.environ.get('MAYASIM_STANDALONE'),"
                " maya.cmds.__file__]))\n"
                "sys.exit(7)")
        proc = start(code, "a", "b c", "")
        out, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 7, err)
        argv, pid, marker, cmds_file = json.loads(out.decode())
        self.assertEqual(argv, ["-c", "a", "b c", ""])
        self.assertEqual(pid, proc.pid)          # exec: no shell left in between
        self.assertEqual(marker, "1")
        self.assertEqual(os.path.dirname(os.path.dirname(cmds_file)), SIM)
        self.assertNotIn("MAYASIM_STANDALONE", os.environ)

    def test_script_and_module_forms_keep_the_callers_path(self):
        extra = os.path.join(self.tmp, "extra")
        os.mkdir(extra)
        with open(os.path.join(extra, "helper.py"), "w") as f:
            f.write("VALUE = 'from helper'\n")
        with open(self.path("job.py"), "w") as f:
            f.write("import sys, helper, maya.standalone\n"
                    "print(sys.argv[1:], helper.VALUE, __name__)\n")
        env = worker_env(PYTHONPATH=extra)
        link = self.path("mayapy")                # as a Maya folder's bin/ might hold it
        os.symlink(MAYAPY, link)
        for launcher, argv in ((MAYAPY, [self.path("job.py")]), (MAYAPY, ["-m", "job"]),
                               (link, [self.path("job.py")])):
            out = subprocess.check_output([launcher] + argv + ["x", "y"], env=env,
                                          cwd=self.tmp, timeout=20)
            self.assertEqual(out.decode().strip(), "['x', 'y'] from helper __main__")


class SessionTest(WorkerTestCase):
    def test_commands_exist_only_between_initialize_and_uninitialize(self):
        code = """\
import json, maya.cmds as cmds, maya.mel as mel, maya.standalone
seen = {}
for label, obj, attr in (("cmds", cmds, "file"), ("mel", mel, "eval")):
    try:
        getattr(obj, attr)
    except AttributeError as e:
        seen[label + " before"] = str(e)
exec("from maya.cmds import *")
seen["star before"] = "file" in dir()
maya.standalone.initialize(name="python")
maya.standalone.initialize()
seen["scene"] = cmds.file(q=True, sceneName=True)
kept = cmds.file
maya.standalone.uninitialize()
maya.standalone.uninitialize()
seen["cmds after"] = hasattr(cmds, "file")
seen["mel after"] = hasattr(mel, "eval")
try:
    kept(q=True, sceneName=True)
except RuntimeError as e:
    seen["kept"] = str(e)
try:
    maya.standalone.initialize()
except RuntimeError as e:
    seen["again"] = "RuntimeError"
print(json.dumps(seen))
"""
        status, out, err = run(code)
        self.assertEqual(status, 0, err)
        seen = json.loads(out.decode())
        self.assertEqual(seen["cmds before"], "module 'maya.cmds' has no attribute 'file'")
        self.assertEqual(seen["mel before"], "module 'maya.mel' has no attribute 'eval'")
        self.assertFalse(seen["star before"])
        self.assertEqual(seen["scene"], "")
        self.assertFalse(seen["cmds after"])
        self.assertFalse(seen["mel after"])
        self.assertIn("not initialized", seen["kept"])
        self.assertEqual(seen["again"], "RuntimeError")

    def test_in_process_session_is_untouched_by_initialize(self):
        maya.standalone.initialize()
        self.assertFalse(cmds.about(batch=True))
        self.assertTrue(callable(cmds.file) and callable(mel.eval))
        maya.standalone.uninitialize()
        self.assertEqual(cmds.file(q=True, sceneName=True), "")
        self.assertIn("window", cmds.__all__)


class BatchModeTest(WorkerTestCase):
    UI_CALLS = [
        ("window", ("w",), {}), ("window", ("w",), {"exists": True}),
        ("columnLayout", (), {}), ("rowLayout", (), {"nc": 2}), ("frameLayout", (), {}),
        ("text", (), {"label": "x"}), ("button", (), {"label": "Go"}),
        ("checkBox", (), {"v": True}), ("optionMenu", (), {}), ("menuItem", (), {"label": "a"}),
        ("textField", (), {}), ("scrollField", (), {}), ("progressBar", (), {}),
        ("separator", (), {}), ("showWindow", ("w",), {}), ("deleteUI", ("w",), {"window": True}),
        ("setParent", ("..",), {}), ("fileDialog2", (), {"fm": 3}),
        ("confirmDialog", (), {"message": "Sure?"}), ("waitCursor", (), {"state": True}),
        ("paneLayout", ("viewPanes",), {"e": True, "manage": False}),
    ]

    def test_user_interface_refused_in_process_batch_mode(self):
        host.batch = True
        for name, args, flags in self.UI_CALLS:
            with self.assertRaises(RuntimeError, msg=name) as cm:
                getattr(cmds, name)(*args, **flags)
            self.assertIn("batch mode", str(cm.exception))
        self.assertEqual(host.ui.find(), [])
        self.assertEqual(host.confirm_dialogs, [])
        # a wrong flag is still a TypeError: flags are checked first
        with self.assertRaises(TypeError):
            cmds.window("w", dfe=True)
        with self.assertRaisesRegex(RuntimeError, r'"\$gMainPane" is an undeclared variable'):
            mel.eval("paneLayout -e -manage false $gMainPane")
        with self.assertRaisesRegex(RuntimeError, "gShelfTopLevel"):
            mel.eval("$t = $gShelfTopLevel")
        mayasim.reset()
        self.assertFalse(host.batch)
        cmds.window("w")

    def test_worker_runs_in_batch_mode(self):
        source = self.scene("a.ma")
        code = PROLOGUE + """\
seen = {"batch": cmds.about(batch=True)}
for name in ("window", "confirmDialog", "progressBar"):
    try:
        getattr(cmds, name)()
    except RuntimeError as e:
        seen[name] = str(e)
try:
    mel.eval("paneLayout -e -manage false $gMainPane")
except RuntimeError as e:
    seen["mel"] = str(e)
cmds.refresh()
cmds.warning("careful now")
cmds.file(sys.argv[1], open=True, force=True)
cmds.file(rename=sys.argv[2])
cmds.file(save=True, type="mayaBinary")
result(seen)
"""
        target = self.path("a.mb")
        status, out, err = run(code, source, target)
        self.assertEqual(status, 0, err)
        seen = result_of(out)
        self.assertIs(seen["batch"], True)
        for name in ("window", "confirmDialog", "progressBar"):
            self.assertIn("batch mode", seen[name])
        self.assertIn("undeclared variable", seen["mel"])
        self.assertIn(b"Warning: careful now\n", err)
        self.assertEqual(mayasim.read_scene(target)["nodes"],
                         [["pCube1", "transform"], ["pSphere1", "transform"]])


class PromptTest(WorkerTestCase):
    def test_prompt_state_is_sticky_and_per_call_with_an_action(self):
        source = self.scene("a.ma")
        self.assertIs(cmds.file(q=True, prompt=True), True)
        self.assertIsNone(cmds.file(prompt=False))
        cmds.file(new=True, force=True)
        cmds.file(source, open=True, force=True)
        self.assertIs(cmds.file(q=True, pmt=True), False)
        cmds.file(source, open=True, force=True, prompt=True)
        self.assertIs(cmds.file(q=True, prompt=True), False)
        cmds.file(pmt=True)
        self.assertIs(cmds.file(q=True, prompt=True), True)
        cmds.file(prompt=False)
        mayasim.reset()
        self.assertIs(cmds.file(q=True, prompt=True), True)

    def test_dialog_scene_opens_without_prompt_and_blocks_with_it(self):
        source = self.scene("dialog.ma", "dialog-on-open")
        # outside batch mode the user answers the dialog
        cmds.file(source, open=True, force=True)
        self.assertEqual(host.scene.nodes, ["pCube1", "pSphere1"])
        code = PROLOGUE + """\
if sys.argv[2] == "quiet":
    cmds.file(prompt=False)
say("opening")
result(cmds.file(sys.argv[1], open=True, force=True))
"""
        status, out, err = run(code, source, "quiet")
        self.assertEqual(status, 0, err)
        self.assertEqual(result_of(out), source)
        out, err = run_until_killed(start(code, source, "ask"), 0.5)
        self.assertEqual(out.strip(), b"opening")


class BehaviourTest(WorkerTestCase):
    OPEN = PROLOGUE + """\
say("before")
cmds.file(sys.argv[1], open=True, force=True)
result(list(mayasim.host.scene.nodes))
"""

    def test_crash_abort_and_exit_end_the_process(self):
        journal = self.path("journal.jsonl")
        cases = (("crash-on-open", "ma", -signal.SIGSEGV),
                 ("abort-on-open", "ma", -signal.SIGABRT),
                 ("exit-on-open", "mb", 3))
        for behaviour, fmt, expected in cases:
            source = self.scene(behaviour + "." + fmt, behaviour, fmt)
            status, out, err = run(self.OPEN, source, MAYASIM_JOURNAL_FILE=journal)
            self.assertEqual(status, expected, behaviour)
            self.assertEqual(out, b"before\n", behaviour)
            with open(journal) as f:
                last = json.loads(f.readlines()[-1])
            self.assertEqual(last["command"], "file", behaviour)
            self.assertEqual(last["args"], [source])
            self.assertEqual(last["flags"], [["open", True], ["force", True]])

    def test_hang_keeps_running_until_killed(self):
        source = self.scene("hang.ma", "hang-on-open")
        proc = start(self.OPEN, source)
        out, err = run_until_killed(proc, 0.5)
        self.assertEqual(proc.returncode, -signal.SIGKILL)
        self.assertEqual(out, b"before\n")

    def test_noise_reaches_both_streams_and_the_scene_still_opens(self):
        source = self.scene("noise.ma", "noise-on-open")
        status, out, err = run(self.OPEN, source)
        self.assertEqual(status, 0, err[-500:])
        self.assertEqual(result_of(out), ["pCube1", "pSphere1"])
        for stream in (out, err):
            lines = stream.split(b"\n")
            self.assertIn(misbehave.NOISE_JSON.encode(), lines)
            self.assertIn(misbehave.NOISE_BYTES + b" (python)", lines)
            self.assertIn(misbehave.NOISE_BYTES + b" (fd)", lines)
            self.assertEqual(sum(len(x) > misbehave.NOISE_LONG for x in lines), 2)
            with self.assertRaises(UnicodeDecodeError):
                stream.decode("utf-8")
        # the worker's own line was glued to the noise's unfinished one
        self.assertIn(misbehave.NOISE_PARTIAL.encode() + b"\nRESULT:", out)

    def test_crash_on_save_leaves_a_partial_file(self):
        source = self.scene("a.ma", "crash-on-save")
        full = self.saved_in_process(self.scene("plain.ma"), "out.ma")
        code = PROLOGUE + """\
cmds.file(sys.argv[1], open=True, force=True)
say("opened")
if sys.argv[3] == "save":
    cmds.file(rename=sys.argv[2])
    cmds.file(save=True, type="mayaAscii")
else:
    cmds.loadPlugin("fbxmaya")
    mel.eval('FBXExport -f "%s"' % sys.argv[2])
say("saved")
"""
        target = self.path("out.ma")
        status, out, err = run(code, source, target, "save")
        self.assertEqual((status, out), (-signal.SIGSEGV, b"opened\n"))
        with open(target, "rb") as f:
            partial = f.read()
        self.assertTrue(0 < len(partial) < len(full), (len(partial), len(full)))
        self.assertTrue(full.startswith(partial))
        status, out, err = run(code, source, self.path("out.fbx"), "export")
        self.assertEqual(status, -signal.SIGSEGV)
        with open(self.path("out.fbx"), "rb") as f:
            self.assertTrue(f.read().startswith(b"MAYASIM-FBX 1\n"))

    def test_in_process_host_refuses_to_act_out_a_crash(self):
        for behaviour in ("crash-on-open", "hang-on-open", "exit-on-open"):
            source = self.scene(behaviour + ".ma", behaviour)
            with self.assertRaises(mayasim.NotModelledError):
                cmds.file(source, open=True, force=True)
            self.assertEqual(host.scene.path, "")
        cmds.file(self.scene("save.ma", "crash-on-save"), open=True, force=True)
        cmds.file(rename=self.path("out.ma"))
        with self.assertRaises(mayasim.NotModelledError):
            cmds.file(save=True)
        self.assertFalse(os.path.exists(self.path("out.ma")))

    def test_markers_are_checked(self):
        with self.assertRaises(ValueError):
            mayasim.write_scene(self.path("x.ma"), behaviour="crash-on-close")
        with open(self.path("typo.ma"), "w") as f:
            f.write("//Maya ASCII 2024 scene\n//mayasim: crash-on-clsoe\n")
        with self.assertRaises(mayasim.NotModelledError):
            cmds.file(self.path("typo.ma"), open=True, force=True)
        # a save writes no marker: the output of a crash-on-save scene is clean
        cmds.file(self.scene("s.mb", "crash-on-save", "mb"), open=True, force=True)
        cmds.file(new=True, force=True)
        self.assertIsNone(host.scene.behaviour)


class CostTest(WorkerTestCase):
    def test_a_killed_save_leaves_a_partial_file(self):
        source = self.scene("a.ma")
        full = self.saved_in_process(source, "out.ma")
        code = PROLOGUE + """\
cmds.file(sys.argv[1], open=True, force=True)
cmds.file(rename=sys.argv[2])
say("saving")
cmds.file(save=True, type="mayaAscii")
say("saved")
"""
        target = self.path("out.ma")
        proc = start(code, source, target, MAYASIM_COST_SAVE="0.3")
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        self.assertEqual(proc.stdout.readline(), b"saving\n")
        time.sleep(0.15)
        proc.kill()
        proc.communicate()
        with open(target, "rb") as f:
            partial = f.read()
        self.assertTrue(0 < len(partial) < len(full), (len(partial), len(full)))
        self.assertTrue(full.startswith(partial))

    def test_costs_from_the_environment_are_waited_out(self):
        source = self.scene("a.ma")
        code = PROLOGUE.replace('maya.standalone.initialize(name="python")', """\
t0 = time.monotonic()
maya.standalone.initialize(name="python")
took = {"initialize": time.monotonic() - t0}""") + """\
cmds.loadPlugin("fbxmaya")
def save():
    cmds.file(rename=sys.argv[2])
    cmds.file(save=True)
for what, call in (("open", lambda: cmds.file(sys.argv[1], open=True, force=True)),
                   ("save", save),
                   ("export", lambda: mel.eval('FBXExport -f "%s"' % sys.argv[3]))):
    t0 = time.monotonic()
    call()
    took[what] = time.monotonic() - t0
result([took, mayasim.host.costs])
"""
        costs = {"initialize": 0.1, "open": 0.15, "save": 0.2, "export": 0.25}
        env = dict(("MAYASIM_COST_" + k.upper(), str(v)) for k, v in costs.items())
        status, out, err = run(code, source, self.path("o.ma"), self.path("o.fbx"), **env)
        self.assertEqual(status, 0, err)
        took, seen = result_of(out)
        self.assertEqual(seen, costs)
        for what, cost in costs.items():
            self.assertGreaterEqual(took[what], cost * 0.95, what)
            self.assertLess(took[what], cost + 0.5, what)

    def test_workers_wait_side_by_side(self):
        source = self.scene("a.ma")
        code = PROLOGUE + "cmds.file(sys.argv[1], open=True, force=True)\n"
        t0 = time.monotonic()
        procs = [start(code, source, MAYASIM_COST_OPEN="0.5") for _ in range(4)]
        for p in procs:
            p.communicate(timeout=20)
            self.assertEqual(p.returncode, 0)
        self.assertLess(time.monotonic() - t0, 1.6)   # one after another: over 2 s

    def test_in_process_costs(self):
        self.assertEqual(host.costs, {"initialize": 0.0, "open": 0.0, "save": 0.0, "export": 0.0})
        source = self.scene("a.ma")
        host.costs["open"] = 0.1
        t0 = time.monotonic()
        cmds.file(source, open=True, force=True)
        self.assertGreaterEqual(time.monotonic() - t0, 0.095)
        os.environ["MAYASIM_COST_OPEN"] = "5"
        self.addCleanup(os.environ.pop, "MAYASIM_COST_OPEN", None)
        mayasim.reset()
        self.assertEqual(host.costs["open"], 0.0)
        with self.assertRaisesRegex(ValueError, "MAYASIM_COST_SAVE"):
            standalone.costs_from_env({"MAYASIM_COST_SAVE": "soon"})
        with self.assertRaises(ValueError):
            standalone.costs_from_env({"MAYASIM_COST_OPEN": "-1"})


class JournalFileTest(WorkerTestCase):
    def test_each_call_is_one_json_line(self):
        journal = self.path("calls.jsonl")
        code = PROLOGUE + """\
cmds.file(new=True, force=True)
cmds.about(batch=True)
try:
    cmds.window("w", title="T")
except RuntimeError:
    pass
cmds.evalDeferred(lambda: None)
mel.eval("FBXExportBakeComplexAnimation -q")
"""
        status, out, err = run(code, MAYASIM_JOURNAL_FILE=journal)
        self.assertEqual(status, 1)          # the MEL call fails: no fbxmaya
        with open(journal) as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual([(c["command"], c["args"]) for c in lines],
                         [("file", []), ("about", []), ("window", ["w"]),
                          ("evalDeferred", [lines[3]["args"][0]]),
                          ("mel.eval", ["FBXExportBakeComplexAnimation -q"])])
        self.assertEqual(lines[0]["flags"], [["new", True], ["force", True]])
        self.assertEqual(lines[2]["flags"], [["title", "T"]])
        self.assertIn("lambda", lines[3]["args"][0])


if __name__ == "__main__":
    unittest.main()

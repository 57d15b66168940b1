"""Shared fixtures of the farm tests: velmora-batch's farm commands run as
real processes of the simulated mayapy, scene folders, and plans read back."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import BUILD, ROOT, SIM  # noqa: F401  (puts sim/ and build/ on sys.path)
import mayasim
from install_support import tree

MAYAPY = os.path.join(SIM, "bin", "mayapy")
EXAMPLES = os.path.join(ROOT, "examples", "scenes")
# What a farm node runs: the module imported from the build, its farm entry.
BOOT = "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))"


def node_environment(extra=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = BUILD
    # The interpreter running the tests is the one the simulated mayapy runs.
    env["MAYASIM_PYTHON"] = sys.executable
    for name in ("SLURM_ARRAY_TASK_ID", "CUE_IFRAME", "VELMORA_TASK_INDEX",
                 "AWS_BATCH_JOB_ARRAY_INDEX", "PBS_ARRAY_INDEX"):
        env.pop(name, None)
    env.update(extra or {})
    return env


def farm(*args, env=None, timeout=120, **kwargs):
    """velmora-batch <args> as a process of the simulated mayapy."""
    return subprocess.run([MAYAPY, "-c", BOOT] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          env=node_environment(env), timeout=timeout, **kwargs)


# Every file below a folder, relative with "/" separators, sorted.
files_under = tree


class FarmTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velmora-farm-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.jobdir = os.path.join(self.tmp, "job")

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def scenes(self, names, folder="scenes", nodes=1, **kw):
        """Scene files under tmp/<folder>; nodes: a count, or a dict of name -> count
        (more nodes make a bigger file)."""
        for name in names:
            path = self.path(folder, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            count = nodes.get(name, 1) if isinstance(nodes, dict) else nodes
            fmt = os.path.splitext(name)[1][1:].lower()
            mayasim.write_scene(path, fmt=fmt if fmt in ("ma", "mb", "fbx") else "ma",
                                nodes=["n%d" % i for i in range(count)], **kw)
        return self.path(folder)

    def plan(self, folder, *options, tasks=3, jobdir=None, expect=0):
        done = farm("plan", folder, "--tasks", tasks, "--out", jobdir or self.jobdir,
                    "--mayapy", MAYAPY, *options)
        self.assertEqual(done.returncode, expect, done.stdout + done.stderr)
        return done

    def manifest(self, jobdir=None):
        with open(os.path.join(jobdir or self.jobdir, "manifest.json"), encoding="utf-8") as f:
            return json.load(f)

    def task_sources(self, manifest=None):
        m = manifest or self.manifest()
        return [[m["sources"][i] for i in task["sources"]] for task in m["tasks"]]

    def run_task(self, index, *options, expect=None, env=None, jobdir=None):
        done = farm("run-task", jobdir or self.jobdir, index, *options, env=env)
        if expect is not None:
            self.assertEqual(done.returncode, expect, done.stdout + done.stderr)
        return done

    def report(self, *options, expect=None, jobdir=None):
        done = farm("report", jobdir or self.jobdir, *options)
        if expect is not None:
            self.assertEqual(done.returncode, expect, done.stdout + done.stderr)
        return done

    def results(self, jobdir=None):
        with open(os.path.join(jobdir or self.jobdir, "results.json"), encoding="utf-8") as f:
            return json.load(f)

"""run-task and report with real processes of the simulated mayapy: tasks
together give what one batch gives, a task run again resumes, a killed task
resumed writes every output once, a node that mounts the share elsewhere,
and the report of a job still in progress."""

import json
import os
import shutil
import signal
import subprocess
import time
import unittest

from farm_support import (EXAMPLES, MAYAPY, ROOT, FarmTestCase, farm, files_under, node_environment)

BATCH = "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))"


def statistics(report):
    """The counting lines of a statistics report."""
    return [l for l in report.splitlines() if l.split(":")[0] in ("Total", "Success", "Failed", "Skipped")]


def relative(paths, folder):
    return sorted(os.path.relpath(p, folder).replace(os.sep, "/") for p in paths)


class TasksMakeOneBatch(FarmTestCase):
    def one_batch(self, folder, *options):
        """One plain headless run of velmora-batch on the folder."""
        done = subprocess.run([MAYAPY, "-c", BATCH, folder, "--mayapy", MAYAPY, "--jobs", "1",
                               "--journal", self.path("plain.journal")] + list(options),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              env=node_environment(), timeout=120)
        return done

    def test_same_totals_and_outputs_as_one_batch(self):
        names = ["a.ma", "a.fbx", "a_001.ma", "b.ma", "sub/a.ma", "sub/c.mb", "sub/deep/d.ma", "e.fbx"]
        self.scenes(names, folder="plain")
        shutil.copytree(EXAMPLES, self.path("plain", "examples"))
        # An output already there before either run: the numbered names must agree.
        shutil.copy(self.path("plain", "b.ma"), self.path("plain", "b.mb"))
        shutil.copytree(self.path("plain"), self.path("farmed"))
        options = ("--outputs", "mb,fbx")
        plain = self.one_batch(self.path("plain"), *options)
        self.assertEqual(plain.returncode, 1, plain.stderr)  # the example's damaged scene

        self.plan(self.path("farmed"), *options, tasks=3)
        for index in range(3):
            self.run_task(index)
        done = self.report(expect=1)
        self.assertEqual(statistics(done.stdout), statistics(plain.stdout))
        self.assertIn("damaged_export.ma", done.stdout)
        self.assertIn("All 3 tasks complete.", done.stdout)
        self.assertEqual(files_under(self.path("farmed")), files_under(self.path("plain")))
        results = self.results()
        self.assertEqual(results["total"], len(self.manifest()["sources"]))
        self.assertEqual(results["pending"], [])
        self.assertEqual(len(results["outputs"]), len(set(results["outputs"])))
        self.assertIn("a_001.mb", relative(results["outputs"], self.path("farmed")))
        self.assertIn("b_001.mb", relative(results["outputs"], self.path("farmed")))

    def test_report_of_a_job_in_progress(self):
        folder = self.scenes(["a.ma", "b.ma", "c.ma"])
        self.plan(folder, "--outputs", "mb", tasks=3)
        done = self.report(expect=1)  # before any task has started
        self.assertEqual(done.stderr, "")
        self.assertIn("Time: 0m 0s\n\nTotal: 3\nSuccess: 0\n", done.stdout)
        self.assertEqual(done.stdout.count("not started (1 sources)"), 3)
        self.assertIsNone(self.results()["start_time"])
        self.run_task(1, expect=0)
        done = self.report(expect=1)
        tasks = self.task_sources()
        self.assertIn("Total: 3", done.stdout)
        self.assertIn("Success: 1", done.stdout)
        self.assertIn("task 0: not started (1 sources)", done.stdout)
        self.assertIn("task 2: not started (1 sources)", done.stdout)
        self.assertNotIn("task 1:", done.stdout)
        self.assertIn("velmora-batch run-task %s 0" % self.jobdir, done.stdout)
        self.assertIn("velmora-batch run-task %s 2" % self.jobdir, done.stdout)
        self.assertIn("submit --farm FARM %s --only 0,2" % self.jobdir, done.stdout)
        with open(os.path.join(self.jobdir, "submissions.log"), "w") as f:
            f.write("1796000000.0 slurm 17\n")
        self.assertIn("submit --farm slurm %s --only 0,2" % self.jobdir, self.report(expect=1).stdout)
        pending = relative(self.results()["pending"], folder)
        self.assertEqual(pending, sorted(tasks[0] + tasks[2]))
        for index in (0, 2):
            self.run_task(index, expect=0)
        self.assertIn("All 3 tasks complete.", self.report(expect=0).stdout)


    def test_a_damaged_or_foreign_journal_is_named_not_merged(self):
        folder = self.scenes(["a.ma", "b.ma", "c.ma"])
        self.plan(folder, "--outputs", "mb", tasks=3)
        for index in range(3):
            self.run_task(index, expect=0)
        journals = os.path.join(self.jobdir, "tasks")
        with open(os.path.join(journals, "task-0000.journal"), "w") as f:
            f.write("not a journal\n")
        # Task 1's journal swapped for one of another plan's sources.
        other = self.path("other")
        self.scenes(["zzz.ma"], folder="other")
        self.plan(other, "--outputs", "mb", tasks=1, jobdir=self.path("otherjob"))
        self.run_task(0, expect=0, jobdir=self.path("otherjob"))
        shutil.copy(os.path.join(self.path("otherjob"), "tasks", "task-0000.journal"),
                    os.path.join(journals, "task-0001.journal"))
        done = self.report(expect=1)
        self.assertIn("task 0: journal unreadable", done.stdout)
        self.assertIn("task 1: journal unreadable", done.stdout)
        self.assertIn("Total: 3", done.stdout)
        self.assertIn("Success: 1", done.stdout)
        self.assertEqual(relative(self.results()["outputs"], folder), [self.task_sources()[2][0][:-3] + ".mb"])


class Resuming(FarmTestCase):
    def test_a_task_run_again_converts_nothing_again(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=1)
        self.run_task(0, expect=0)
        before = files_under(folder)
        again = self.run_task(0, expect=0)
        self.assertIn("(resuming)", again.stdout)
        self.assertEqual(files_under(folder), before)
        self.assertEqual(before, ["a.ma", "a.mb", "b.ma", "b.mb"])

    def test_failed_sources_are_retried_by_the_command_the_report_gives(self):
        folder = self.scenes(["a.ma"], behaviour="exit-on-open")
        self.scenes(["b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=1)
        self.run_task(0, expect=1)
        done = self.report(expect=1)
        retry = "velmora-batch run-task %s 0 --retry-failed" % self.jobdir
        self.assertIn("To convert the failed sources again, run:\n  " + retry, done.stdout)
        self.run_task(0, expect=1)   # a plain rerun leaves the failure alone
        self.scenes(["a.ma"])        # its cause mended
        self.run_task(0, "--retry-failed", expect=0)
        done = self.report(expect=0)
        self.assertNotIn("--retry-failed", done.stdout)
        self.assertEqual(files_under(folder), ["a.ma", "a.mb", "b.ma", "b.mb"])

    def test_files_added_after_planning_are_not_taken(self):
        folder = self.scenes(["a.ma"])
        self.plan(folder, "--outputs", "mb", tasks=1)
        self.scenes(["late.ma"])
        self.run_task(0, expect=0)
        self.assertEqual(files_under(folder), ["a.ma", "a.mb", "late.ma"])
        self.assertIn("Total: 1", self.report(expect=0).stdout)

    @unittest.skipUnless(os.path.isdir("/proc") and hasattr(os, "killpg"), "needs /proc and process groups")
    def test_a_killed_task_resumed_writes_every_output_once(self):
        names = ["s%d.ma" % i for i in range(6)]
        folder = self.scenes(names)
        self.plan(folder, "--outputs", "mb,fbx", "--jobs", "2", tasks=1)
        slow = {"MAYASIM_COST_SAVE": "0.3", "MAYASIM_COST_EXPORT": "0.3", "VELMORA_TEST_MARK": self.tmp}
        journal = os.path.join(self.jobdir, "tasks", "task-0000.journal")
        task = subprocess.Popen([MAYAPY, "-c", "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))",
                                 "run-task", self.jobdir, "0"], env=node_environment(slow),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            # Killed, as a farm kills a task, once some sources are done and others are in the making.
            deadline = time.time() + 60
            while time.time() < deadline and self.records(journal) < 2:
                time.sleep(0.05)
            self.assertGreaterEqual(self.records(journal), 2)
        finally:
            os.killpg(task.pid, signal.SIGKILL)
            task.wait()
        self.assertLess(self.records(journal), len(names))
        self.wait_for_workers_to_go(self.tmp)
        self.run_task(0, expect=0, env=slow)
        expected = sorted(names + [n[:-3] + ext for n in names for ext in (".mb", ".fbx")])
        self.assertEqual(files_under(folder), expected)
        done = self.report(expect=0)
        self.assertIn("Success: %d" % len(names), done.stdout)
        self.assertEqual(len(self.results()["outputs"]), 2 * len(names))

    def test_a_task_whose_journal_is_torn_runs_again_cleanly(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=1)
        self.run_task(0, expect=0)
        journal = os.path.join(self.jobdir, "tasks", "task-0000.journal")
        with open(journal, "rb") as f:
            data = f.read()
        lines = data.split(b"\n")[:-1]
        batch, last = json.loads(lines[0].decode())["batch"], json.loads(lines[-2].decode())
        # The node died while writing the last source's record: half of it
        # is on disk; its output was published, its temporary name is there.
        start = len(data) - len(lines[-1]) - len(lines[-2]) - 2
        with open(journal, "wb") as f:
            f.write(data[:start + len(lines[-2]) // 2])
        os.link(os.path.join(folder, last["outputs"][0]),
                os.path.join(folder, ".velmora-%s.%d.mb" % (batch, last["source"])))
        done = self.report(expect=1)
        self.assertIn("task 0: 1 of 2 sources not finished", done.stdout)
        self.assertEqual(done.stderr, "")
        for _ in range(2):
            done = self.run_task(0, expect=0)
            self.assertNotIn("Traceback", done.stderr)
        self.assertEqual(files_under(folder), ["a.ma", "a.mb", "b.ma", "b.mb"])
        done = self.report(expect=0)
        self.assertIn("Success: 2", done.stdout)
        self.assertIn("All 1 tasks complete.", done.stdout)

    @staticmethod
    def records(journal):
        if not os.path.exists(journal):
            return 0
        with open(journal, encoding="utf-8") as f:
            return sum(1 for line in f if line.startswith('{"source"'))

    def wait_for_workers_to_go(self, marker):
        """The killed task's workers stop by themselves (or died with it); the
        resumed run must not race with one still finishing a file. They are
        found by a variable of the environment they inherited."""
        needle = ("VELMORA_TEST_MARK=" + marker).encode()
        deadline = time.time() + 30
        while time.time() < deadline:
            alive = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open("/proc/%s/environ" % pid, "rb") as f:
                        if needle in f.read().split(b"\0"):
                            alive.append(pid)
                except OSError:
                    pass
            if not alive:
                return
            time.sleep(0.1)
        self.fail("workers of the killed task still running: %s" % alive)

    def test_a_running_task_is_not_started_twice(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, "--outputs", "mb", "--jobs", "1", tasks=1)
        first = subprocess.Popen([MAYAPY, "-c", "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))",
                                  "run-task", self.jobdir, "0"],
                                 env=node_environment({"MAYASIM_COST_INITIALIZE": "2"}),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        try:
            journal = os.path.join(self.jobdir, "tasks", "task-0000.journal")
            deadline = time.time() + 30
            while not os.path.exists(journal) and time.time() < deadline:
                time.sleep(0.05)
            second = self.run_task(0, expect=1)
            self.assertIn("running already", second.stderr)
        finally:
            try:
                out, err = first.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                first.kill()
                out, err = first.communicate()
                self.fail("the first run hung:\n" + out + err)
        self.assertEqual(first.returncode, 0, out + err)
        self.assertEqual(files_under(folder), ["a.ma", "a.mb", "b.ma", "b.mb"])


class Nodes(FarmTestCase):
    def test_a_node_that_mounts_the_share_elsewhere(self):
        folder = self.scenes(["x/a.ma", "y/b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=2)
        moved = self.path("mnt", "share")
        os.makedirs(os.path.dirname(moved))
        os.rename(folder, moved)
        refused = self.run_task(0, expect=2)
        self.assertIn("--folder", refused.stderr)
        for index in range(2):
            self.run_task(index, "--folder", moved, expect=0)
        self.assertEqual(files_under(moved), ["x/a.ma", "x/a.mb", "y/b.ma", "y/b.mb"])
        self.report("--folder", moved, expect=0)
        self.assertEqual(relative(self.results()["outputs"], moved), ["x/a.mb", "y/b.mb"])

    def test_the_index_from_the_farms_environment(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=2)
        done = self.run_task("auto", expect=0, env={"CUE_IFRAME": "1"})
        self.assertIn("task 1 of 2", done.stdout)
        done = self.run_task("auto", expect=0, env={"SLURM_ARRAY_TASK_ID": "0"})
        self.assertIn("task 0 of 2", done.stdout)
        for index, text in (("x", "task number or auto"), ("2", "not in the plan"), ("-1", "not in the plan")):
            self.assertIn(text, self.run_task(index, expect=2).stderr)
        self.assertIn("SLURM_ARRAY_TASK_ID", self.run_task("auto", expect=2).stderr)


class TheSimulatorsCommand(FarmTestCase):
    """tools/velmora-batch, the command on the simulated Maya, gives the
    farm's commands only their own arguments."""

    def tool(self, *args, expect):
        done = subprocess.run([os.path.join(ROOT, "tools", "velmora-batch")] + [str(a) for a in args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              env=node_environment(), timeout=300)
        self.assertEqual(done.returncode, expect, done.stdout + done.stderr)
        return done

    def test_report_and_run_task_of_a_planned_job(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, "--outputs", "mb", tasks=1)
        self.assertIn("task 0: not started (2 sources)", self.tool("report", self.jobdir, expect=1).stdout)
        self.tool("run-task", self.jobdir, 0, expect=0)
        self.assertEqual(files_under(folder), ["a.ma", "a.mb", "b.ma", "b.mb"])
        self.assertIn("All 1 tasks complete.", self.tool("report", self.jobdir, expect=0).stdout)

"""velmora-batch plan: the manifest, the partition of the sources into tasks
and the checks on its arguments."""

import json
import os
import random

from farm_support import FarmTestCase, farm, MAYAPY

PER_FILE = 256 * 1024  # the fixed work of one file in the partition


class Partition(FarmTestCase):
    def test_every_source_once_in_the_windows_order_within_each_task(self):
        names = ["a.ma", "b.ma", "sub/c.ma", "sub/d.fbx", "sub/deeper/e.mb", "f.MA", "g.txt"]
        folder = self.scenes(names)
        self.plan(folder, tasks=3)
        m = self.manifest()
        self.assertEqual(sorted(m["sources"]), sorted(n for n in names if not n.endswith(".txt")))
        indices = [i for task in m["tasks"] for i in task["sources"]]
        self.assertEqual(sorted(indices), list(range(len(m["sources"]))))
        for task in m["tasks"]:
            self.assertEqual(task["sources"], sorted(task["sources"]))
        self.assertEqual(len(m["tasks"]), 3)
        for rel in m["sources"]:
            self.assertNotIn("\\", rel)
            self.assertFalse(os.path.isabs(rel))

    def test_sources_that_compete_for_an_output_name_share_a_task(self):
        # a.ma/a.mb/a.fbx make the same a.<fmt>; a_001.ma takes the name that
        # a.fbx gets when a.mb exists; A.ma too on a share that ignores case.
        competing = ["x/a.ma", "x/a.fbx", "x/a_001.ma", "x/A.mb", "x/a_002_001.fbx"]
        others = ["y/a.ma", "x/b.ma", "x/c.ma", "x/d.ma", "x/ab.ma", "x/a.b.ma"]
        folder = self.scenes(competing + others)
        self.plan(folder, tasks=4)
        tasks = self.task_sources()
        holder = [t for t in tasks if "x/a.ma" in t]
        self.assertEqual(len(holder), 1)
        self.assertTrue(set(competing) <= set(holder[0]), tasks)
        # Another folder's a.ma and names that only begin alike are free to go elsewhere.
        self.assertEqual(len(tasks), 4)
        listing = self.manifest()["sources"]
        self.assertEqual(holder[0], [s for s in listing if s in holder[0]])

    def test_balanced_by_size_and_deterministic(self):
        rng = random.Random(12)
        sizes = {"s%02d.ma" % i: rng.choice([1, 5, 40, 200]) for i in range(30)}
        folder = self.scenes(sorted(sizes), nodes=sizes)
        self.plan(folder, tasks=4)
        first = self.manifest()
        self.plan(folder, tasks=4, jobdir=self.path("again"))
        second = self.manifest(self.path("again"))
        self.assertEqual(first["tasks"], second["tasks"])
        self.assertEqual(first["sources"], second["sources"])
        # Largest first onto the lightest task: no task holds more than the
        # lightest plus the largest single file.
        work = [t["bytes"] + PER_FILE * len(t["sources"]) for t in first["tasks"]]
        largest = max(os.path.getsize(os.path.join(folder, s)) for s in first["sources"]) + PER_FILE
        self.assertLessEqual(max(work) - min(work), largest)
        for task in first["tasks"]:
            self.assertEqual(task["bytes"], sum(os.path.getsize(os.path.join(folder, first["sources"][i]))
                                                for i in task["sources"]))

    def test_fewer_tasks_when_fewer_groups_than_asked(self):
        folder = self.scenes(["a.ma", "a.fbx", "b.ma"])
        done = self.plan(folder, tasks=5)
        self.assertEqual(sorted(map(sorted, self.task_sources())), [["a.fbx", "a.ma"], ["b.ma"]])
        self.assertIn("fewer than the 5 asked", done.stdout)

    def test_choices_and_options_recorded(self):
        folder = self.scenes(["a.ma", "sub/b.mb", "c.fbx"])
        self.plan(folder, "--sources", "ma,mb", "--outputs", "fbx,mb", "--preset", "Animation",
                  "--no-subdirs", "--skip-existing", "--jobs", "2", "--timeout", "30", tasks=1)
        m = self.manifest()
        self.assertEqual(m["sources"], ["a.ma"])
        self.assertEqual(m["choices"], {"extensions": [".ma", ".mb"], "outputs": ["mb", "fbx"],
                                        "preset": "Animation", "recursive": False, "skip_existing": True})
        self.assertEqual((m["jobs"], m["timeout"], m["mayapy"]), (2, 30.0, MAYAPY))
        self.assertEqual(m["folder"], os.path.abspath(folder))

    def test_paths_given_relative_are_stored_absolute(self):
        folder = self.scenes(["a.ma"])
        relative_mayapy = os.path.relpath(MAYAPY, self.tmp)
        done = farm("plan", "scenes", "--tasks", "1", "--out", "job", "--mayapy", relative_mayapy, cwd=self.tmp)
        self.assertEqual(done.returncode, 0, done.stderr)
        m = self.manifest()
        self.assertEqual((m["folder"], m["mayapy"]), (folder, os.path.abspath(MAYAPY)))


class BadArguments(FarmTestCase):
    def assertUsage(self, done, text):
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn(text, done.stderr)
        self.assertEqual(len(done.stderr.strip().splitlines()), 1, done.stderr)

    def test_plan_refuses_and_writes_nothing(self):
        folder = self.scenes(["a.ma"])
        empty = self.path("empty")
        os.makedirs(empty)
        cases = [
            (["plan", self.path("missing"), "--tasks", "2"], "folder not found"),
            (["plan", folder, "--tasks", "0"], "--tasks must be at least 1"),
            (["plan", folder, "--tasks", "2", "--outputs", "obj"], "unknown output format"),
            (["plan", folder, "--tasks", "2", "--jobs", "0"], "jobs must be"),
            (["plan", empty, "--tasks", "2"], "no source files"),
        ]
        for argv, text in cases:
            with self.subTest(argv=argv):
                self.assertUsage(farm(*argv, "--out", self.jobdir, "--mayapy", MAYAPY), text)
                self.assertFalse(os.path.exists(self.jobdir))

    def test_a_job_folder_that_cannot_be_made(self):
        folder = self.scenes(["a.ma"])
        blocker = self.path("a-file")
        open(blocker, "w").close()
        self.assertUsage(farm("plan", folder, "--tasks", "1", "--out", os.path.join(blocker, "job"),
                              "--mayapy", MAYAPY), "cannot write the plan")

    def test_a_second_plan_never_replaces_the_first(self):
        folder = self.scenes(["a.ma", "b.ma"])
        self.plan(folder, tasks=2)
        before = self.manifest()
        self.scenes(["c.ma"])
        self.assertUsage(farm("plan", folder, "--tasks", "1", "--out", self.jobdir, "--mayapy", MAYAPY),
                         "already holds a plan")
        self.assertEqual(self.manifest(), before)

    def test_commands_on_a_folder_that_is_no_plan(self):
        os.makedirs(self.jobdir)
        for command in (["report", self.jobdir], ["run-task", self.jobdir, "0"],
                        ["submit", "--farm", "slurm", self.jobdir]):
            with self.subTest(command=command[0]):
                self.assertUsage(farm(*command), "no manifest.json")
        with open(os.path.join(self.jobdir, "manifest.json"), "w") as f:
            f.write('{"manifest": "velmora-farm", "version": 1, "folder": "/x", "choices": {},'
                    ' "sources": ["a.ma"], "tasks": [{"sources": [3]}]}')
        self.assertUsage(farm("report", self.jobdir), "out of range")
        with open(os.path.join(self.jobdir, "manifest.json"), "w") as f:
            f.write("{not json")
        self.assertUsage(farm("report", self.jobdir), "cannot read manifest.json")

    def test_run_task_checks_the_plan_as_the_command_checks_a_user(self):
        folder = self.scenes(["a.ma"])
        self.plan(folder, tasks=1)
        planned = self.manifest()
        # (what the plan says, the same as velmora-batch's options)
        cases = [
            ({"outputs": ["mb", "obj"]}, ["--outputs", "mb,obj"]),
            ({"extensions": [".ma", "abc"]}, ["--sources", "ma,abc"]),
            ({"preset": "Animated"}, ["--preset", "Animated"]),
            ({"jobs": 0}, ["--jobs", "0"]),
            ({"jobs": 300}, ["--jobs", "300"]),
            ({"timeout": -5.0}, ["--timeout", "-5"]),
        ]
        for change, options in cases:
            with self.subTest(change=change):
                self.write_plan(planned, change)
                refused = farm("run-task", self.jobdir, 0)
                command = farm(folder, "--mayapy", MAYAPY, "--journal", self.path("unused.journal"), *options)
                self.assertUsage(command, "error:")
                self.assertUsage(refused, "error:")
                self.assertEqual(refused.stderr, command.stderr)
                self.assertEqual(os.listdir(os.path.join(self.jobdir, "tasks")), [])
                self.assertEqual(sorted(os.listdir(folder)), ["a.ma"])
        for change, text in (({"jobs": "two"}, "jobs must be a whole number from 1 to 256, not 'two'"),
                             ({"timeout": True}, "timeout must be a number of seconds above 0, not True"),
                             ({"outputs": None}, "the choices lack the source types or the output formats")):
            with self.subTest(change=change):
                self.write_plan(planned, change)
                self.assertUsage(farm("run-task", self.jobdir, 0), text)
        # The node's own values too.
        self.write_plan(planned, {})
        self.assertUsage(farm("run-task", self.jobdir, 0, "--jobs", "0"), "jobs must be a whole number")
        self.assertUsage(farm("run-task", self.jobdir, 0, "--timeout", "0"), "timeout must be a number")
        self.assertEqual(os.listdir(os.path.join(self.jobdir, "tasks")), [])

    def write_plan(self, planned, change):
        manifest = dict(planned, choices=dict(planned["choices"]))
        for key, value in change.items():
            (manifest if key in manifest else manifest["choices"])[key] = value
        with open(os.path.join(self.jobdir, "manifest.json"), "w", encoding="utf-8") as f:
            json.dump(manifest, f)

    def test_unknown_command_and_farm(self):
        # Any other first word is the folder of a plain batch.
        self.assertUsage(farm("planx"), "folder not found: planx")
        done = farm("submit", "--farm", "lsf", self.jobdir)
        self.assertEqual(done.returncode, 2)
        self.assertIn("invalid choice", done.stderr)

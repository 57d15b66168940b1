"""velmora-batch submit: the four managers' job descriptions, checked
against each format's documented structure, and each one's task command
run for real with the manager's index token filled in; submission through
the manager's command when it is on the PATH."""

import ast
import json
import os
import re
import shlex
import shutil
import stat
import subprocess

from farm_support import BUILD, FarmTestCase, farm, files_under, node_environment

TASKS = 3


class Descriptions(FarmTestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.scenes(["a.ma", "b.ma", "sub/c.ma"])
        self.plan(self.folder, "--outputs", "mb", "--timeout", "30", "--jobs", "2", tasks=TASKS)

    def submit(self, manager, *options):
        done = farm("submit", "--farm", manager, self.jobdir, "--dry-run", *options)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done

    def read(self, name):
        with open(os.path.join(self.jobdir, name), encoding="utf-8") as f:
            return f.read()

    def run_command(self, argv):
        """A task's command line as the node runs it (the job's environment
        is the test's node environment)."""
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, env=node_environment(), timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done

    def assertTaskDone(self, index):
        converted = [s for s in self.task_sources()[index]]
        for rel in converted:
            self.assertTrue(os.path.exists(os.path.join(self.folder, rel[:-3] + ".mb")), rel)

    def test_slurm_array_script(self):
        self.submit("slurm", "--name", "shots")
        script = self.read("slurm/job.sbatch")
        directives = re.findall(r"^#SBATCH (\S+)$", script, re.M)
        self.assertIn("--array=0-%d" % (TASKS - 1), directives)
        self.assertIn("--job-name=shots", directives)
        # 2 files at most per task and worker pair: one round of 30 s, plus start-up room.
        self.assertIn("--time=11", directives)
        self.assertIn("--cpus-per-task=2", directives)
        self.assertTrue(any(d.startswith("--output=" + os.path.join(self.jobdir, "logs")) for d in directives))
        self.assertTrue(script.startswith("#!/bin/sh\n"))
        # Directives come before the first command, or sbatch ignores them.
        body = [l for l in script.splitlines() if l and not l.startswith("#")]
        self.assertTrue(script.index(body[0]) > script.rindex("#SBATCH"))
        exec_line = body[-1]
        self.assertIn('run-task %s "$SLURM_ARRAY_TASK_ID"' % shlex.quote(self.jobdir), exec_line)
        subprocess.run(["sh", "-n", os.path.join(self.jobdir, "slurm/job.sbatch")], check=True)
        # The script itself, as Slurm runs element 1 of the array.
        env = node_environment({"SLURM_ARRAY_TASK_ID": "1"})
        done = subprocess.run(["sh", os.path.join(self.jobdir, "slurm/job.sbatch")], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("task 1 of 3", done.stdout)
        self.assertTaskDone(1)

    def test_deadline_commandline_job(self):
        self.submit("deadline")
        info = dict(l.split("=", 1) for l in self.read("deadline/job_info.job").splitlines())
        plugin = dict(l.split("=", 1) for l in self.read("deadline/plugin_info.job").splitlines())
        self.assertEqual(info["Plugin"], "CommandLine")
        self.assertEqual((info["Frames"], info["ChunkSize"]), ("0-%d" % (TASKS - 1), "1"))
        self.assertEqual(info["TaskTimeoutMinutes"], "11")
        self.assertEqual(info["Name"], "velmora-scenes")
        variable, value = info["EnvironmentKeyValue0"].split("=", 1)
        self.assertEqual(variable, "PYTHONPATH")
        self.assertTrue(os.path.isdir(value))
        self.assertEqual(set(plugin), {"Executable", "Arguments", "ShellExecute", "StartupDirectory"})
        self.assertEqual(plugin["ShellExecute"], "False")
        self.assertTrue(plugin["Arguments"].endswith(" <STARTFRAME>"))
        # Deadline fills the token with the task's frame and starts the executable.
        arguments = shlex.split(plugin["Arguments"].replace("<STARTFRAME>", "2"))
        self.assertEqual(arguments[-3:], ["run-task", self.jobdir, "2"])
        self.run_command([plugin["Executable"]] + arguments)
        self.assertTaskDone(2)

    def test_opencue_outline_with_one_shell_layer(self):
        self.submit("opencue")
        tree = ast.parse(self.read("opencue/job.outline"))
        imports = [n for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)]
        self.assertEqual([(i.module, [a.name for a in i.names]) for i in imports],
                         [("outline.modules.shell", ["Shell"])])
        layers = [n for n in ast.walk(tree) if isinstance(n, ast.Call) and getattr(n.func, "id", "") == "Shell"]
        self.assertEqual(len(layers), 1)
        keywords = {k.arg: ast.literal_eval(k.value) for k in layers[0].keywords}
        self.assertEqual(ast.literal_eval(layers[0].args[0]), "convert")
        self.assertEqual((keywords["range"], keywords["chunk"], keywords["timeout"]), ("0-2", 1, 11))
        command = keywords["command"]
        self.assertEqual(command[-3:], ["run-task", self.jobdir, "#IFRAME#"])
        env = [n for n in ast.walk(tree) if isinstance(n, ast.Call) and getattr(n.func, "attr", "") == "set_env"]
        self.assertEqual([ast.literal_eval(a) for a in env[0].args][0], "PYTHONPATH")
        self.run_command([w.replace("#IFRAME#", "0") for w in command])
        self.assertTaskDone(0)

    def test_open_job_description_template(self):
        self.submit("openjd")
        template = json.loads(self.read("openjd/template.json"))
        self.assertEqual(template["specificationVersion"], "jobtemplate-2023-09")
        self.assertTrue(1 <= len(template["name"]) <= 128)
        self.assertEqual(len(template["steps"]), 1)
        step = template["steps"][0]
        self.assertRegex(step["name"], r"^[^\x00-\x1f]{1,64}$")
        [parameter] = step["parameterSpace"]["taskParameterDefinitions"]
        self.assertEqual(parameter, {"name": "Index", "type": "INT", "range": "0-2"})
        self.assertRegex(parameter["name"], r"^[A-Za-z_][A-Za-z0-9_]*$")
        on_run = step["script"]["actions"]["onRun"]
        self.assertEqual(set(on_run), {"command", "args", "timeout"})
        self.assertIsInstance(on_run["timeout"], int)
        self.assertGreaterEqual(on_run["timeout"], 1)
        self.assertEqual(on_run["args"][-3:], ["run-task", self.jobdir, "{{Task.Param.Index}}"])
        # Every format string names only the task's own parameter.
        for text in [on_run["command"]] + on_run["args"]:
            self.assertEqual(set(re.findall(r"\{\{\s*(.*?)\s*\}\}", text)) - {"Task.Param.Index"}, set())
        self.assertEqual(step["hostRequirements"], {"amounts": [{"name": "amount.worker.vcpu", "min": 2}]})
        [environment] = step["stepEnvironments"]
        for name in environment["variables"]:
            self.assertRegex(name, r"^[A-Za-z_][A-Za-z0-9_]*$")
        self.run_command([on_run["command"]] + [a.replace("{{Task.Param.Index}}", "1") for a in on_run["args"]])
        self.assertTaskDone(1)

    def test_the_default_name_fits_every_manager(self):
        folder = self.scenes(["a.ma"], folder="props and sets (v2)")
        jobdir = self.path("spaced")
        self.plan(folder, tasks=1, jobdir=jobdir)
        self.assertEqual(farm("submit", "--farm", "slurm", jobdir, "--dry-run").returncode, 0)
        with open(os.path.join(jobdir, "slurm", "job.sbatch")) as f:
            self.assertIn("#SBATCH --job-name=velmora-props_and_sets_v2_\n", f.read())

    def test_a_single_task_and_no_timeout(self):
        jobdir = self.path("one")
        self.plan(self.folder, tasks=1, jobdir=jobdir)
        for manager in ("slurm", "deadline", "opencue", "openjd"):
            self.assertEqual(farm("submit", "--farm", manager, jobdir, "--dry-run").returncode, 0)
        read = lambda name: open(os.path.join(jobdir, name), encoding="utf-8").read()  # noqa: E731
        self.assertIn("#SBATCH --array=0\n", read("slurm/job.sbatch"))
        self.assertNotIn("--time", read("slurm/job.sbatch"))
        self.assertNotIn("--cpus-per-task", read("slurm/job.sbatch"))
        self.assertIn("Frames=0\n", read("deadline/job_info.job"))
        self.assertNotIn("TaskTimeout", read("deadline/job_info.job"))
        self.assertNotIn("timeout", read("opencue/job.outline"))
        on_run = json.loads(read("openjd/template.json"))["steps"][0]["script"]["actions"]["onRun"]
        self.assertNotIn("timeout", on_run)
        self.assertNotIn("hostRequirements", json.loads(read("openjd/template.json"))["steps"][0])

    def test_resubmitting_some_tasks_only(self):
        for manager in ("slurm", "deadline", "opencue", "openjd"):
            self.submit(manager, "--only", "2,0,2")
        self.assertIn("#SBATCH --array=0,2\n", self.read("slurm/job.sbatch"))
        self.assertIn("Frames=0,2\n", self.read("deadline/job_info.job"))
        self.assertIn("range='0,2',", self.read("opencue/job.outline"))
        template = json.loads(self.read("openjd/template.json"))
        self.assertEqual(template["steps"][0]["parameterSpace"]["taskParameterDefinitions"][0]["range"], "0,2")
        for bad, text in (("3", "not in the plan"), ("1,x", "task numbers such as")):
            done = farm("submit", "--farm", "slurm", self.jobdir, "--dry-run", "--only", bad)
            self.assertEqual(done.returncode, 2)
            self.assertIn(text, done.stderr)

    def test_own_command_on_the_nodes(self):
        self.submit("slurm", "--command", "/mnt/share/velmora/velmora-batch --quiet")
        script = self.read("slurm/job.sbatch")
        self.assertIn("exec /mnt/share/velmora/velmora-batch --quiet run-task", script)
        self.assertNotIn("PYTHONPATH", script)


class Submission(FarmTestCase):
    """The manager's command found on the PATH: here a small executable of
    the test's own that records its arguments and answers as the manager's
    command does."""

    def setUp(self):
        super().setUp()
        self.folder = self.scenes(["a.ma", "b.ma"])
        self.plan(self.folder, tasks=2)
        self.bin = self.path("bin")
        os.makedirs(self.bin)

    def program(self, name, answer, status=0):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> %s\necho '%s'\nexit %d\n"
                    % (shlex.quote(path + ".calls"), answer, status))
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def submit(self, manager, *options):
        return farm("submit", "--farm", manager, self.jobdir, *options,
                    env={"PATH": self.bin + os.pathsep + os.environ["PATH"]})

    def calls(self, name):
        path = os.path.join(self.bin, name + ".calls")
        return open(path).read().splitlines() if os.path.exists(path) else []

    def test_each_manager_gets_its_files_and_the_id_is_printed(self):
        cases = [("slurm", "sbatch", "4242;velmora", "job 4242",
                  ["--parsable " + os.path.join(self.jobdir, "slurm", "job.sbatch")]),
                 ("deadline", "deadlinecommand", "Result=Success\nJobID=5f0c2a", "job 5f0c2a",
                  [os.path.join(self.jobdir, "deadline", "job_info.job") + " "
                   + os.path.join(self.jobdir, "deadline", "plugin_info.job")]),
                 ("openjd", "deadline", "Submitting... job-0123abcd", "job job-0123abcd",
                  ["bundle submit --yes " + os.path.join(self.jobdir, "openjd")])]
        for manager, program, answer, shown, calls in cases:
            with self.subTest(manager=manager):
                self.program(program, answer)
                done = self.submit(manager)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("submitted to %s: %s" % (manager, shown), done.stdout)
                self.assertIn("velmora-batch report " + self.jobdir, done.stdout)
                self.assertEqual(self.calls(program), calls)
        log = open(os.path.join(self.jobdir, "submissions.log")).read().split("\n")
        self.assertEqual([l.split()[1:] for l in log if l],
                         [["slurm", "4242"], ["deadline", "5f0c2a"], ["openjd", "job-0123abcd"]])

    def test_dry_run_is_0_and_a_job_not_submitted_is_not(self):
        self.program("sbatch", "1")
        self.assertEqual(self.submit("slurm", "--dry-run").returncode, 0)
        self.assertEqual(self.calls("sbatch"), [])
        # No manager's command here: the files are written, the command
        # printed, and the status says nothing was submitted.
        done = farm("submit", "--farm", "opencue", self.jobdir, env={"PATH": self.bin + os.pathsep + "/usr/bin:/bin"})
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn("not on the PATH", done.stdout)
        self.assertIn("cuerun opencue/job.outline", done.stdout)
        self.assertEqual(done.stderr, "velmora-batch: not submitted (the files are written)\n")
        self.assertTrue(os.path.exists(os.path.join(self.jobdir, "opencue", "job.outline")))
        # Only the openjd command: it checks the template, which submits nothing.
        self.program("openjd", "Template at 'template.json' passes validation checks.")
        done = self.submit("openjd")
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertEqual(self.calls("openjd"), ["check " + os.path.join(self.jobdir, "openjd", "template.json")])
        self.assertIn("passes validation checks", done.stdout)
        self.assertIn("not submitted", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.jobdir, "submissions.log")))

    def test_a_refused_submission_fails_with_the_managers_words(self):
        self.program("sbatch", "sbatch: error: invalid partition specified", status=1)
        done = self.submit("slurm")
        self.assertEqual(done.returncode, 1)
        self.assertIn("invalid partition specified", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.jobdir, "submissions.log")))

    def test_descriptions_are_replaced_whole_and_nothing_else_is_left(self):
        self.submit("slurm", "--dry-run", "--name", "first")
        self.submit("slurm", "--dry-run", "--name", "second")
        script = open(os.path.join(self.jobdir, "slurm", "job.sbatch")).read()
        self.assertIn("--job-name=second", script)
        self.assertEqual([f for f in files_under(self.jobdir) if f.endswith(".tmp")], [])


class NodesGetOnlyWhatTheyNeed(FarmTestCase):
    """The job files hold nothing of the submitting machine but velmora's
    own folder, every path quoted for its format (or refused), and a node
    without --jobs takes what the manager allocated it."""

    def setUp(self):
        super().setUp()
        self.folder = self.scenes(["a.ma", "b.ma", "c.ma", "d.ma", "e.ma", "f.ma"])

    def module_folder(self, name, *others):
        """A folder holding velmora's binary, and `others` packages beside it."""
        folder = self.path(name)
        os.makedirs(folder)
        shutil.copy(os.path.join(BUILD, "velmora.abi3.so"), folder)
        for other in others:
            os.makedirs(os.path.join(folder, other))
            open(os.path.join(folder, other, "__init__.py"), "w").close()
        return folder

    def test_only_the_module_s_own_folder_goes_on_the_nodes_path(self):
        self.plan(self.folder, tasks=1)
        own = self.module_folder("velmora-module")
        done = farm("submit", "--farm", "deadline", self.jobdir, "--dry-run", env={"PYTHONPATH": own})
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.jobdir, "deadline", "job_info.job")) as f:
            self.assertIn("EnvironmentKeyValue0=PYTHONPATH=%s\n" % own, f.read())
        # A virtual environment's site-packages: its pip would reach the nodes.
        venv = self.module_folder("site-packages", "pip", "_distutils_hack")
        done = farm("submit", "--farm", "slurm", self.jobdir, "--dry-run", env={"PYTHONPATH": venv})
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn("holds other packages too (_distutils_hack, pip)", done.stderr)
        self.assertIn("give --command", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.jobdir, "slurm")))
        done = farm("submit", "--farm", "slurm", self.jobdir, "--dry-run", "--command", "/opt/velmora-batch",
                    env={"PYTHONPATH": venv})
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_a_module_folder_off_the_share_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a file system of its own needs root")
        self.plan(self.folder, tasks=1)
        local = self.path("local")
        os.makedirs(local)
        if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", local]) != 0:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.call, ["umount", local])
        shutil.copy(os.path.join(BUILD, "velmora.abi3.so"), local)
        done = farm("submit", "--farm", "slurm", self.jobdir, "--dry-run", env={"PYTHONPATH": local})
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn("velmora is loaded from %s, which is not on the share" % local, done.stderr)

    def test_paths_are_quoted_for_each_format_or_refused(self):
        jobdir = self.path("jobs 'q' \"d\" 50% #1")
        self.plan(self.folder, "--outputs", "mb", tasks=2, jobdir=jobdir)
        self.assertEqual(farm("submit", "--farm", "slurm", jobdir, "--dry-run", "--name", 'my "job"').returncode, 0)
        with open(os.path.join(jobdir, "slurm", "job.sbatch")) as f:
            script = f.read()
        logs = os.path.join(jobdir, "logs", "slurm-").replace("%", "%%").replace('"', '\\"')
        self.assertIn('\n#SBATCH --output="%s%%A_%%a.out"\n' % logs, script)
        self.assertIn('\n#SBATCH --job-name="my \\"job\\""\n', script)
        env = node_environment({"SLURM_ARRAY_TASK_ID": "1"})
        done = subprocess.run(["sh", os.path.join(jobdir, "slurm", "job.sbatch")], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for jobdir, manager, why in ((self.path("line\nbreak"), "slurm", "it holds a line break"),
                                     (self.path("line\nbreak"), "deadline", "it holds a line break"),
                                     (self.path("{{Task.File}}"), "openjd", "{{ begins a format string")):
            with self.subTest(manager=manager, jobdir=jobdir):
                if not os.path.exists(jobdir):
                    self.plan(self.folder, tasks=1, jobdir=jobdir)
                done = farm("submit", "--farm", manager, jobdir, "--dry-run")
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(why, done.stderr)
                self.assertFalse(os.path.exists(os.path.join(jobdir, manager)))

    def test_a_node_takes_its_allocation_when_no_jobs_is_given(self):
        self.plan(self.folder, "--outputs", "mb", tasks=1)
        logs = os.path.join(self.jobdir, "tasks", "task-0000.journal.logs")
        self.run_task(0, env={"SLURM_CPUS_PER_TASK": "3"}, expect=0)
        self.assertEqual(sorted(os.listdir(logs)), ["worker-1.log", "worker-2.log", "worker-3.log"])
        done = self.run_task(0, env={"SLURM_CPUS_PER_TASK": "many"}, expect=2)
        self.assertIn("SLURM_CPUS_PER_TASK='many' is not a number of processors; give --jobs", done.stderr)
        self.run_task(0, "--jobs", "1", env={"SLURM_CPUS_PER_TASK": "many"}, expect=0)

"""The farm end to end on a running Slurm cluster (tools/farm-test starts
one): the example scenes planned as 3 tasks against the simulated mayapy,
submitted with sbatch as a job array; one task cancelled with scancel in the
middle of its run and resubmitted; then the merged report and every output
on disk checked against one plain headless run of a copy of the folder.

Prints a line per check and ends with "N passed, N failed"; exits 1 when a
check failed.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build"))
MAYAPY = os.path.join(ROOT, "sim", "bin", "mayapy")
EXAMPLES = os.path.join(ROOT, "examples", "scenes")
FARM = "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))"
BATCH = "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))"
OPTIONS = ["--outputs", "mb,fbx", "--jobs", "1"]
# Slow enough that a task can be caught in the middle of a file; the job's
# environment reaches its tasks (sbatch exports the submitter's).
COSTS = {"MAYASIM_COST_INITIALIZE": "0.5", "MAYASIM_COST_OPEN": "0.5",
         "MAYASIM_COST_SAVE": "0.5", "MAYASIM_COST_EXPORT": "0.5"}
JOB_LIMIT = 240  # seconds a job may take here before the check gives up

passed = 0
failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("ok   " + what)
    else:
        failed += 1
        print("FAIL " + what + ("\n     " + detail.replace("\n", "\n     ") if detail else ""))
    sys.stdout.flush()
    return ok


def environment(extra=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = BUILD
    env["MAYASIM_PYTHON"] = sys.executable
    env.update(extra or {})
    return env


def run(argv, extra=None):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=environment(extra), timeout=JOB_LIMIT)


def farm(*args, extra=None):
    return run([MAYAPY, "-c", FARM] + list(args), extra)


def files_under(folder):
    found = []
    for root, _dirs, names in os.walk(folder):
        for name in names:
            found.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return sorted(found)


def statistics(report):
    return [l for l in report.splitlines() if l.split(":")[0] in ("Total", "Success", "Failed", "Skipped")]


def submit(jobdir, *options):
    done = farm("submit", "--farm", "slurm", jobdir, *options, extra=COSTS)
    found = re.search(r"submitted to slurm: job (\d+)", done.stdout)
    if not check("sbatch accepts the job " + " ".join(options), done.returncode == 0 and found,
                 done.stdout + done.stderr):
        raise SystemExit(1)
    return found.group(1)


def queued(job):
    out = run(["squeue", "-h", "-j", job, "-o", "%i %T"]).stdout
    return [l for l in out.splitlines() if l.strip()]


def wait_for_job(job):
    deadline = time.time() + JOB_LIMIT
    while time.time() < deadline:
        if not queued(job):
            return True
        time.sleep(0.5)
    return False


def job_states(job):
    """Each array element's final state, while Slurm still keeps it."""
    out = run(["scontrol", "-o", "show", "job", job]).stdout
    return sorted(re.findall(r"JobId=\d+ ArrayJobId=\d+ ArrayTaskId=(\d+) .*?JobState=(\S+)", out))


def victim_task(manifest):
    """A task without the deliberately broken example scene, so that its
    first file takes its whole cost."""
    for index, task in enumerate(manifest["tasks"]):
        if not any("damaged" in manifest["sources"][i] for i in task["sources"]):
            return index
    raise SystemExit("no task without the damaged scene")


def wait_until_converting(jobdir, task):
    """Until the task's worker has begun opening its first file."""
    log = os.path.join(jobdir, "tasks", "task-%04d.journal.logs" % task, "worker-1.log")
    deadline = time.time() + JOB_LIMIT
    while time.time() < deadline:
        if os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                if "Opening file" in f.read():
                    return True
        time.sleep(0.05)
    return False


def plain_run(work):
    folder = os.path.join(work, "plain")
    shutil.copytree(EXAMPLES, folder)
    done = run([MAYAPY, "-c", BATCH, folder, "--mayapy", MAYAPY, "--journal",
                os.path.join(work, "plain.journal")] + OPTIONS)
    check("one plain headless run (its damaged scene fails: exit 1)", done.returncode == 1,
          done.stdout + done.stderr)
    return folder, done.stdout


def main():
    work = tempfile.mkdtemp(prefix="velmora-farm-test-")
    try:
        checks(work)
    except SystemExit as stop:
        check("the remaining checks run", False, str(stop.code or ""))
    finally:
        if failed == 0:
            shutil.rmtree(work, True)
        else:
            print("     (the job's folder is kept: %s)" % work)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def checks(work):
    plain, plain_report = plain_run(work)
    folder = os.path.join(work, "farmed")
    jobdir = os.path.join(work, "job")
    shutil.copytree(EXAMPLES, folder)
    done = farm("plan", folder, "--tasks", "3", "--out", jobdir, "--mayapy", MAYAPY, *OPTIONS)
    check("plan: 3 tasks", done.returncode == 0 and "in 3 tasks" in done.stdout, done.stdout + done.stderr)
    with open(os.path.join(jobdir, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    victim = victim_task(manifest)

    job = submit(jobdir)
    caught = wait_until_converting(jobdir, victim)
    check("task %d caught converting its first file" % victim, caught)
    cancel = run(["scancel", "%s_%d" % (job, victim)])
    check("scancel of task %d" % victim, cancel.returncode == 0, cancel.stderr)
    check("the job array ends", wait_for_job(job), "\n".join(queued(job)))
    states = job_states(job)
    print("     array %s: %s" % (job, " ".join("%s=%s" % s for s in states)))
    check("task %d was cancelled" % victim, (str(victim), "CANCELLED") in states or not states, str(states))

    partial = farm("report", jobdir)
    for line in partial.stdout.splitlines():
        if line.startswith("  task "):
            print("     report:" + line)
    check("report: the cancelled task is not finished (exit 1)",
          partial.returncode == 1 and re.search(r"task %d: (\d+ of \d+ sources not finished|not started)"
                                                % victim, partial.stdout),
          partial.stdout + partial.stderr)
    check("report names the resubmission",
          "submit --farm slurm %s --only %d" % (jobdir, victim) in partial.stdout, partial.stdout)

    again = submit(jobdir, "--only", str(victim))
    check("the resubmitted task ends", wait_for_job(again), "\n".join(queued(again)))
    print("     array %s: %s" % (again, " ".join("%s=%s" % s for s in job_states(again))))

    final = farm("report", jobdir)
    check("report: all tasks complete, the damaged scene failed (exit 1)",
          final.returncode == 1 and "All 3 tasks complete." in final.stdout, final.stdout + final.stderr)
    check("report: the totals of one plain run", statistics(final.stdout) == statistics(plain_report),
          "\n".join(statistics(final.stdout)) + "\n  vs\n" + "\n".join(statistics(plain_report)))
    check("the same files on disk as one plain run (each output once, no numbered copies, "
          "no temporary files)", files_under(folder) == files_under(plain),
          "farm:  %s\nplain: %s" % (files_under(folder), files_under(plain)))
    with open(os.path.join(jobdir, "results.json"), encoding="utf-8") as f:
        outputs = json.load(f)["outputs"]
    check("results: every output listed once", len(outputs) == len(set(outputs)) and outputs, str(outputs))
    logs = [n for n in os.listdir(os.path.join(jobdir, "logs")) if n.startswith("slurm-")]
    check("Slurm's logs of the 3 tasks and the resubmission", len(logs) == 4, str(logs))


if __name__ == "__main__":
    sys.exit(main())

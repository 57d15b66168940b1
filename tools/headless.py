"""Runs velmora-batch on the simulated Maya, as a user runs it with mayapy:
the simulator's mayapy starts the workers, the options are the command's
own. Without a FOLDER (the first argument, unless it is an option), a fresh
copy of the bundled example scenes under out/ is converted; each run's
journal and worker logs go into its folder under out/ too. The plain batch
and plan get the simulator's mayapy and that journal unless they name
their own; run-task, report and submit take theirs from the job's plan, inspect and
clean need none;
doctor gets the simulator's mayapy unless it names one.
"""

import os
import shutil
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build")))

import velmora  # noqa: E402


def run_dir():
    base = os.path.join(ROOT, "out", time.strftime("headless-%Y%m%d-%H%M%S"))
    path, n = base, 1
    while os.path.exists(path):
        n += 1
        path = "%s-%d" % (base, n)
    os.makedirs(path)
    return path


# The commands that take no mayapy and no journal: the farm's on a planned
# job folder, and those that only read or tidy a folder.
PLAIN_COMMANDS = ("run-task", "report", "submit", "inspect", "clean")


def main(argv):
    argv = list(argv)
    if "-h" in argv or "--help" in argv:
        return velmora.batch_main(argv if argv and not argv[0].startswith("-") else ["FOLDER"] + argv)
    # The workers run the same interpreter as this script.
    os.environ.setdefault("MAYASIM_PYTHON", sys.executable)
    if argv and argv[0] in PLAIN_COMMANDS:
        return velmora.batch_main(argv)
    if argv and argv[0] == "doctor":
        if "--mayapy" not in argv:
            argv += ["--mayapy", os.path.join(ROOT, "sim", "bin", "mayapy")]
        return velmora.batch_main(argv)
    here = run_dir()
    if not argv or argv[0].startswith("-"):
        folder = os.path.join(here, "scenes")
        shutil.copytree(os.path.join(ROOT, "examples", "scenes"), folder)
        argv.insert(0, folder)
    if "--mayapy" not in argv:
        argv += ["--mayapy", os.path.join(ROOT, "sim", "bin", "mayapy")]
    if "--journal" not in argv:
        argv += ["--journal", os.path.join(here, "batch.journal")]
    return velmora.batch_main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

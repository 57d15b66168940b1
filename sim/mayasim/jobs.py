"""Script jobs: scripts Maya runs when something happens in the session.

Modelled: `scriptJob(uiDeleted=[ui, script])`, which runs the script once
the named window or control is deleted (by deleteUI, with its parent, or
by the user closing its window), and `exists=`, `kill=` on such jobs.
Like Maya's, a triggered job does not run at once: its script joins the
idle queue (`host.run_idle()` runs it). In batch mode the command does
nothing, as Maya's documentation says, and returns None.

Host state (put back by every reset):
    host.script_jobs   OrderedDict: job number -> Job
"""
from collections import OrderedDict

from . import commands
from .host import RESET_HOOKS, NotModelledError

_TRIGGERS = ("uiDeleted", "event", "conditionChange", "conditionTrue", "conditionFalse",
             "attributeChange", "attributeAdded", "attributeDeleted", "connectionChange",
             "nodeDeleted", "nodeNameChanged", "optionVarChanged", "idleEvent", "timeChange")


class Job(object):
    def __init__(self, number, control, script, parent):
        self.number = number
        self.control = control   # the UI object whose deletion triggers the job
        self.script = script
        self.parent = parent     # the UI object the job dies with, or None

    def __repr__(self):
        return "Job(%d, uiDeleted=%r)" % (self.number, self.control.name)


def reset(host):
    host.script_jobs = OrderedDict()
    host._job_count = 0


@commands.handler("scriptJob")
def cmd_script_job(host, args, mode, fl):
    if args:
        raise TypeError("scriptJob: takes no positional arguments")
    if host.batch:
        return None
    if "exists" in fl:
        return fl["exists"] in host.script_jobs
    if "kill" in fl:
        return _kill(host, fl)
    triggers = [f for f in fl if f in _TRIGGERS]
    if triggers != ["uiDeleted"]:
        commands._not_modelled("scriptJob", fl, mode)
    name, script = fl["uiDeleted"]
    control = host.ui.control(name)
    if control is None:
        raise NotModelledError("scriptJob: a job on UI that does not exist (%r)" % name)
    parent = None
    if "parent" in fl:
        parent = host.ui.get(fl["parent"])
    host._job_count += 1
    host.script_jobs[host._job_count] = Job(host._job_count, control, script, parent)
    return host._job_count


def _kill(host, fl):
    numbers = fl["kill"] if isinstance(fl["kill"], (list, tuple)) else [fl["kill"]]
    for number in numbers:
        if number not in host.script_jobs:
            raise NotModelledError("scriptJob: killing job %r, which does not exist" % (number,))
        del host.script_jobs[number]
    return None


def ui_deleted(host, removed):
    """After UI objects were deleted: the jobs on them are triggered (their
    scripts queued for idle time) and the jobs parented to them die."""
    gone = set(id(c) for c in removed)
    for number, job in list(host.script_jobs.items()):
        if id(job.control) in gone:
            del host.script_jobs[number]
            host.idle_queue.append(job.script)
        elif job.parent is not None and id(job.parent) in gone:
            del host.script_jobs[number]


RESET_HOOKS.append(reset)

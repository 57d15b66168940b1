"""Script jobs: scripts Maya runs when something happens in the session.

Modelled: `scriptJob(uiDeleted=[ui, script])`, which runs the script once
the named window or control is deleted (by deleteUI, with its parent, or
by the user closing its window); `scriptJob(event=[name, script])` for the
scene's events (EVENTS), with `killWithScene`, `runOnce`, `protected`,
`permanent`; `exists=`, `kill=` (with `force`), `killAll=`, `listJobs=`.
Like Maya's, a triggered job does not run at once: its script joins the
idle queue (`host.run_idle()` runs it). In batch mode the command does
nothing, as Maya's documentation says, and returns None. A job outlives
the scene it was made in unless made with killWithScene ("Attaches the job
to the current scene ... The current scene is emptied by opening a new or
existing scene").

Host state (put back by every reset):
    host.script_jobs   OrderedDict: job number -> Job
"""
from collections import OrderedDict

from . import commands
from .host import RESET_HOOKS, NotModelledError

_TRIGGERS = ("uiDeleted", "event", "conditionChange", "conditionTrue", "conditionFalse",
             "attributeChange", "attributeAdded", "attributeDeleted", "connectionChange",
             "nodeDeleted", "nodeNameChanged", "optionVarChanged", "idleEvent", "timeChange")


# The events of scriptJob -listEvents the simulator sends, as Maya's
# documentation describes them: SceneOpened "when a scene has been opened",
# SceneSaved "when a scene has been saved", NewSceneOpened "when a new scene
# has been opened", PostSceneRead "after a scene has been read", deleteAll
# "when a file new occurs".
EVENTS = ("SceneOpened", "SceneSaved", "NewSceneOpened", "PostSceneRead", "deleteAll")


class Job(object):
    def __init__(self, number, control, script, parent, event=None, flags=None):
        self.number = number
        self.control = control   # the UI object whose deletion triggers the job
        self.script = script
        self.parent = parent     # the UI object the job dies with, or None
        self.event = event       # or the event that triggers it
        flags = flags or {}
        self.kill_with_scene = bool(flags.get("killWithScene"))
        self.run_once = bool(flags.get("runOnce"))
        self.protected = bool(flags.get("protected"))
        self.permanent = bool(flags.get("permanent"))

    def describe(self):
        """A line of scriptJob -listJobs (the simulator's wording)."""
        if self.event is not None:
            what = '-event "%s" %r' % (self.event, self.script)
        else:
            what = '-uiDeleted "%s" %r' % (self.control.name, self.script)
        for flag in ("kill_with_scene", "run_once", "protected", "permanent"):
            if getattr(self, flag):
                what += " -" + {"kill_with_scene": "killWithScene", "run_once": "runOnce"}.get(
                    flag, flag)
        return "%d: %s" % (self.number, what)

    def __repr__(self):
        if self.event is not None:
            return "Job(%d, event=%r)" % (self.number, self.event)
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
    if fl.get("killAll"):
        for number, job in list(host.script_jobs.items()):
            if not job.permanent and (not job.protected or fl.get("force")):
                del host.script_jobs[number]
        return None
    if fl.get("listJobs"):
        return [job.describe() for job in host.script_jobs.values()]
    triggers = [f for f in fl if f in _TRIGGERS]
    if triggers == ["event"]:
        return _event_job(host, fl)
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


def _event_job(host, fl):
    name, script = fl["event"]
    if name not in EVENTS:
        raise NotModelledError("scriptJob: the event %r is not sent by the simulator" % (name,))
    if "parent" in fl:
        commands._not_modelled("scriptJob", fl, "create")
    host._job_count += 1
    host.script_jobs[host._job_count] = Job(host._job_count, None, script, None, name, fl)
    return host._job_count


def _kill(host, fl):
    numbers = fl["kill"] if isinstance(fl["kill"], (list, tuple)) else [fl["kill"]]
    for number in numbers:
        if number not in host.script_jobs:
            raise NotModelledError("scriptJob: killing job %r, which does not exist" % (number,))
        job = host.script_jobs[number]
        # What Maya prints here is not documented: these texts are the simulator's.
        if job.permanent:
            raise RuntimeError("scriptJob: job %d is permanent and cannot be killed" % number)
        if job.protected and not fl.get("force"):
            raise RuntimeError("scriptJob: job %d is protected; kill it with -force" % number)
    for number in numbers:
        host.script_jobs.pop(number, None)
    return None


def trigger(host, event):
    """`event` occurred: the scripts of its jobs join the idle queue (a MEL
    text as a callable running it), a runOnce job ends."""
    for number, job in list(host.script_jobs.items()):
        if job.event != event:
            continue
        script = job.script
        if getattr(job, "mel", False):
            script = (lambda text: lambda: commands.run_mel(host, text))(script)
        host.idle_queue.append(script)
        if job.run_once:
            del host.script_jobs[number]


def scene_emptied(host):
    """A file new or open empties the scene: killWithScene jobs end."""
    for number, job in list(host.script_jobs.items()):
        if job.kill_with_scene:
            del host.script_jobs[number]


def mel_job(host, flags):
    """scriptJob run by MEL (a script node's, a .ma's): its script is MEL."""
    if host.batch:
        return None
    from collections import OrderedDict
    from .flagtable import normalise
    mode, fl = normalise("scriptJob", list(flags.items()))
    number = cmd_script_job(host, (), mode, OrderedDict(fl))
    if number in host.script_jobs:
        host.script_jobs[number].mel = True
    return number


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

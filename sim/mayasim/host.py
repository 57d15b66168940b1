"""The simulated Maya session: journal, faults, scene, UI and global state."""
import functools
import json
import os
import sys
import threading
import time
import traceback
from collections import namedtuple

from . import flagtable
from .scene import Scene
from .ui import UI

Call = namedtuple("Call", "command args flags")

# Extension modules (shelf.py) put their own state back here on every reset.
RESET_HOOKS = []


class NotModelledError(Exception):
    """A valid Maya call that the simulator does not model.

    Deliberately not a RuntimeError, so code under test cannot swallow it as
    an ordinary Maya failure.
    """


class Fault(object):
    def __init__(self, command, nth=1, error=None, match=None, position=None):
        if position is None and nth < 1:
            raise ValueError("nth counts from 1")
        self.command = command
        self.nth = nth
        self.error = error
        self.match = match
        self.position = position
        self.seen = 0
        self.fired = False

    def make_error(self):
        err = self.error
        if err is None:
            return RuntimeError("simulated failure of %s" % self.command)
        if isinstance(err, type):
            return err("simulated failure of %s" % self.command)
        return err

    def __repr__(self):
        return "Fault(%r, nth=%r, match=%r, position=%r, fired=%r)" % (
            self.command, self.nth, self.match, self.position, self.fired)


class Host(object):
    DEFAULT_VERSION = "2024"
    KNOWN_PLUGINS = ("fbxmaya", "objExport", "mtoa", "AbcExport", "AbcImport",
                     "gpuCache", "matrixNodes", "quatNodes", "lookdevKit")

    COST_NAMES = ("initialize", "open", "save", "export", "per_mb")
    # Maya's open, save and export take time roughly in proportion to the
    # scene's size: these also cost "per_mb" seconds per megabyte of the
    # scene file opened.
    SIZED_COSTS = ("open", "save", "export")

    def __init__(self):
        self.scene = Scene()
        self.ui = UI()
        # The kind of session, fixed for the life of the process (not reset):
        # a standalone one is a mayapy process (sim/bin/mayapy), where no
        # command exists before maya.standalone.initialize().
        self.standalone = os.environ.get("MAYASIM_STANDALONE") == "1"
        self.initialized = False
        self.uninitialized = False
        self.journal_file = None
        self._journal_out = None
        self._batch = False
        self.reset()

    @property
    def batch(self):
        """Batch mode: no user interface. On in an initialized standalone
        session; a test may also set it in-process (reset() puts it back)."""
        return self._batch

    @batch.setter
    def batch(self, on):
        self._batch = bool(on)
        if self._batch:
            from . import shelf
            shelf.without_shelves(self)

    def reset(self):
        """Back to a freshly started Maya, in place."""
        self.costs = dict.fromkeys(self.COST_NAMES, 0.0)
        self.prompt = True
        self.journal = []
        self.faults = []
        self.scene.clear()
        self.ui.clear()
        self.plugins_loaded = set()
        self.available_plugins = set(self.KNOWN_PLUGINS)
        # The version each plug-in registers (pluginInfo -q -version).
        self.plugin_versions = dict.fromkeys(self.KNOWN_PLUGINS, "1.0")
        self.fbx_settings = {}
        self.fbx_exports = []
        self.about_version = self.DEFAULT_VERSION
        self.main_pane_managed = True
        self.wait_cursor = False
        self.refresh_count = 0
        self.refresh_suspended = False
        self.warnings = []
        self.echo_warnings = False
        self.idle_queue = []
        self.deferred_errors = []
        self.thread_violations = []
        self.in_view_messages = []
        self.launched = []
        self.file_dialog_answers = []
        self.file_dialogs = []
        self.confirm_dialog_answers = []
        self.confirm_dialogs = []
        self.saved_files = []
        # Test-only misbehaviours (misbehave.SESSION_MISBEHAVIOURS): none.
        self.misbehaviours = set()
        for hook in RESET_HOOKS:
            hook(self)
        self.batch = self.standalone and self.initialized
        if self.batch:
            self.echo_warnings = True

    def pay(self, what, scene_bytes=None):
        """Wait out the cost of `what` ("initialize", "open", ...)."""
        cost = self.cost(what, scene_bytes)
        if cost > 0:
            time.sleep(cost)

    def cost(self, what, scene_bytes=None):
        """The cost of `what` for a scene file of `scene_bytes` (default:
        the open scene's)."""
        cost = float(self.costs.get(what) or 0.0)
        if what in self.SIZED_COSTS:
            size = self.scene.bytes if scene_bytes is None else scene_bytes
            cost += float(self.costs.get("per_mb") or 0.0) * size / (1024.0 * 1024.0)
        return cost

    # ------------------------------------------------------------- faults
    def fail(self, command, nth=1, error=None, match=None):
        """Arm a fault: the nth call of `command` from now raises `error`."""
        f = Fault(command, nth, error, match)
        self.faults.append(f)
        return f

    def fail_at(self, position, error=None):
        """The call whose journal index equals `position` raises `error`."""
        f = Fault(None, error=error, position=position)
        self.faults.append(f)
        return f

    def clear_faults(self):
        del self.faults[:]

    def _check_faults(self, command, args):
        index = len(self.journal) - 1
        first = args[0] if args else None
        hit = None
        for f in self.faults:
            if f.fired:
                continue
            if f.position is not None:
                if f.position == index and hit is None:
                    hit = f
                continue
            if f.command != command:
                continue
            if f.match is not None and not (isinstance(first, str) and f.match in first):
                continue
            f.seen += 1
            if f.seen >= f.nth and hit is None:
                hit = f
        if hit is not None:
            hit.fired = True
            raise hit.make_error()

    # ------------------------------------------------------------- calls
    def record(self, command, args, flags):
        call = Call(command, tuple(args), tuple(flags))
        self.journal.append(call)
        if self._journal_out is not None:
            self._write_journal_line(call)
        self._check_faults(command, args)

    def _write_journal_line(self, call):
        line = json.dumps({"command": call.command, "args": list(call.args),
                           "flags": [[n, v] for n, v in call.flags]},
                          default=repr)
        self._journal_out.write(line + "\n")
        self._journal_out.flush()

    def open_journal_file(self, path):
        """Append every journaled call, one JSON line each, to `path`."""
        self.close_journal_file()
        if path:
            self._journal_out = open(path, "a", encoding="ascii")
            self.journal_file = path

    def close_journal_file(self):
        out, self._journal_out, self.journal_file = self._journal_out, None, None
        if out is not None:
            out.close()

    def _check_session(self, what):
        if self.standalone and not self.initialized:
            raise RuntimeError("%s: Maya is not initialized; call "
                               "maya.standalone.initialize() first." % what)

    def _check_thread(self, command):
        # Maya's commands raise when called from any thread but the main
        # one; such a call never reaches Maya, so it is not journaled.
        if threading.current_thread() is not threading.main_thread():
            self.thread_violations.append(command)
            raise RuntimeError("%s: Maya commands can only be called from the main thread "
                               "(hand the call over with maya.utils.executeDeferred)" % command)

    def call(self, command, args, flags):
        """Entry point of every maya.cmds function."""
        from . import commands
        self._check_thread(command)
        pairs = list(flags.items())
        self.record(command, args, pairs)
        self._check_session(command)
        mode, fl = flagtable.normalise(command, pairs)
        if self.batch and command in commands.UI_COMMANDS:
            raise RuntimeError("%s: This command is not available in batch mode "
                               "(Maya runs without a user interface)." % command)
        return commands.HANDLERS[command](self, tuple(args), mode, fl)

    def mel_eval(self, text):
        from . import commands
        self._check_thread("mel.eval")
        self.record("mel.eval", (text,), ())
        self._check_session("mel.eval")
        return commands.run_mel(self, text)

    def calls(self, command=None):
        """Journal records, optionally only those of one command."""
        return [c for c in self.journal if command is None or c.command == command]

    # ------------------------------------------------------------- helpers
    def press(self, button_name):
        """Click a button: call its command with one positional False."""
        b = self.ui.get(button_name, "button")
        if not b.state.get("enable", True):
            raise RuntimeError("button '%s' is disabled" % b.name)
        cmd = b.state.get("command")
        if cmd is None:
            return None
        if isinstance(cmd, str):
            raise NotModelledError("button '%s' has a string command" % b.name)
        return cmd(False)

    def close_window(self, name):
        """The user closes a window with its title bar's button: a window
        made with -retain is hidden, any other is deleted with its contents
        (and the script jobs on what was deleted are triggered)."""
        from . import jobs
        w = self.ui.get(name, "window")
        if w.flags.get("closeCommand") is not None:
            raise NotModelledError("window '%s' has a closeCommand" % w.name)
        if w.flags.get("retain"):
            w.state["visible"] = False
            return
        jobs.ui_deleted(self, self.ui.delete(w.name))

    def execute_deferred(self, func, args, kwargs):
        """maya.utils.executeDeferred: `func` (a callable, called with args
        and kwargs, or a Python string) joins the idle queue; any thread may
        call it. In batch mode Maya never runs it."""
        if not (callable(func) or isinstance(func, str)):
            raise TypeError("executeDeferred: expected a callable or a string, not %s"
                            % type(func).__name__)
        if self.batch:
            return None
        if args or kwargs:
            if isinstance(func, str):
                raise TypeError("executeDeferred: arguments are passed to callables only")
            func = functools.partial(func, *args, **kwargs)
        self.idle_queue.append(func)  # one step under the GIL: safe from any thread
        return None

    def run_idle(self, limit=100000):
        """Run deferred callables in order (including newly queued ones)."""
        ran = 0
        while self.idle_queue:
            if ran >= limit:
                raise RuntimeError("idle queue did not drain after %d callables" % limit)
            fn = self.idle_queue.pop(0)
            ran += 1
            try:
                if isinstance(fn, str):
                    raise NotModelledError("deferred string commands are not run: %r" % fn)
                fn()
            except Exception as e:
                self.deferred_errors.append(e)
                sys.stderr.write("# Error: deferred command failed #\n")
                traceback.print_exc()
        return ran

"""Standalone sessions: a mayapy process (sim/bin/mayapy) where Maya starts
only with maya.standalone.initialize().

Before initialize (and after uninitialize) the command modules are empty:
maya.cmds.file and maya.mel.eval do not exist, and a command kept from
earlier raises RuntimeError. initialize() reads from the environment the
costs of the operations and what a test arranges (plug-ins missing, armed
faults, test-only misbehaviours), waits out its cost, turns batch mode on
and fills the modules in. In a session that is not standalone (the test
process importing maya.cmds itself) both calls do nothing.
"""
import json
import os

from . import misbehave

# Each maya command module: (module, {name: function}) as it was defined.
_MODULES = []

COST_VARIABLES = {"initialize": "MAYASIM_COST_INITIALIZE", "open": "MAYASIM_COST_OPEN",
                  "save": "MAYASIM_COST_SAVE", "export": "MAYASIM_COST_EXPORT",
                  "per_mb": "MAYASIM_COST_PER_MB"}
JOURNAL_VARIABLE = "MAYASIM_JOURNAL_FILE"
# What a test may set up in a session it cannot reach from its own process.
MISSING_PLUGINS_VARIABLE = "MAYASIM_MISSING_PLUGINS"
FAULTS_VARIABLE = "MAYASIM_FAULTS"
MISBEHAVE_VARIABLE = "MAYASIM_MISBEHAVE"


def register_module(host, module, names):
    """Called by maya.cmds and maya.mel once defined."""
    functions = dict((n, getattr(module, n)) for n in names)
    _MODULES.append((module, functions))
    if host.standalone and not host.initialized:
        _hide(module, functions)


def _hide(module, functions):
    for n in functions:
        module.__dict__.pop(n, None)
    module.__all__ = []


def _show(module, functions):
    module.__dict__.update(functions)
    module.__all__ = sorted(functions)


def costs_from_env(environ):
    """The costs the environment sets (seconds; unset or empty: none)."""
    costs = {}
    for what, var in COST_VARIABLES.items():
        text = environ.get(var, "").strip()
        if not text:
            continue
        try:
            value = float(text)
        except ValueError:
            raise ValueError("%s=%r is not a number of seconds" % (var, text))
        if value < 0:
            raise ValueError("%s=%r is negative" % (var, text))
        costs[what] = value
    return costs


def missing_plugins_from_env(environ):
    """Plug-ins this Maya does not have (comma-separated names): loadPlugin
    fails for them as for a plug-in not installed."""
    return set(n.strip() for n in environ.get(MISSING_PLUGINS_VARIABLE, "").split(",") if n.strip())


def faults_from_env(environ):
    """Faults to arm: a JSON list of {"command", "nth", "match", "message"}
    (only "command" required), each as host.fail(...) with a RuntimeError
    carrying the message."""
    text = environ.get(FAULTS_VARIABLE, "").strip()
    if not text:
        return []
    faults = []
    for spec in json.loads(text):
        message = spec.get("message")
        faults.append(dict(command=spec["command"], nth=int(spec.get("nth", 1)),
                           match=spec.get("match"),
                           error=RuntimeError(message) if message else None))
    return faults


def _arrange_from_env(host, environ):
    host.costs.update(costs_from_env(environ))
    host.available_plugins -= missing_plugins_from_env(environ)
    host.misbehaviours |= misbehave.session_misbehaviours(environ.get(MISBEHAVE_VARIABLE))
    for fault in faults_from_env(environ):
        host.fail(**fault)


def initialize(host, name="python"):
    if not isinstance(name, str):
        raise TypeError("initialize: name must be a string")
    if not host.standalone or host.initialized:
        return None
    if host.uninitialized:
        raise RuntimeError("maya.standalone.initialize: Maya cannot be initialized "
                           "again once uninitialized in this process.")
    _arrange_from_env(host, os.environ)
    host.pay("initialize")
    host.initialized = True
    host.batch = True
    host.echo_warnings = True
    host.open_journal_file(os.environ.get(JOURNAL_VARIABLE))
    for module, functions in _MODULES:
        _show(module, functions)
    return None


def uninitialize(host):
    if not host.standalone or not host.initialized:
        return None
    for module, functions in _MODULES:
        _hide(module, functions)
    host.initialized = False
    host.uninitialized = True
    host.batch = False
    host.close_journal_file()
    return None

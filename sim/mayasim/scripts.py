"""What a scene's code does in the session: script nodes run on open, the
top-level MEL of a Maya ASCII file, Python in the session's namespace, and
the scene messages (maya.api.OpenMaya.MSceneMessage) that outlive a scene.

Maya's documentation this rests on (see sim/README.md, "Code in scenes"):

* script node, scriptType (.st): 0 demand, 1 open/close ("the before script
  will execute when the file is read"), 2 the same "when not in batch
  mode", 3 internal (the UI configuration), 4 software render, 5 software
  frame render, 6 scene configuration, 7 time changed; .stp: the language,
  "mel" (0) or "python" (1).
* file -executeScriptNodes: "If true, allow the appropriate script nodes to
  execute. If false, do not allow any script node scripts to run. ...
  Default: true."
* MSceneMessage.addCallback / MMessage.removeCallback: a callback runs when
  its message occurs, until removed; nothing ties it to a scene.

Host state (put back by every reset, kept across file -new and -open):
    host.python_namespace   the globals of the session's Python (__main__)
    host.scene_callbacks    OrderedDict: id -> (message, function, clientData)
    host.script_errors      texts of the errors scene code raised
    host.error_status       whether the last file read had an error
"""
import builtins
import sys
import traceback
from collections import OrderedDict

from .host import RESET_HOOKS, NotModelledError
from .scene import CONFIG_NODE

# The script types whose before script runs when a file is read, and whether
# batch mode runs it too.  3 is Maya's own UI configuration: the simulator
# has no panels for it to build, so it never runs here.
RUN_ON_OPEN = {1: True, 2: False, 6: True}

# MSceneMessage's messages, numbered as Maya's Python API 2.0 reference
# numbers them (kSceneUpdate 0 ... kAfterSave 13).
MESSAGES = {
    "kSceneUpdate": 0, "kBeforeNew": 1, "kAfterNew": 2, "kBeforeImport": 3,
    "kAfterImport": 4, "kBeforeOpen": 5, "kAfterOpen": 6, "kBeforeFileRead": 7,
    "kAfterFileRead": 8, "kAfterSceneReadAndRecordEdits": 9, "kBeforeExport": 10,
    "kAfterExport": 11, "kBeforeSave": 12, "kAfterSave": 13,
}
# The messages the simulator sends (others may be registered, never sent).
SENT = ("kBeforeNew", "kAfterNew", "kBeforeOpen", "kAfterOpen", "kBeforeFileRead",
        "kAfterFileRead", "kBeforeSave", "kAfterSave")


def reset(host):
    host.python_namespace = {"__name__": "__main__", "__builtins__": builtins}
    host.scene_callbacks = OrderedDict()
    host._callback_count = 0
    host.current_callback = None
    host.script_errors = []
    host.error_status = False


def report(host, where, error):
    """An error in scene code: printed as Maya prints it and kept; the file
    read goes on and `file -q -errorStatus` turns true."""
    text = "%s: %s" % (where, error)
    host.script_errors.append(text)
    host.error_status = True
    sys.stderr.write("// Error: %s //\n" % text)


def run_python(host, code, where="python"):
    """Python of a scene, run in the session's namespace: what it imports and
    defines stays for later scripts, as in Maya's one interpreter."""
    exec(compile(code, "<%s>" % where, "exec"), host.python_namespace)


def run_guarded(host, where, run):
    """Run scene code; an Exception is reported and does not stop the read
    (NotModelledError is the simulator's, not Maya's: it is not swallowed)."""
    try:
        run()
    except NotModelledError:
        raise
    except Exception as e:   # noqa: BLE001 - Maya reports any script error and reads on
        report(host, where, "%s: %s" % (type(e).__name__, e))


def run_script_node(host, name, script):
    from . import commands
    text = script.get("before") or ""
    if not text.strip():
        return
    where = "script node %s" % name
    if script.get("python"):
        run_guarded(host, where, lambda: run_python(host, text, name))
    else:
        run_guarded(host, where, lambda: commands.run_mel(host, text))


def after_read(host, data, execute_script_nodes):
    """What Maya runs once it has read a scene file: the top-level MEL of a
    Maya ASCII file (always: the file is MEL), then, unless script nodes are
    off, the before scripts of the script nodes their type runs on open."""
    from . import commands
    for statement in data.get("top_level", ()):
        run_guarded(host, "file %s" % host.scene.path,
                    lambda st=statement: commands.run_mel(host, st))
    if not execute_script_nodes:
        return
    for name in data.get("script_order", ()):
        script = data.get("config_script") if name == CONFIG_NODE \
            else data.get("script_nodes", {}).get(name)
        if script is None:
            continue
        batch_too = RUN_ON_OPEN.get(script.get("type"))
        if batch_too is None or (host.batch and not batch_too):
            continue
        run_script_node(host, name, script)


# ------------------------------------------------------------ scene messages

def add_callback(host, message, function, client_data=None):
    if message not in MESSAGES.values():
        raise ValueError("MSceneMessage.addCallback: unknown message %r" % (message,))
    if not callable(function):
        raise TypeError("MSceneMessage.addCallback: the callback must be callable")
    host._callback_count += 1
    host.scene_callbacks[host._callback_count] = (message, function, client_data)
    return host._callback_count


def remove_callback(host, callback_id):
    if callback_id not in host.scene_callbacks:
        raise RuntimeError("MMessage.removeCallback: (kInvalidParameter): "
                           "no callback with id %r" % (callback_id,))
    del host.scene_callbacks[callback_id]


def send(host, name):
    """Send a scene message: its callbacks run now, in the order added."""
    message = MESSAGES[name]
    for cid, (msg, function, client_data) in list(host.scene_callbacks.items()):
        if msg != message or cid not in host.scene_callbacks:
            continue
        previous, host.current_callback = host.current_callback, cid
        try:
            function(client_data)
        except NotModelledError:
            raise
        except Exception:   # noqa: BLE001 - Maya prints a callback's error and goes on
            host.script_errors.append("callback %d (%s): %s" % (
                cid, name, traceback.format_exc().strip().splitlines()[-1]))
            sys.stderr.write("# Error: callback %d (%s) failed #\n" % (cid, name))
            traceback.print_exc()
        finally:
            host.current_callback = previous


RESET_HOOKS.append(reset)

"""Behaviour of each modelled command.

Every handler gets (host, args, mode, flags) where flags is an OrderedDict of
long flag names (already checked against the flag tables) and mode is one of
"create", "query", "edit".
"""
import os
import sys

from . import melparse, misbehave, scripts
from .flagtable import CREATE, QUERY, EDIT
from .host import NotModelledError
from .scene import (BEHAVIOURS, TEST_MISBEHAVIOURS, LINEAR_NAMES, LINEAR_UNITS, TIME_UNITS, SceneFileError,
                    read_scene_file, write_ascii, write_binary, write_fbx)
from .ui import LAYOUTS, edit_control, query_control

HANDLERS = {}
MAIN_PANE = "viewPanes"

# Commands of the user interface: batch mode refuses them all.
UI_COMMANDS = frozenset([
    "window", "columnLayout", "rowLayout", "frameLayout", "paneLayout", "text",
    "button", "separator", "textField", "checkBox", "optionMenu", "menuItem",
    "progressBar", "scrollField", "showWindow", "deleteUI", "setParent",
    "fileDialog2", "confirmDialog", "waitCursor", "tabLayout", "shelfLayout",
    "shelfButton", "objectTypeUI", "intField", "scrollLayout"])


def handler(*names):
    def deco(fn):
        for n in names:
            HANDLERS[n] = fn
        return fn
    return deco


def _not_modelled(command, fl, mode):
    raise NotModelledError("%s(%s) in %s mode is not modelled by the simulator"
                           % (command, ", ".join(fl), mode))


def _max_args(command, args, n):
    if len(args) > n:
        raise TypeError("%s: too many positional arguments (%d)" % (command, len(args)))


def _first_query(command, fl):
    if not fl:
        raise RuntimeError("%s: query mode needs a flag to query" % command)
    return next(iter(fl))


# ==================================================================== scene

def _mark_changed(host):
    host.scene.modified = True
    host.scene.undo_queue += 1


@handler("file")
def cmd_file(host, args, mode, fl):
    _max_args("file", args, 1)
    sc = host.scene
    path = args[0] if args else None
    if path is not None and not isinstance(path, str):
        raise TypeError("file: the file name must be a string")
    if mode == QUERY:
        flag = _first_query("file", fl)
        if flag in ("sceneName", "location", "expandName"):
            return sc.path
        if flag == "modified":
            return sc.modified
        if flag == "exists":
            return bool(path) and os.path.exists(path)
        if flag == "type":
            return [sc.file_type]
        if flag == "prompt":
            return host.prompt
        if flag == "errorStatus":
            return host.error_status
        _not_modelled("file", fl, mode)
    handled = False
    result = None
    force = bool(fl.get("force", False))
    prompt = host.prompt
    if "prompt" in fl:
        handled = True
        prompt = bool(fl["prompt"])
        # Alone the flag sets the session's state; with an action it is
        # taken to apply to that one call only.
        if not any(f in fl for f in _FILE_ACTIONS):
            host.prompt = prompt
    if fl.get("newFile"):
        handled = True
        if sc.modified and not force:
            raise RuntimeError("Unsaved changes.")
        scripts.send(host, "kBeforeNew")
        _empty_scene(host)
        scripts.send(host, "kAfterNew")
        _trigger(host, "deleteAll", "NewSceneOpened")
    if fl.get("open"):
        handled = True
        if not path:
            raise RuntimeError("file: no file name given to open")
        if sc.modified and not force:
            raise RuntimeError("Unsaved changes.")
        try:
            data = read_scene_file(path)
        except SceneFileError as e:
            raise RuntimeError(str(e)) from None
        if data["format"] == "FBX" and "fbxmaya" not in host.plugins_loaded:
            raise RuntimeError("Could not open file: %s (unrecognized file type)" % path)
        size = os.path.getsize(path)
        host.pay("open", size)
        behaviour = data.get("behaviour")
        _misbehave_on_open(host, path, behaviour, prompt)
        scripts.send(host, "kBeforeOpen")
        _empty_scene(host)
        scripts.send(host, "kBeforeFileRead")
        host.error_status = False
        sc.path = path
        sc.load(data)
        sc.bytes = size
        sc.file_type = data["format"]
        sc.behaviour = behaviour
        scripts.after_read(host, data, misbehave.runs_script_nodes(
            host, sc, bool(fl.get("executeScriptNodes", True))))
        sc.modified = False
        sc.undo_queue = 0
        scripts.send(host, "kAfterFileRead")
        scripts.send(host, "kAfterOpen")
        _trigger(host, "PostSceneRead", "SceneOpened")
        result = path
    if "rename" in fl:
        handled = True
        sc.path = fl["rename"]
        result = sc.path
    if fl.get("save"):
        handled = True
        ftype = fl.get("type")
        if ftype is None:
            ftype = "mayaBinary" if sc.path.lower().endswith(".mb") else "mayaAscii"
        if ftype not in ("mayaAscii", "mayaBinary"):
            raise RuntimeError("Invalid file type specified: %s" % ftype)
        if not sc.path:
            raise RuntimeError("Scene has no name; rename it before saving.")
        scripts.send(host, "kBeforeSave")
        how = _write_how(host, "save")
        written = misbehave.as_written(host, sc, "save")
        try:
            if ftype == "mayaAscii":
                write_ascii(sc.path, written, host.about_version, **how)
            else:
                write_binary(sc.path, written, host.about_version, **how)
        except SceneFileError as e:
            raise RuntimeError(str(e)) from None
        sc.file_type = ftype
        sc.modified = False
        host.saved_files.append((sc.path, ftype))
        scripts.send(host, "kAfterSave")
        _trigger(host, "SceneSaved")
        result = sc.path
    elif "type" in fl:
        handled = True
        sc.file_type = fl["type"]
    if "modified" in fl:
        handled = True
        sc.modified = bool(fl["modified"])
    if not handled:
        _not_modelled("file", fl, mode)
    return result


_FILE_ACTIONS = ("newFile", "open", "rename", "save", "type", "modified")


def _empty_scene(host):
    """What a file new and the start of a file open do: the scene empties
    (its killWithScene jobs end with it); the session's jobs, callbacks,
    plug-ins and Python stay."""
    from . import jobs
    host.scene.clear()
    jobs.scene_emptied(host)


def _trigger(host, *events):
    from . import jobs
    for event in events:
        jobs.trigger(host, event)


def _only_standalone(host, behaviour):
    if not host.standalone:
        raise NotModelledError("a scene marked %r is only acted out in a standalone "
                               "session (sim/bin/mayapy); it would end or stall the "
                               "process running the tests" % behaviour)


def _misbehave_on_open(host, path, behaviour, prompt):
    if behaviour is None or behaviour == "crash-on-save" or behaviour in TEST_MISBEHAVIOURS:
        return      # they act at the save (misbehave.as_written), or once read
    if behaviour not in BEHAVIOURS:
        raise NotModelledError("%s: unknown mayasim behaviour %r" % (path, behaviour))
    if behaviour == "noise-on-open":
        misbehave.noise()
        return
    if behaviour == "dialog-on-open":
        if not (host.batch and prompt):
            return      # answered by the user, or never raised
        _only_standalone(host, behaviour)
        misbehave.hang()
    _only_standalone(host, behaviour)
    {"crash-on-open": misbehave.segfault, "abort-on-open": misbehave.abort,
     "exit-on-open": misbehave.exit_now, "hang-on-open": misbehave.hang}[behaviour]()


def _write_how(host, what):
    """How a save or export writes: its cost, and the crash of a scene
    marked crash-on-save once part of the file is out."""
    how = {"cost": host.cost(what)}
    if host.scene.behaviour == "crash-on-save":
        _only_standalone(host, "crash-on-save")
        how["interrupt"] = misbehave.segfault
    return how


@handler("currentUnit")
def cmd_current_unit(host, args, mode, fl):
    _max_args("currentUnit", args, 0)
    if mode == QUERY:
        full = fl.get("fullName", False)
        flag = next((f for f in fl if f != "fullName"), None)
        if flag == "time":
            return host.scene.time_unit
        if flag == "linear":
            unit = host.scene.linear_unit
            return unit if full else LINEAR_UNITS[unit]
        if flag == "angle":
            return "degree" if full else "deg"
        _not_modelled("currentUnit", fl, mode)
    if "time" in fl:
        unit = fl["time"]
        if unit not in TIME_UNITS:
            raise RuntimeError("currentUnit: Invalid time unit: %s" % unit)
        host.scene.time_unit = unit
        _mark_changed(host)
        return None
    if set(fl) == {"linear"}:
        unit = LINEAR_NAMES.get(fl["linear"], fl["linear"])
        if unit not in LINEAR_UNITS:
            raise RuntimeError("currentUnit: Invalid linear unit: %s" % fl["linear"])
        host.scene.linear_unit = unit
        _mark_changed(host)
        return None
    _not_modelled("currentUnit", fl, mode)


_PLAYBACK = {"minTime": "playback_min", "maxTime": "playback_max",
             "animationStartTime": "animation_start", "animationEndTime": "animation_end"}


@handler("playbackOptions")
def cmd_playback_options(host, args, mode, fl):
    _max_args("playbackOptions", args, 0)
    if mode == QUERY:
        flag = _first_query("playbackOptions", fl)
        if flag in _PLAYBACK:
            return float(getattr(host.scene, _PLAYBACK[flag]))
        _not_modelled("playbackOptions", fl, mode)
    if not fl or any(f not in _PLAYBACK for f in fl):
        _not_modelled("playbackOptions", fl, mode)
    for f, v in fl.items():
        setattr(host.scene, _PLAYBACK[f], float(v))
    _mark_changed(host)
    return None


@handler("select")
def cmd_select(host, args, mode, fl):
    sc = host.scene
    names = []
    for a in args:
        names.extend(a if isinstance(a, (list, tuple)) else [a])
    for n in names:
        if n not in sc.node_types:
            raise ValueError("No object matches name: %s" % n)
    if fl.get("clear") or (not names and not fl):
        sc.selection = []
    elif fl.get("all"):
        sc.selection = list(sc.nodes)
    elif fl.get("deselect"):
        sc.selection = [n for n in sc.selection if n not in names]
    elif fl.get("add"):
        sc.selection.extend(n for n in names if n not in sc.selection)
    else:
        sc.selection = []
        for n in names:
            if n not in sc.selection:
                sc.selection.append(n)
    return None


@handler("rename")
def cmd_rename(host, args, mode, fl):
    """rename old new: the node's new name (a scene's code renaming nodes
    before a save changes what the save writes)."""
    if fl:
        _not_modelled("rename", fl, mode)
    if len(args) != 2 or not all(isinstance(a, str) for a in args):
        raise TypeError("rename: expects the old and the new name")
    old, new = args
    sc = host.scene
    if old not in sc.node_types:
        raise RuntimeError("No object matches name: %s" % old)
    if new in sc.node_types and new != old:
        raise NotModelledError("rename: Maya would make %r unique; not modelled" % new)
    sc.nodes[sc.nodes.index(old)] = new
    sc.node_types[new] = sc.node_types.pop(old)
    if old in sc.parents:
        sc.parents[new] = sc.parents.pop(old)
    for child, parent in list(sc.parents.items()):
        if parent == old:
            sc.parents[child] = new
    if old in sc.script_nodes:
        sc.script_nodes[new] = sc.script_nodes.pop(old)
    sc.selection = [new if n == old else n for n in sc.selection]
    _mark_changed(host)
    return new


@handler("flushUndo")
def cmd_flush_undo(host, args, mode, fl):
    _max_args("flushUndo", args, 0)
    host.scene.undo_queue = 0


# =================================================================== plug-ins

def _plugin_name(name):
    base = os.path.basename(name)
    for ext in (".mll", ".so", ".bundle", ".py"):
        if base.endswith(ext):
            return base[:-len(ext)]
    return base


@handler("pluginInfo")
def cmd_plugin_info(host, args, mode, fl):
    _max_args("pluginInfo", args, 1)
    if mode != QUERY:
        _not_modelled("pluginInfo", fl, mode)
    if not args and list(fl) == ["listPlugins"]:
        # The names of the plug-ins loaded in the session (a file new or
        # open unloads none).
        return sorted(host.plugins_loaded)
    if not args:
        raise RuntimeError("pluginInfo: a plug-in name is needed")
    name = _plugin_name(args[0])
    flag = _first_query("pluginInfo", fl)
    if flag == "loaded":
        return name in host.plugins_loaded
    if flag == "registered":
        return name in host.available_plugins
    if flag == "version" and name in host.plugins_loaded:
        return host.plugin_versions.get(name, "Unknown")
    _not_modelled("pluginInfo", fl, mode)


@handler("loadPlugin")
def cmd_load_plugin(host, args, mode, fl):
    if not args:
        raise RuntimeError("loadPlugin: a plug-in name is needed")
    loaded = []
    for a in args:
        name = _plugin_name(a)
        if name not in host.available_plugins:
            raise RuntimeError('Plug-in, "%s", was not found on MAYA_PLUG_IN_PATH.' % a)
        host.plugins_loaded.add(name)
        loaded.append(name)
    return loaded


# ===================================================================== misc

@handler("refresh")
def cmd_refresh(host, args, mode, fl):
    _max_args("refresh", args, 0)
    if "suspend" in fl:
        host.refresh_suspended = bool(fl["suspend"])
        return None
    host.refresh_count += 1


@handler("waitCursor")
def cmd_wait_cursor(host, args, mode, fl):
    _max_args("waitCursor", args, 0)
    if mode == QUERY:
        return host.wait_cursor
    if "state" in fl:
        host.wait_cursor = bool(fl["state"])
    return None


@handler("evalDeferred")
def cmd_eval_deferred(host, args, mode, fl):
    _max_args("evalDeferred", args, 1)
    if fl.get("list"):
        _not_modelled("evalDeferred", fl, mode)
    if not args:
        raise RuntimeError("evalDeferred: nothing to evaluate")
    fn = args[0]
    if not (callable(fn) or isinstance(fn, str)):
        raise TypeError("evalDeferred: expected a callable or a string")
    if fl.get("evaluateNext"):
        host.idle_queue.insert(0, fn)
    else:
        host.idle_queue.append(fn)
    return None


@handler("inViewMessage")
def cmd_in_view_message(host, args, mode, fl):
    """Shown over the viewport: kept in host.in_view_messages (flag dicts,
    long names)."""
    _max_args("inViewMessage", args, 0)
    if host.batch:
        raise NotModelledError("inViewMessage in batch mode is not modelled")
    host.in_view_messages.append(dict(fl))
    return None


@handler("launch")
def cmd_launch(host, args, mode, fl):
    """Opens a directory, web page, movie or PDF in the platform's own
    application: kept in host.launched (flag dicts); nothing is started."""
    _max_args("launch", args, 0)
    if host.batch:
        raise NotModelledError("launch in batch mode is not modelled")
    if len(fl) != 1:
        _not_modelled("launch", fl, mode)
    host.launched.append(dict(fl))
    return None


@handler("warning")
def cmd_warning(host, args, mode, fl):
    _max_args("warning", args, 1)
    text = args[0] if args else ""
    host.warnings.append(text)
    if host.echo_warnings or host.batch:
        sys.stderr.write("Warning: %s\n" % (text,))


@handler("about")
def cmd_about(host, args, mode, fl):
    _max_args("about", args, 0)
    flag = next(iter(fl), None)
    if flag == "version":
        return host.about_version
    if flag == "apiVersion":
        try:
            return int(host.about_version.split(".")[0]) * 10000
        except ValueError:
            return 0
    if flag == "batch":
        return host.batch
    if flag in ("linux", "linux64"):
        return sys.platform.startswith("linux")
    if flag in ("windows", "win64", "nt"):
        return sys.platform.startswith("win")
    if flag in ("macOS", "mac"):
        return sys.platform == "darwin"
    _not_modelled("about", fl, mode)


# ================================================================== dialogs

@handler("fileDialog2")
def cmd_file_dialog2(host, args, mode, fl):
    _max_args("fileDialog2", args, 0)
    fm = fl.get("fileMode", 1)
    if fm not in (0, 1, 2, 3, 4):
        raise RuntimeError("fileDialog2: Invalid fileMode %r" % (fm,))
    host.file_dialogs.append(dict(fl))
    if not host.file_dialog_answers:
        return None
    answer = host.file_dialog_answers.pop(0)
    if callable(answer):
        answer = answer(dict(fl))
    if answer is None:
        return None
    if isinstance(answer, str):
        answer = [answer]
    return list(answer) or None


@handler("confirmDialog")
def cmd_confirm_dialog(host, args, mode, fl):
    _max_args("confirmDialog", args, 0)
    host.confirm_dialogs.append(dict(fl))
    if host.confirm_dialog_answers:
        return host.confirm_dialog_answers.pop(0)
    buttons = fl.get("button")
    if isinstance(buttons, str):
        buttons = [buttons]
    if fl.get("defaultButton"):
        return fl["defaultButton"]
    return buttons[0] if buttons else "Confirm"


# ======================================================================= UI

def _control_command(kind):
    def run(host, args, mode, fl):
        _max_args(kind, args, 1)
        name = args[0] if args else None
        if name is not None and not isinstance(name, str):
            raise TypeError("%s: the object name must be a string" % kind)
        ui = host.ui
        if kind == "paneLayout" and name == MAIN_PANE:
            if mode == CREATE:
                if fl.get("exists"):
                    return True
                raise RuntimeError("Object's name '%s' is not unique." % name)
            if mode == QUERY:
                return host.main_pane_managed
            if "manage" in fl:
                host.main_pane_managed = bool(fl["manage"])
            return None
        if mode == CREATE and fl.get("exists"):
            c = ui.control(name) if name else None
            return c is not None and (kind != "window" or c.kind == "window")
        if mode in (QUERY, EDIT):
            if name is None:
                raise RuntimeError("%s: an object name is needed in %s mode" % (kind, mode))
            c = ui.get(name, kind)
            if mode == QUERY:
                return query_control(c, _first_query(kind, fl))
            edit_control(c, fl)
            return None
        if kind == "window":
            c = ui.create_window(name, fl)
        else:
            flags = dict(fl)
            c = ui.create(kind, name, fl)
            c.flags.update(flags)
        return c.name
    run.__name__ = "cmd_" + kind
    return run


for _kind in ("window", "columnLayout", "rowLayout", "frameLayout", "paneLayout",
              "text", "button", "separator", "textField", "checkBox",
              "optionMenu", "menuItem", "progressBar", "scrollField", "intField",
              "scrollLayout"):
    HANDLERS[_kind] = _control_command(_kind)


@handler("showWindow")
def cmd_show_window(host, args, mode, fl):
    _max_args("showWindow", args, 1)
    if args:
        w = host.ui.get(args[0], "window")
    else:
        cur = host.ui.current
        if cur is None:
            raise RuntimeError("showWindow: no current window")
        w = cur.window
    w.state["visible"] = True
    return None


@handler("deleteUI")
def cmd_delete_ui(host, args, mode, fl):
    if not args:
        raise RuntimeError("deleteUI: no object given")
    names = []
    for a in args:
        names.extend(a if isinstance(a, (list, tuple)) else [a])
    want = None
    if fl.get("window"):
        want = "window"
    from . import jobs
    for n in names:
        c = host.ui.get(n)
        if want and c.kind != want:
            raise RuntimeError("deleteUI: '%s' is not a %s" % (n, want))
        if fl.get("layout") and c.kind not in LAYOUTS:
            raise RuntimeError("deleteUI: '%s' is not a layout" % n)
        jobs.ui_deleted(host, host.ui.delete(n))
    return None


@handler("setParent")
def cmd_set_parent(host, args, mode, fl):
    _max_args("setParent", args, 1)
    ui = host.ui
    if fl.get("menu"):
        if mode == QUERY:
            return ui.current_menu.name if ui.current_menu else None
        if args and args[0] == "..":
            ui.current_menu = None
            return None
        if args:
            ui.current_menu = ui.get(args[0], "optionMenu")
            return ui.current_menu.name
    if mode == QUERY:
        return ui.current.name if ui.current else None
    if fl.get("topLevel"):
        ui.current = None
        return None
    if fl.get("upLevel"):
        return ui.set_parent("..")
    if not args:
        raise RuntimeError("setParent: no parent given")
    return ui.set_parent(args[0])


# ====================================================================== MEL

# Extension modules (shelf.py) read MEL globals: reader(host, text) returns
# (True, value) for a text it owns, else (False, None).
MEL_READERS = []


def run_mel(host, text):
    for reader in MEL_READERS:
        owned, value = reader(host, text)
        if owned:
            return value
    variables = () if host.batch else melparse.VARIABLES
    actions = melparse.parse(text, "fbxmaya" in host.plugins_loaded, variables)
    result = None
    for act in actions:
        op = act[0]
        if op == "manage_main_pane":
            host.main_pane_managed = act[1]
            result = None
        elif op == "fbx_set":
            host.fbx_settings[act[1]] = act[2]
            result = None
        elif op == "fbx_query":
            result = host.fbx_settings.get(act[1])
        elif op == "playback":
            for flag, value in act[1].items():
                setattr(host.scene, _PLAYBACK[flag], value)
            _mark_changed(host)
            result = None
        elif op == "python":
            scripts.run_python(host, act[1])
            result = None
        elif op == "script_job":
            from . import jobs
            result = jobs.mel_job(host, act[1])
        elif op == "fbx_export":
            path, selected_only = act[1], act[2]
            sc = host.scene
            nodes = list(sc.selection) if selected_only else list(sc.nodes)
            how = _write_how(host, "export")
            try:
                write_fbx(path, misbehave.as_written(host, sc, "export"), nodes,
                          host.fbx_settings, selected_only, host.about_version, **how)
            except SceneFileError as e:
                raise RuntimeError("FBXExport: %s" % e) from None
            host.fbx_exports.append({"path": path, "nodes": nodes,
                                     "settings": dict(host.fbx_settings),
                                     "selected_only": selected_only,
                                     "unit": sc.time_unit,
                                     "range": (sc.playback_min, sc.playback_max)})
            result = None
    return result

"""What a drag-and-drop installer touches: the user's Maya folder, the shelf
tab layout with its shelves and buttons, and the MEL read of $gShelfTopLevel.

Host state (put back by every reset):
    host.user_app_dir     folder that internalVar(userAppDir=True) names (with a
                          trailing slash); None until a test sets it, so nothing
                          is ever written into a real user's Maya folder
    host.shelf_top_level  value of $gShelfTopLevel; None models a session
                          without shelves (batch mode): the variable is undeclared
    host.shelves          OrderedDict: shelf name -> Shelf
    host.current_shelf    the selected tab of the shelf tab layout

Shelf items are named by full path, "<top level>|<shelf>|shelfButton3"; the
shelf's own name or any path ending in it also works.
"""
import os
import re
from collections import OrderedDict

from . import commands
from .flagtable import CREATE, QUERY, EDIT
from .host import RESET_HOOKS, NotModelledError
from .melparse import MelError

TOP_LEVEL = "Shelf|MainShelfLayout|formLayout16|ShelfLayout"
DEFAULT_SHELVES = ("Curves", "Surfaces", "Poly_Modeling", "Sculpting", "Rigging",
                   "Animation", "Rendering", "FX", "Custom")
DEFAULT_CURRENT = "Custom"

_BUTTON_DEFAULTS = {"enable": True, "visible": True, "manage": True, "image": "commandButton.png",
                    "image1": "commandButton.png", "sourceType": "mel", "command": "",
                    "label": "", "annotation": "", "imageOverlayLabel": "", "style": "iconOnly"}


class ShelfItem(object):
    def __init__(self, kind, short, shelf, flags):
        self.kind = kind
        self.short = short
        self.shelf = shelf
        self.flags = OrderedDict(flags)     # creation flags, long names
        self.state = dict(_BUTTON_DEFAULTS) if kind == "shelfButton" else {}
        self.state.update(flags)
        if "image" in flags and "image1" not in flags:
            self.state["image1"] = flags["image"]

    @property
    def name(self):
        return self.shelf.name + "|" + self.short

    def __repr__(self):
        return "<%s %s>" % (self.kind, self.name)


class Shelf(object):
    def __init__(self, host, short):
        self.host = host
        self.short = short
        self.items = []

    @property
    def name(self):
        return self.host.shelf_top_level + "|" + self.short

    def item(self, short):
        return next((i for i in self.items if i.short == short), None)

    def __repr__(self):
        return "<shelfLayout %s>" % self.name


def reset(host):
    host.user_app_dir = None
    host.shelf_top_level = TOP_LEVEL
    host.shelves = OrderedDict((n, Shelf(host, n)) for n in DEFAULT_SHELVES)
    host.current_shelf = DEFAULT_CURRENT
    host._shelf_button_count = 0


def without_shelves(host):
    """Model a session without a shelf (batch mode, or the shelf hidden away)."""
    host.shelf_top_level = None
    host.shelves = OrderedDict()
    host.current_shelf = None


def buttons(host, shelf=None, label=None):
    """Shelf buttons (ShelfItem) of one shelf or all, optionally by label."""
    shelves = [host.shelves[shelf]] if shelf is not None else list(host.shelves.values())
    return [i for s in shelves for i in s.items
            if i.kind == "shelfButton" and (label is None or i.state.get("label") == label)]


# ------------------------------------------------------------------ lookup

def _is_top(host, name):
    top = host.shelf_top_level
    return (top is not None and isinstance(name, str)
            and (name == top or top.endswith("|" + name)))


def _shelf(host, name):
    if host.shelf_top_level is None or not isinstance(name, str):
        return None
    short = name.rsplit("|", 1)[-1]
    s = host.shelves.get(short)
    if s is None or not (name == short or s.name.endswith("|" + name) or name == s.name):
        return None
    return s


def _item(host, name):
    if host.shelf_top_level is None or not isinstance(name, str) or "|" not in name:
        return None
    parent, short = name.rsplit("|", 1)
    s = _shelf(host, parent)
    return s.item(short) if s is not None else None


def _need(found, name):
    if found is None:
        raise RuntimeError("Object '%s' not found." % name)
    return found


def _only_name(command, args):
    commands._max_args(command, args, 1)
    name = args[0] if args else None
    if name is not None and not isinstance(name, str):
        raise TypeError("%s: the object name must be a string" % command)
    return name


# ---------------------------------------------------------------- commands

@commands.handler("internalVar")
def cmd_internal_var(host, args, mode, fl):
    commands._max_args("internalVar", args, 0)
    if list(fl) != ["userAppDir"] or not fl["userAppDir"]:
        commands._not_modelled("internalVar", fl, mode)
    if host.user_app_dir is None:
        raise NotModelledError("internalVar(userAppDir=True): set mayasim.host.user_app_dir "
                               "to a test folder first")
    # Maya answers with forward slashes and a trailing one, on every platform.
    return os.path.join(host.user_app_dir, "").replace("\\", "/")


@commands.handler("tabLayout")
def cmd_tab_layout(host, args, mode, fl):
    name = _only_name("tabLayout", args)
    if mode == CREATE and fl.get("exists"):
        return _is_top(host, name)
    if not _is_top(host, name):
        if mode == CREATE:
            commands._not_modelled("tabLayout", fl, mode)
        raise RuntimeError("Object '%s' not found." % name)
    names = list(host.shelves)
    if mode == QUERY:
        flag = commands._first_query("tabLayout", fl)
        if flag == "selectTab":
            return host.current_shelf
        if flag == "selectTabIndex":
            return names.index(host.current_shelf) + 1 if host.current_shelf in names else 0
        if flag == "childArray":
            return names or None
        if flag == "numberOfChildren":
            return len(names)
        if flag == "fullPathName":
            return host.shelf_top_level
        commands._not_modelled("tabLayout", fl, mode)
    if mode == EDIT and list(fl) == ["selectTab"]:
        _need(_shelf(host, fl["selectTab"]), fl["selectTab"])
        host.current_shelf = fl["selectTab"].rsplit("|", 1)[-1]
        return None
    if mode == EDIT and list(fl) == ["selectTabIndex"]:
        if not 1 <= fl["selectTabIndex"] <= len(names):
            raise RuntimeError("tabLayout: tab index %r out of range" % (fl["selectTabIndex"],))
        host.current_shelf = names[fl["selectTabIndex"] - 1]
        return None
    commands._not_modelled("tabLayout", fl, mode)


@commands.handler("shelfLayout")
def cmd_shelf_layout(host, args, mode, fl):
    name = _only_name("shelfLayout", args)
    if mode == CREATE and fl.get("exists"):
        return _shelf(host, name) is not None
    if mode == CREATE:
        parent = fl.get("parent")
        if parent is None or not _is_top(host, parent):
            commands._not_modelled("shelfLayout", fl, mode)
        if not name or "|" in name or name in host.shelves:
            raise RuntimeError("Object's name '%s' is not unique." % name)
        host.shelves[name] = Shelf(host, name)
        return host.shelves[name].name
    s = _need(_shelf(host, name), name)
    if mode == QUERY:
        flag = commands._first_query("shelfLayout", fl)
        if flag == "childArray":
            return [i.short for i in s.items] or None
        if flag == "numberOfChildren":
            return len(s.items)
        if flag == "fullPathName":
            return s.name
        commands._not_modelled("shelfLayout", fl, mode)
    commands._not_modelled("shelfLayout", fl, mode)


@commands.handler("shelfButton")
def cmd_shelf_button(host, args, mode, fl):
    name = _only_name("shelfButton", args)
    if mode == CREATE and fl.get("exists"):
        return _item(host, name) is not None
    if mode == CREATE:
        flags = OrderedDict(fl)
        parent = flags.pop("parent", None)
        if parent is None:
            raise NotModelledError("shelfButton: give the shelf with parent=; the simulator "
                                   "has no current shelf parent")
        s = _need(_shelf(host, parent), parent)
        if name is not None and ("|" in name or s.item(name) is not None):
            raise RuntimeError("Object's name '%s' is not unique." % name)
        if name is None:
            while True:
                host._shelf_button_count += 1
                name = "shelfButton%d" % host._shelf_button_count
                if s.item(name) is None:
                    break
        item = ShelfItem("shelfButton", name, s, flags)
        s.items.append(item)
        return item.name
    item = _item(host, name)
    if item is None or item.kind != "shelfButton":
        raise RuntimeError("Object '%s' not found." % name)
    if mode == QUERY:
        flag = commands._first_query("shelfButton", fl)
        if flag == "fullPathName":
            return item.name
        if flag == "parent":
            return item.shelf.name
        return item.state.get(flag)
    item.state.update(fl)
    return None


@commands.handler("objectTypeUI")
def cmd_object_type_ui(host, args, mode, fl):
    commands._max_args("objectTypeUI", args, 1)
    if not args:
        commands._not_modelled("objectTypeUI", fl, mode)
    name = args[0]
    if _is_top(host, name):
        kind = "tabLayout"
    elif _shelf(host, name) is not None:
        kind = "shelfLayout"
    elif _item(host, name) is not None:
        kind = _item(host, name).kind
    else:
        c = host.ui.control(name)
        if c is None:
            raise RuntimeError("Object '%s' not found." % name)
        kind = "floatingWindow" if c.kind == "window" else c.kind
    if not fl:
        return kind
    if list(fl) == ["isType"]:
        return kind == fl["isType"]
    commands._not_modelled("objectTypeUI", fl, mode)


_delete_other_ui = commands.HANDLERS["deleteUI"]


@commands.handler("deleteUI")
def cmd_delete_ui(host, args, mode, fl):
    """Shelf items and shelves here; every other name goes to the window model."""
    names = []
    for a in args:
        names.extend(a if isinstance(a, (list, tuple)) else [a])
    others = []
    for n in names:
        item = _item(host, n)
        s = _shelf(host, n) if item is None else None
        if item is None and s is None:
            others.append(n)
            continue
        if fl.get("window") or (fl.get("layout") and s is None):
            raise RuntimeError("deleteUI: '%s' is not a %s" % (n, "window" if fl.get("window")
                                                                else "layout"))
        if item is not None:
            item.shelf.items.remove(item)
        else:
            del host.shelves[s.short]
            if host.current_shelf == s.short:
                host.current_shelf = next(iter(host.shelves), None)
    if others or not names:
        return _delete_other_ui(host, tuple(others), mode, fl)
    return None


# --------------------------------------------------------------------- MEL

_READ_GLOBAL = re.compile(r"^\s*\$(\w+)\s*=\s*\$gShelfTopLevel\s*;?\s*$")


def read_shelf_top_level(host, text):
    """The idiom `$tmp = $gShelfTopLevel`: the value of the assignment."""
    if not isinstance(text, str) or not _READ_GLOBAL.match(text):
        return False, None
    if host.shelf_top_level is None:
        raise MelError('Error occurred during execution of MEL script: '
                       '"$gShelfTopLevel" is an undeclared variable.')
    return True, host.shelf_top_level


commands.MEL_READERS.append(read_shelf_top_level)
RESET_HOOKS.append(reset)

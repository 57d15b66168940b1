"""Widget model: windows, layouts and controls with Maya's current-parent rules."""
from collections import OrderedDict

LAYOUTS = frozenset(["columnLayout", "rowLayout", "frameLayout", "paneLayout", "scrollLayout"])
CONTROLS = frozenset(["text", "button", "separator", "textField", "checkBox",
                      "optionMenu", "progressBar", "scrollField", "intField"])
# layouts that take a single child only
SINGLE_CHILD = frozenset(["frameLayout"])

_DEFAULTS = {
    "text": {"enable": True},
    "button": {"enable": True, "command": None},
    "checkBox": {"enable": True, "value": False},
    "textField": {"enable": True, "text": "", "editable": True},
    "scrollField": {"enable": True, "text": "", "editable": True},
    "progressBar": {"enable": True, "progress": 0, "minValue": 0, "maxValue": 100},
    "intField": {"enable": True, "value": 0, "editable": True},
    "optionMenu": {"enable": True},
    "separator": {},
    "menuItem": {"enable": True},
    "window": {"visible": False},
}
_LABELLED = frozenset(["text", "button", "checkBox", "menuItem"])


class Control(object):
    def __init__(self, kind, short, parent, flags, serial):
        self.kind = kind
        self.short = short
        self.parent = parent
        self.children = []
        self.flags = OrderedDict(flags)        # creation flags, long names
        self.serial = serial
        self.state = dict(_DEFAULTS.get(kind, {"enable": True}))
        if kind in _LABELLED:
            self.state["label"] = short
        if kind == "window":
            self.state["title"] = short
        self.state.update(flags)
        self.items = []                        # optionMenu: menuItem controls
        self.selected = 0                      # optionMenu: 0-based index
        self.progress_history = []

    @property
    def name(self):
        if self.parent is None:
            return self.short
        return self.parent.name + "|" + self.short

    @property
    def window(self):
        c = self
        while c.parent is not None:
            c = c.parent
        return c

    def walk(self):
        yield self
        for ch in self.children:
            for c in ch.walk():
                yield c

    def __repr__(self):
        return "<%s %s>" % (self.kind, self.name)


class UI(object):
    def __init__(self):
        self.clear()

    def clear(self):
        self._windows = OrderedDict()
        self._counters = {}
        self._serial = 0
        self.current = None        # current parent (window or layout)
        self.current_menu = None   # optionMenu receiving menuItems

    # --------------------------------------------------------------- lookup
    def window(self, name):
        return self._windows.get(name)

    def windows(self):
        return list(self._windows)

    def all_controls(self):
        out = []
        for w in self._windows.values():
            out.extend(w.walk())
        out.sort(key=lambda c: c.serial)
        return out

    def control(self, name):
        """Control (or window) by full path or unique short name, else None."""
        if not isinstance(name, str) or not name:
            return None
        parts = name.split("|")
        if len(parts) > 1:
            c = self._windows.get(parts[0])
            for p in parts[1:]:
                if c is None:
                    return None
                c = next((ch for ch in c.children if ch.short == p), None)
            return c
        if name in self._windows:
            return self._windows[name]
        for c in self.all_controls():
            if c.short == name:
                return c
        return None

    def get(self, name, kind=None):
        c = self.control(name)
        if c is None:
            raise RuntimeError("Object '%s' not found." % name)
        if kind is not None and c.kind != kind:
            raise RuntimeError("Object '%s' is not a %s (it is a %s)." % (name, kind, c.kind))
        return c

    def find(self, kind=None, label=None, window=None):
        out = []
        for c in self.all_controls():
            if c.kind == "window":
                continue
            if kind is not None and c.kind != kind:
                continue
            if label is not None and c.state.get("label") != label:
                continue
            if window is not None and c.window.short != window:
                continue
            out.append(c.name)
        return out

    # ------------------------------------------------------------- creation
    def _next_serial(self):
        self._serial += 1
        return self._serial

    def _auto_name(self, kind, taken):
        while True:
            n = self._counters.get(kind, 0) + 1
            self._counters[kind] = n
            name = "%s%d" % (kind, n)
            if name not in taken:
                return name

    def create_window(self, name, flags):
        if name is not None and name in self._windows:
            raise RuntimeError("Object's name '%s' is not unique." % name)
        if name is None:
            name = self._auto_name("window", self._windows)
        w = Control("window", name, None, flags, self._next_serial())
        self._windows[name] = w
        self.current = w
        self.current_menu = None
        return w

    def create(self, kind, name, flags):
        parent_name = flags.pop("parent", None)
        if kind == "menuItem":
            parent = self.get(parent_name) if parent_name else self.current_menu
            if parent is None or parent.kind != "optionMenu":
                raise RuntimeError("menuItem: no option menu to add the item to.")
        else:
            parent = self.get(parent_name) if parent_name else self.current
            if parent is None:
                raise RuntimeError("%s: no window or layout to put the %s in." % (kind, kind))
            if parent.kind not in LAYOUTS and parent.kind != "window":
                raise RuntimeError("'%s' is not a layout." % parent.name)
            if parent.kind == "window" and kind not in LAYOUTS:
                raise RuntimeError("Controls must have a layout.  No layout found in window : %s"
                                   % parent.name)
            self._check_room(parent)
        taken = set(ch.short for ch in parent.children)
        if name is not None:
            if "|" in name or name in taken:
                raise RuntimeError("Object's name '%s' is not unique." % name)
        else:
            name = self._auto_name(kind, taken)
        c = Control(kind, name, parent, flags, self._next_serial())
        parent.children.append(c)
        if kind == "menuItem":
            parent.items.append(c)
        if kind in LAYOUTS:
            self.current = c
        if kind == "optionMenu":
            self.current_menu = c
        return c

    def _check_room(self, parent):
        limit = None
        if parent.kind in SINGLE_CHILD:
            limit = 1
        elif parent.kind == "rowLayout":
            limit = parent.state.get("numberOfColumns")
        if limit is not None and len(parent.children) >= limit:
            raise RuntimeError("Too many children in layout: %s" % parent.name)

    # ------------------------------------------------------------- parents
    def set_parent(self, name):
        if name == "..":
            if self.current is not None:
                self.current = self.current.parent
            return self.current.name if self.current else None
        c = self.get(name)
        if c.kind not in LAYOUTS and c.kind != "window":
            raise RuntimeError("setParent: '%s' is not a layout." % name)
        self.current = c
        return c.name

    # ------------------------------------------------------------- deletion
    def delete(self, name):
        """Removes a window or control with everything below it; returns
        what was removed, the named object first."""
        c = self.get(name)
        removed = list(c.walk())
        doomed = set(id(x) for x in removed)
        if c.parent is None:
            del self._windows[c.short]
        else:
            c.parent.children.remove(c)
            if c in c.parent.items:
                idx = c.parent.items.index(c)
                c.parent.items.remove(c)
                if c.parent.selected > idx or c.parent.selected >= len(c.parent.items):
                    c.parent.selected = max(0, c.parent.selected - 1)
        if self.current is not None and id(self.current) in doomed:
            self.current = None
        if self.current_menu is not None and id(self.current_menu) in doomed:
            self.current_menu = None
        return removed

    def set(self, name, **state):
        """Change controls as a user would (typing, ticking, choosing a menu
        item) without a journaled call; long flag names, e.g.
        host.ui.set(cb, value=False), host.ui.set(menu, value="Animation")."""
        edit_control(self.get(name), state)

    # ---------------------------------------------------------------- dump
    def tree(self, window_name):
        w = self._windows.get(window_name)
        if w is None:
            raise KeyError(window_name)
        return self._dump(w)

    def _dump(self, c):
        d = {"kind": c.kind, "name": c.name, "short": c.short,
             "flags": dict(c.flags), "state": dict(c.state),
             "children": [self._dump(ch) for ch in c.children]}
        if c.kind == "optionMenu":
            d["state"]["value"] = option_value(c)
            d["items"] = [i.state.get("label") for i in c.items]
        return d


def option_value(menu):
    if not menu.items:
        return None
    return menu.items[menu.selected].state.get("label")


def query_control(c, flag):
    """Value of one queried flag of a control."""
    if flag == "exists":
        return True
    if c.kind == "optionMenu":
        if flag == "value":
            return option_value(c)
        if flag == "select":
            return c.selected + 1 if c.items else 0
        if flag == "numberOfItems":
            return len(c.items)
        if flag == "itemListLong":
            return [i.name for i in c.items] or None
        if flag == "itemListShort":
            return [i.short for i in c.items] or None
    if flag == "childArray":
        return [ch.short for ch in c.children] or None
    if flag == "numberOfChildren":
        return len(c.children)
    if flag == "widthHeight" and flag not in c.state:
        return [c.state.get("width", 100), c.state.get("height", 100)]
    if c.kind == "window" and flag == "visible":
        return bool(c.state.get("visible"))
    return c.state.get(flag)


def edit_control(c, fl):
    """Apply edited flags (long names) to a control."""
    for flag, value in fl.items():
        if c.kind == "optionMenu" and flag == "value":
            labels = [i.state.get("label") for i in c.items]
            if value not in labels:
                raise RuntimeError("optionMenu: no item labelled '%s' in %s" % (value, c.name))
            c.selected = labels.index(value)
        elif c.kind == "optionMenu" and flag == "select":
            if not 1 <= value <= len(c.items):
                raise RuntimeError("optionMenu: item index %r out of range" % (value,))
            c.selected = value - 1
        elif c.kind == "progressBar" and flag in ("progress", "step"):
            lo, hi = c.state.get("minValue", 0), c.state.get("maxValue", 100)
            raw = value if flag == "progress" else c.state.get("progress", 0) + value
            c.progress_history.append(raw)
            c.state["progress"] = max(lo, min(hi, raw))
        elif c.kind == "intField" and flag == "value":
            # the field holds no value outside its limits, typed or set
            lo, hi = c.state.get("minValue"), c.state.get("maxValue")
            c.state["value"] = max(lo, value) if lo is not None else value
            if hi is not None:
                c.state["value"] = min(hi, c.state["value"])
        else:
            c.state[flag] = value

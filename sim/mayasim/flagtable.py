"""Flag tables of the modelled commands: name normalisation, mode and type checks."""
import json
import os
import re
from collections import OrderedDict

_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flags.json")

CREATE, QUERY, EDIT = "create", "query", "edit"


class CommandFlags(object):
    def __init__(self, name, table):
        self.name = name
        self.long_to_short = dict(table.get("flags", {}))
        self.types = dict(table.get("types", {}))
        self.query_flags = frozenset(table.get("query_flags", []))
        self.edit_flags = frozenset(table.get("edit_flags", []))
        self.to_long = {}
        for long_name, short in self.long_to_short.items():
            self.to_long[long_name] = long_name
            if short:
                # a long name wins over another flag's identical short name
                self.to_long.setdefault(short, long_name)

    def long_name(self, name):
        try:
            return self.to_long[name]
        except KeyError:
            raise TypeError("Invalid flag '%s'" % name)


def _load():
    with open(_PATH, "r") as f:
        data = json.load(f)
    return dict((k, CommandFlags(k, v)) for k, v in data["commands"].items())


TABLES = _load()


def table(command):
    return TABLES[command]


# ---------------------------------------------------------------- type checks

def _split_args(text):
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def _is_int(v):
    return isinstance(v, int)


def _checker(type_text):
    """Return predicate(value) -> bool for a type string of the flag table."""
    t = type_text.strip()
    if t == "bool":
        return lambda v: isinstance(v, int)
    if t == "int":
        return _is_int
    if t == "float":
        return lambda v: isinstance(v, (int, float))
    if t == "str":
        return lambda v: isinstance(v, str)
    if t.startswith("Callable"):
        return lambda v: callable(v) or isinstance(v, str)
    m = re.match(r"^Multiuse\[(.*)\]$", t)
    if m:
        inner = _checker(m.group(1))
        return lambda v: inner(v) or (
            isinstance(v, (list, tuple)) and len(v) > 0 and all(inner(x) for x in v))
    m = re.match(r"^Tuple\[(.*)\]$", t)
    if m:
        items = [_checker(x) for x in _split_args(m.group(1))]
        return lambda v: (isinstance(v, (list, tuple)) and len(v) == len(items)
                          and all(c(x) for c, x in zip(items, v)))
    return lambda v: True


_CHECKERS = {}


def check_type(cmd_flags, long_name, value):
    t = cmd_flags.types.get(long_name)
    if t is None:
        return
    chk = _CHECKERS.get(t)
    if chk is None:
        chk = _CHECKERS[t] = _checker(t)
    if not chk(value):
        raise TypeError("Invalid arguments for flag '%s'.  Expected %s, got %s"
                        % (long_name, t, type(value).__name__))


def normalise(command, pairs):
    """Check flags of a call; return (mode, OrderedDict long_name -> value).

    Raises TypeError for unknown flags or wrongly typed values, RuntimeError
    for flags not allowed in the requested mode.
    """
    cf = TABLES[command]
    fl = OrderedDict()
    query = edit = False
    for name, value in pairs:
        long_name = cf.long_name(name)
        if long_name == "query":
            query = bool(value)
            continue
        if long_name == "edit":
            edit = bool(value)
            continue
        fl[long_name] = value
    if query and edit:
        raise RuntimeError("%s: the query and edit flags cannot be used together" % command)
    mode = QUERY if query else EDIT if edit else CREATE
    for long_name, value in fl.items():
        if mode == QUERY:
            if cf.query_flags and long_name not in cf.query_flags:
                raise RuntimeError("%s: flag '%s' cannot be queried" % (command, long_name))
            continue
        if mode == EDIT and cf.edit_flags and long_name not in cf.edit_flags:
            raise RuntimeError("%s: flag '%s' cannot be used in edit mode" % (command, long_name))
        check_type(cf, long_name, value)
    return mode, fl

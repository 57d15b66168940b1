"""The small piece of MEL the host understands.

Statements (separated by ';'):
    paneLayout -e -manage <bool> $gMainPane
    FBXExportBakeComplexAnimation -v <bool>     (also -q)
    FBXExportBakeComplexStart -v <int>          (also -q)
    FBXExportBakeComplexEnd -v <int>            (also -q)
    FBXExportAnimationOnly -v <bool>            (also -q)
    FBXExportFileVersion -v <FBXyyyy00>         (also -q)
    FBXExportInAscii -v <bool>                  (also -q)
    FBXExport -f "<string>" [-s]
    playbackOptions [-min|-minTime n] [-max|-maxTime n] [-ast|-animationStartTime n]
                    [-aet|-animationEndTime n]
    python "<code>"
    scriptJob -e|-event "<event>" "<MEL script>" [-kws|-killWithScene]
              [-ro|-runOnce <bool>] [-pro|-protected] [-per|-permanent]

The whole text is parsed before anything runs, so a text with any statement
outside this grammar raises RuntimeError and has no effect at all.  There is
no system(), eval() or any other command.
"""


class MelError(RuntimeError):
    pass


def _error(detail):
    return MelError("Error occurred during execution of MEL script: %s" % detail)


def tokenize(text):
    toks, i, n = [], 0, len(text)
    while i < n:
        ch = text[i]
        if ch in " \t\r\n":
            i += 1
        elif ch == ";":
            toks.append(("semi", ";"))
            i += 1
        elif ch == '"':
            i += 1
            out = []
            while True:
                if i >= n:
                    raise _error("Syntax error: unterminated string")
                ch = text[i]
                if ch == '"':
                    i += 1
                    break
                if ch == "\\":
                    if i + 1 >= n:
                        raise _error("Syntax error: unterminated string")
                    nxt = text[i + 1]
                    out.append({"n": "\n", "t": "\t", "r": "\r"}.get(nxt, nxt))
                    i += 2
                    continue
                out.append(ch)
                i += 1
            toks.append(("str", "".join(out)))
        elif ch == "$":
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            if j == i + 1:
                raise _error("Syntax error at '$'")
            toks.append(("var", text[i + 1:j]))
            i = j
        elif ch == "-" and i + 1 < n and (text[i + 1].isalpha() or text[i + 1] == "_"):
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            toks.append(("flag", text[i + 1:j]))
            i = j
        elif ch.isdigit() or (ch in "-+." and i + 1 < n and (text[i + 1].isdigit() or text[i + 1] == ".")):
            j = i + 1
            while j < n and (text[j].isdigit() or text[j] in ".eE" or
                             (text[j] in "+-" and text[j - 1] in "eE")):
                j += 1
            toks.append(("num", text[i:j]))
            i = j
        elif ch.isalpha() or ch == "_":
            j = i
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            toks.append(("word", text[i:j]))
            i = j
        else:
            raise _error("Syntax error at %r" % ch)
    return toks


def _statements(toks):
    cur = []
    for t in toks:
        if t[0] == "semi":
            if cur:
                yield cur
            cur = []
        else:
            cur.append(t)
    if cur:
        yield cur


_BOOL_WORDS = {"true": True, "on": True, "yes": True,
               "false": False, "off": False, "no": False}


def _bool(tok):
    kind, val = tok
    if kind == "word" and val in _BOOL_WORDS:
        return _BOOL_WORDS[val]
    if kind == "num":
        try:
            return float(val) != 0
        except ValueError:
            pass
    raise _error("Invalid boolean argument %r" % (val,))


def _int(tok):
    kind, val = tok
    if kind == "num":
        try:
            return int(float(val))
        except ValueError:
            pass
    if kind == "word" and val in _BOOL_WORDS:
        return int(_BOOL_WORDS[val])
    raise _error("Invalid integer argument %r" % (val,))


# The file versions of the FBX exporter's "FBX version" menu (Maya 2012's
# help lists FBX 2012 back to FBX 2006; later plug-ins add each year's
# version up to FBX 2020), in the form the MEL command takes. What the real
# plug-in prints for another value is not documented: this message is the
# simulator's.
FBX_FILE_VERSIONS = ("FBX202000", "FBX201900", "FBX201800", "FBX201600", "FBX201400",
                     "FBX201300", "FBX201200", "FBX201100", "FBX201000", "FBX200900",
                     "FBX200611")


def _fbx_version(tok):
    kind, val = tok
    if kind in ("word", "str") and val in FBX_FILE_VERSIONS:
        return val
    raise _error('FBXExportFileVersion: Invalid FBX file version "%s"' % (val,))


FBX_SETTINGS = {
    "FBXExportBakeComplexAnimation": ("BakeComplexAnimation", _bool),
    "FBXExportBakeComplexStart": ("BakeComplexStart", _int),
    "FBXExportBakeComplexEnd": ("BakeComplexEnd", _int),
    "FBXExportAnimationOnly": ("AnimationOnly", _bool),
    "FBXExportFileVersion": ("FileVersion", _fbx_version),
    "FBXExportInAscii": ("InAscii", _bool),
}

VARIABLES = ("gMainPane",)


def _flags(cmd, toks, known):
    """known: {flagname: takes_value}.  Returns {flag: token or True}."""
    out, i = {}, 0
    while i < len(toks):
        kind, val = toks[i]
        if kind != "flag":
            return out, toks[i:]
        if val not in known:
            raise _error('%s: Invalid flag "-%s"' % (cmd, val))
        if known[val]:
            if i + 1 >= len(toks):
                raise _error("%s: Flag '-%s' needs an argument" % (cmd, val))
            out[val] = toks[i + 1]
            i += 2
        else:
            out[val] = True
            i += 1
    return out, []


def parse(text, fbx_loaded, variables=VARIABLES):
    """Parse MEL text into a list of actions: tuples (op, *args).

    `variables`: the declared MEL globals (batch mode has no $gMainPane).
    Ops: ("manage_main_pane", bool), ("fbx_set", key, value),
    ("fbx_query", key), ("fbx_export", path, selected_only).
    """
    if not isinstance(text, str):
        raise TypeError("mel.eval expects a string, got %s" % type(text).__name__)
    actions = []
    for st in _statements(tokenize(text)):
        kind, cmd = st[0]
        if kind != "word":
            raise _error("Syntax error near %r" % (cmd,))
        rest = st[1:]
        if cmd == "paneLayout":
            fl, left = _flags(cmd, rest, {"e": False, "edit": False, "m": True, "manage": True})
            if not (fl.get("e") or fl.get("edit")):
                raise _error("paneLayout: only edit mode is supported here")
            manage = fl.get("manage", fl.get("m"))
            if manage is None or len(left) != 1 or left[0][0] != "var":
                raise _error("paneLayout: Syntax error")
            if left[0][1] not in variables:
                raise _error('"$%s" is an undeclared variable.' % left[0][1])
            actions.append(("manage_main_pane", _bool(manage)))
        elif cmd in FBX_SETTINGS or cmd == "FBXExport":
            if not fbx_loaded:
                raise _error('Cannot find procedure "%s".' % cmd)
            if cmd == "FBXExport":
                fl, left = _flags(cmd, rest, {"f": True, "s": False})
                if left:
                    raise _error("FBXExport: Syntax error near %r" % (left[0][1],))
                if "f" not in fl or fl["f"][0] != "str":
                    raise _error("FBXExport: -f needs a quoted file path")
                actions.append(("fbx_export", fl["f"][1], bool(fl.get("s"))))
            else:
                key, conv = FBX_SETTINGS[cmd]
                fl, left = _flags(cmd, rest, {"v": True, "q": False})
                if left:
                    raise _error("%s: Syntax error near %r" % (cmd, left[0][1]))
                if "v" in fl and "q" not in fl:
                    actions.append(("fbx_set", key, conv(fl["v"])))
                elif "q" in fl and "v" not in fl:
                    actions.append(("fbx_query", key))
                else:
                    raise _error("%s: use either -v <value> or -q" % cmd)
        elif cmd == "playbackOptions":
            actions.append(("playback", _playback(rest)))
        elif cmd == "python":
            if len(rest) != 1 or rest[0][0] != "str":
                raise _error("python: expects one string argument")
            actions.append(("python", rest[0][1]))
        elif cmd == "scriptJob":
            actions.append(("script_job", _script_job(rest)))
        else:
            raise _error('Cannot find procedure "%s".' % cmd)
    return actions


_PLAYBACK_FLAGS = {"min": "minTime", "minTime": "minTime", "max": "maxTime",
                   "maxTime": "maxTime", "ast": "animationStartTime",
                   "animationStartTime": "animationStartTime", "aet": "animationEndTime",
                   "animationEndTime": "animationEndTime"}


def _number(tok, cmd):
    kind, val = tok
    try:
        if kind == "num":
            return float(val)
    except ValueError:
        pass
    raise _error("%s: Invalid number argument %r" % (cmd, val))


def _playback(toks):
    """playbackOptions with numbers: {long flag: float}."""
    fl, left = _flags("playbackOptions", toks, dict.fromkeys(_PLAYBACK_FLAGS, True))
    if left or not fl:
        raise _error("playbackOptions: Syntax error")
    return dict((_PLAYBACK_FLAGS[k], _number(v, "playbackOptions")) for k, v in fl.items())


def _script_job(toks):
    """scriptJob -event "name" "script" and its modifiers, as maya.cmds
    flags (long names)."""
    out, i = {}, 0
    while i < len(toks):
        kind, val = toks[i]
        if kind != "flag":
            raise _error("scriptJob: Syntax error near %r" % (val,))
        if val in ("e", "event"):
            if i + 2 >= len(toks) or toks[i + 1][0] != "str" or toks[i + 2][0] != "str":
                raise _error("scriptJob: -event needs an event name and a script")
            out["event"] = [toks[i + 1][1], toks[i + 2][1]]
            i += 3
        elif val in ("kws", "killWithScene", "pro", "protected", "per", "permanent"):
            out[{"kws": "killWithScene", "pro": "protected",
                 "per": "permanent"}.get(val, val)] = True
            i += 1
        elif val in ("ro", "runOnce"):
            if i + 1 >= len(toks):
                raise _error("scriptJob: Flag '-%s' needs an argument" % val)
            out["runOnce"] = _bool(toks[i + 1])
            i += 2
        else:
            raise _error('scriptJob: Invalid flag "-%s"' % val)
    if "event" not in out:
        raise _error("scriptJob: only -event jobs are understood here")
    return out

"""Scene state and the file formats the simulated host reads and writes.

Maya ASCII is written as a small, valid-looking .ma text and read back
leniently (enough to understand real-world .ma files: currentUnit, createNode
and playbackOptions lines).  Maya Binary and FBX use marked formats of the
simulator's own: a first line "MAYASIM-BINARY 1" / "MAYASIM-FBX 1" followed
by a JSON document.
"""
import json
import os
import re
import time

TIME_UNITS = (
    "game", "film", "pal", "ntsc", "show", "palf", "ntscf", "millisec", "sec",
    "min", "hour", "2fps", "3fps", "4fps", "5fps", "6fps", "8fps", "10fps",
    "12fps", "16fps", "20fps", "23.976fps", "29.97fps", "29.97df", "40fps",
    "47.952fps", "48fps", "50fps", "59.94fps", "75fps", "80fps", "100fps",
    "119.88fps", "120fps", "125fps", "150fps", "200fps", "240fps", "250fps",
    "300fps", "375fps", "400fps", "500fps", "600fps", "750fps", "1200fps",
    "1500fps", "2000fps", "3000fps", "6000fps", "44100fps", "48000fps",
)

ASCII_MAGIC = "//Maya ASCII"
BINARY_MAGIC = "MAYASIM-BINARY 1"
FBX_MAGIC = "MAYASIM-FBX 1"

# What a scene can make Maya do (see sim/README.md, "Scenes that misbehave"):
# a line "//mayasim: <behaviour>" in Maya ASCII, a key "mayasim" in the JSON
# formats.
BEHAVIOURS = ("crash-on-open", "abort-on-open", "exit-on-open", "hang-on-open",
              "noise-on-open", "dialog-on-open", "crash-on-save")
MARKER = "//mayasim:"

# A save or export with a cost writes its file in this many flushed pieces.
WRITE_CHUNKS = 10


class SceneFileError(Exception):
    """A scene file could not be read or written (message is Maya-like)."""


class Scene(object):
    def __init__(self):
        self.clear()

    def clear(self):
        self.path = ""
        self.modified = False
        self.time_unit = "film"
        self.playback_min = 1.0
        self.playback_max = 120.0
        self.animation_start = 1.0
        self.animation_end = 200.0
        self.nodes = []
        self.node_types = {}
        self.selection = []
        self.undo_queue = 0
        self.file_type = "mayaAscii"
        self.behaviour = None      # the marker of the scene file last opened
        self.bytes = 0             # the size of the scene file last opened

    def add_node(self, name, node_type="transform"):
        if name not in self.node_types:
            self.nodes.append(name)
        self.node_types[name] = node_type

    def node_records(self, names=None):
        names = self.nodes if names is None else names
        return [[n, self.node_types.get(n, "transform")] for n in names]

    def load(self, data):
        """Replace the content with a dict as returned by read_scene_file."""
        path = self.path
        self.clear()
        self.path = path
        self.time_unit = data.get("unit", "film")
        self.playback_min = float(data.get("min", 1.0))
        self.playback_max = float(data.get("max", 120.0))
        self.animation_start = float(data.get("ast", self.playback_min))
        self.animation_end = float(data.get("aet", self.playback_max))
        for name, node_type in data.get("nodes", []):
            self.add_node(name, node_type)


def _num(v):
    v = float(v)
    return repr(int(v)) if v == int(v) else repr(v)


def _mel_quote(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


# ------------------------------------------------------------------ writing

def _write_text(path, text, cost=0.0, interrupt=None):
    """Write `text` to `path`.

    With a cost (seconds) the file is written in WRITE_CHUNKS flushed pieces,
    one after each slice of the cost, so the file grows while Maya "works".
    `interrupt`, when given, is called once about half of the file is written
    and flushed (it crashes the process and does not return).
    """
    data = text.encode("utf-8", "surrogateescape")
    cost = float(cost or 0.0)
    try:
        with open(path, "wb") as f:
            if cost <= 0 and interrupt is None:
                f.write(data)
                return
            step = max(1, -(-len(data) // WRITE_CHUNKS))
            for i in range(WRITE_CHUNKS):
                if cost > 0:
                    time.sleep(cost / WRITE_CHUNKS)
                f.write(data[i * step:(i + 1) * step])
                f.flush()
                if interrupt is not None and i + 1 == WRITE_CHUNKS // 2:
                    interrupt()
    except (OSError, IOError) as e:
        raise SceneFileError("Could not save file: %s (%s)" % (path, e.strerror or e))


def ascii_text(path, unit, pmin, pmax, nodes, version="2024", ast=None, aet=None,
               behaviour=None):
    ast = pmin if ast is None else ast
    aet = pmax if aet is None else aet
    lines = [
        "//Maya ASCII %s scene" % version,
        "//Name: %s" % os.path.basename(path),
    ]
    if behaviour:
        lines.append("%s %s" % (MARKER, behaviour))
    lines += [
        'requires maya "%s";' % version,
        "currentUnit -l centimeter -a degree -t %s;" % unit,
    ]
    for name, node_type in nodes:
        lines.append("createNode %s -n %s;" % (node_type, _mel_quote(name)))
    lines.append("playbackOptions -min %s -max %s -ast %s -aet %s;"
                 % (_num(pmin), _num(pmax), _num(ast), _num(aet)))
    lines.append("// End of %s" % os.path.basename(path))
    return "\n".join(lines) + "\n"


def write_ascii(path, scene, version="2024", **how):
    """`how`: cost, interrupt (see _write_text)."""
    _write_text(path, ascii_text(path, scene.time_unit, scene.playback_min,
                                 scene.playback_max, scene.node_records(), version,
                                 scene.animation_start, scene.animation_end), **how)


def _json_doc(magic, doc):
    return magic + "\n" + json.dumps(doc, indent=1, sort_keys=True) + "\n"


def write_binary(path, scene, version="2024", **how):
    doc = {"version": version, "unit": scene.time_unit, "min": scene.playback_min,
           "max": scene.playback_max, "ast": scene.animation_start,
           "aet": scene.animation_end, "nodes": scene.node_records()}
    _write_text(path, _json_doc(BINARY_MAGIC, doc), **how)


def write_fbx(path, scene, node_names, settings, selected_only, **how):
    doc = {"unit": scene.time_unit, "min": scene.playback_min, "max": scene.playback_max,
           "nodes": scene.node_records(node_names), "settings": dict(settings),
           "selected_only": bool(selected_only)}
    _write_text(path, _json_doc(FBX_MAGIC, doc), **how)


# ------------------------------------------------------------------ reading

_UNIT_RE = re.compile(r'(?:^|\s)-(?:t|time)\s+"?([A-Za-z0-9.]+)"?')
_NODE_RE = re.compile(r'^\s*createNode\s+([A-Za-z_][\w:]*)')
_NAME_RE = re.compile(r'\s-n(?:ame)?\s+"((?:[^"\\]|\\.)*)"')
_PB_RE = {
    "min": re.compile(r'-min(?:Time)?\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "max": re.compile(r'-max(?:Time)?\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "ast": re.compile(r'-(?:ast|animationStartTime)\s+(-?[0-9.]+(?:e-?\d+)?)'),
    "aet": re.compile(r'-(?:aet|animationEndTime)\s+(-?[0-9.]+(?:e-?\d+)?)'),
}


def _mel_unescape(text):
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "t": "\t", "r": "\r"}.get(nxt, nxt))
            i += 2
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def parse_ascii(text):
    data = {"unit": "film", "min": 1.0, "max": 120.0, "nodes": [], "warnings": [],
            "behaviour": None}
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith(MARKER):
            data["behaviour"] = stripped[len(MARKER):].strip()
            continue
        if stripped.startswith("currentUnit"):
            m = _UNIT_RE.search(stripped)
            if m:
                if m.group(1) in TIME_UNITS:
                    data["unit"] = m.group(1)
                else:
                    data["warnings"].append("unknown time unit %r" % m.group(1))
            continue
        m = _NODE_RE.match(line)
        if m:
            n = _NAME_RE.search(line)
            if n:
                data["nodes"].append([_mel_unescape(n.group(1)), m.group(1)])
            continue
        idx = line.find("playbackOptions")
        if idx >= 0:
            tail = line[idx:]
            for key, rx in _PB_RE.items():
                v = rx.search(tail)
                if v:
                    try:
                        data[key] = float(v.group(1))
                    except ValueError:
                        pass
    return data


def read_scene_file(path):
    """Read a scene; returns dict(format, unit, min, max, [ast, aet], nodes)."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except (OSError, IOError) as e:
        raise SceneFileError("Could not open file: %s (%s)" % (path, e.strerror or e))
    text = raw.decode("utf-8", "surrogateescape")
    if text.startswith(ASCII_MAGIC):
        data = parse_ascii(text)
        data["format"] = "mayaAscii"
        return data
    for magic, fmt in ((BINARY_MAGIC, "mayaBinary"), (FBX_MAGIC, "FBX")):
        if text.startswith(magic + "\n"):
            try:
                data = json.loads(text[len(magic) + 1:])
            except ValueError:
                raise SceneFileError("Could not open file: %s (corrupt %s data)" % (path, fmt))
            data["format"] = fmt
            data.pop("pad", None)
            data["behaviour"] = data.pop("mayasim", None)
            data["nodes"] = [list(n) if isinstance(n, (list, tuple)) else [n, "transform"]
                             for n in data.get("nodes", [])]
            return data
    raise SceneFileError("Could not open file: %s (unrecognized file type)" % path)


def write_scene(path, unit="film", pmin=1, pmax=120, nodes=("pCube1",), fmt="ma",
                version="2024", behaviour=None, pad=0):
    """Create a source scene for tests.  nodes: names or (name, type) pairs.

    fmt: "ma" (Maya ASCII), "mb" (simulator binary) or "fbx" (simulator FBX).
    behaviour: None or one of BEHAVIOURS, written as the scene's marker.
    pad: about this many more bytes of content that changes nothing (a
    comment in Maya ASCII, an unread key otherwise), for big scenes.
    """
    if behaviour is not None and behaviour not in BEHAVIOURS:
        raise ValueError("unknown behaviour %r (known: %s)" % (behaviour, ", ".join(BEHAVIOURS)))
    recs = [[n, "transform"] if isinstance(n, str) else [n[0], n[1]] for n in nodes]
    if fmt == "ma":
        text = ascii_text(path, unit, pmin, pmax, recs, version, behaviour=behaviour)
        if pad > 0:
            text += "// " + "x" * pad + "\n"
        _write_text(path, text)
    elif fmt in ("mb", "fbx"):
        doc = {"version": version, "unit": unit, "min": float(pmin), "max": float(pmax),
               "nodes": recs}
        if pad > 0:
            doc["pad"] = "x" * pad
        if behaviour:
            doc["mayasim"] = behaviour
        if fmt == "fbx":
            doc.update(settings={}, selected_only=False)
        _write_text(path, _json_doc(BINARY_MAGIC if fmt == "mb" else FBX_MAGIC, doc))
    else:
        raise ValueError("unknown scene format %r" % fmt)
    return path
